// Upstox feed frames -> ticks: JSON notices and feeds, and the protocol-buffers walk.
#include "brokers/upstox/UpstoxDecoder.h"

#include "brokers/ProtobufReader.h"
#include "core/TickClock.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cmath>
#include <cstring>

namespace {

using Field = ProtobufReader::Field;

// Latest representable time QDateTime handles without trouble (9999-12-31 23:59:59.999 UTC).
constexpr qint64 kMaxEpochMs = 253402300799999LL;

}  // namespace

struct UpstoxDecoder::EntryValues {
    const char* key = nullptr;
    std::size_t keyLength = 0;
    double ltp = 0;
    double cp = 0;
    qint64 ltq = 0;
    qint64 ltt = 0;  // ms since the epoch
    double oi = 0;
};

namespace {

using EntryValues = UpstoxDecoder::EntryValues;

double finiteOrZero(double d)
{
    return std::isfinite(d) ? d : 0.0;
}

// LTPC: last price, time and quantity; the full feed's copy also carries the previous close.
void readLtpc(ProtobufReader r, EntryValues& v, bool withClose)
{
    Field f;
    while (r.next(f)) {
        if (f.wireType == ProtobufReader::Fixed64 && f.number == 1)
            v.ltp = ProtobufReader::asDouble(f.value);
        else if (f.wireType == ProtobufReader::Varint && f.number == 2)
            v.ltt = qint64(f.value);
        else if (f.wireType == ProtobufReader::Varint && f.number == 3)
            v.ltq = qint64(f.value);
        else if (withClose && f.wireType == ProtobufReader::Fixed64 && f.number == 4)
            v.cp = ProtobufReader::asDouble(f.value);
    }
}

void readFullFeedBody(ProtobufReader r, EntryValues& v)
{
    Field f;
    while (r.next(f)) {
        if (f.wireType == ProtobufReader::LengthDelimited && f.number == 1)
            readLtpc(r.message(f), v, true);
        else if (f.wireType == ProtobufReader::Fixed64 && f.number == 7)
            v.oi = ProtobufReader::asDouble(f.value);
    }
}

void readFeed(ProtobufReader r, EntryValues& v)
{
    Field f;
    while (r.next(f)) {
        if (f.wireType != ProtobufReader::LengthDelimited)
            continue;
        if (f.number == 1) {
            readLtpc(r.message(f), v, false);
        } else if (f.number == 2) {
            // Market and index full feeds share one field table.
            ProtobufReader full = r.message(f);
            Field g;
            while (full.next(g)) {
                if (g.wireType == ProtobufReader::LengthDelimited && (g.number == 1 || g.number == 2))
                    readFullFeedBody(full.message(g), v);
            }
        }
    }
}

}  // namespace

void UpstoxDecoder::reset()
{
    keys.clear();
    lastStamp.reset();
}

const UpstoxDecoder::Key& UpstoxDecoder::keyFor(const char* bytes, std::size_t length)
{
    // The key ends at its first NUL.
    const char* nul = static_cast<const char*>(std::memchr(bytes, 0, length));
    if (nul)
        length = std::size_t(nul - bytes);
    std::string raw(bytes, length);
    auto it = keys.find(raw);
    if (it == keys.end()) {
        Key k;
        k.text = QString::fromUtf8(bytes, int(length));
        const int bar = k.text.indexOf(QLatin1Char('|'));
        k.segment = bar >= 0 ? k.text.left(bar) : QString();
        it = keys.emplace(std::move(raw), std::move(k)).first;
    }
    return it->second;
}

QDateTime UpstoxDecoder::stamp(qint64 epochMs, qint64 receivedMSecs)
{
    if (epochMs <= 0 || epochMs > kMaxEpochMs)
        return TickClock::fromMSecs(receivedMSecs);
    return lastStamp.fromMSecs(epochMs);
}

void UpstoxDecoder::addTick(const EntryValues& v, qint64 receivedMSecs, DecodedFrame& out)
{
    const Key& key = keyFor(v.key ? v.key : "", v.keyLength);
    if (key.text.isEmpty() || !(v.ltp > 0) || !std::isfinite(v.ltp)) {
        out.addEvent(DecoderEvent::Skipped, 0, key.text);
        return;
    }
    out.ticks.append(TickData());
    TickData& t = out.ticks.last();
    t.token = key.text;
    t.exchange = key.segment;
    t.ltp = v.ltp;
    t.open = finiteOrZero(v.cp);
    t.openInterest = finiteOrZero(v.oi);
    t.volume = double(v.ltq);
    t.timestamp = stamp(v.ltt, receivedMSecs);
}

void UpstoxDecoder::decodeJsonFeeds(const QJsonObject& message, qint64 receivedMSecs, DecodedFrame& out)
{
    const QJsonObject feeds = message.value(QLatin1String("feeds")).toObject();
    for (auto it = feeds.begin(); it != feeds.end(); ++it) {
        const QJsonObject feed = it.value().toObject();
        const QJsonObject ltpc = feed.value(QLatin1String("ltpc")).toObject();
        if (ltpc.isEmpty())
            continue;
        TickData t;
        t.token = it.key();
        const int bar = t.token.indexOf(QLatin1Char('|'));
        t.exchange = bar >= 0 ? t.token.left(bar) : QString();
        t.ltp = ltpc.value(QLatin1String("ltp")).toDouble();
        t.volume = ltpc.value(QLatin1String("ltq")).toDouble();
        // The service sends the time as text; anything else has no time.
        bool ok = false;
        const qint64 ltt = ltpc.value(QLatin1String("ltt")).toString().toLongLong(&ok);
        t.timestamp = stamp(ok ? ltt : 0, receivedMSecs);
        const QJsonObject market = feed.value(QLatin1String("ff")).toObject().value(QLatin1String("marketFF")).toObject();
        if (!market.isEmpty()) {
            t.open = market.value(QLatin1String("openPrice")).toDouble();
            t.high = market.value(QLatin1String("highPrice")).toDouble();
            t.low = market.value(QLatin1String("lowPrice")).toDouble();
            t.volume = market.value(QLatin1String("ltq")).toDouble();
            t.openInterest = market.value(QLatin1String("oi")).toDouble();
        }
        out.ticks.append(t);
    }
}

DecodedFrame UpstoxDecoder::decode(const QByteArray& frame, qint64 receivedMSecs)
{
    DecodedFrame out;
    if (frame.isEmpty())
        return out;

    // A protocol-buffers frame never starts with '{' (that tag byte has a group wire type), so
    // only frames that can be JSON objects pay for a JSON parse.
    int first = 0;
    while (first < frame.size() && (frame[first] == ' ' || frame[first] == '\n' || frame[first] == '\r'
                                    || frame[first] == '\t'))
        ++first;
    if (first < frame.size() && frame[first] == '{') {
        QJsonParseError err;
        const QJsonDocument doc = QJsonDocument::fromJson(frame, &err);
        if (err.error == QJsonParseError::NoError && doc.isObject()) {
            const QJsonObject obj = doc.object();
            const QString type = obj.value(QLatin1String("type")).toString();
            if (type == QLatin1String("market_info")) {
                out.addEvent(DecoderEvent::Acknowledged, 0, QString::fromUtf8(frame.left(200)));
                return out;
            }
            if (type == QLatin1String("live_feed")) {
                decodeJsonFeeds(obj, receivedMSecs, out);
                return out;
            }
            if (type == QLatin1String("error")) {
                out.addEvent(DecoderEvent::ServerError, 0, obj.value(QLatin1String("message")).toString());
                return out;
            }
        }
    }
    decodeProtobuf(frame.constData(), frame.size(), receivedMSecs, out);
    return out;
}

void UpstoxDecoder::decodeProtobuf(const char* data, int size, qint64 receivedMSecs, DecodedFrame& out)
{
    if (size < 2)
        return;
    ProtobufReader root(data, std::size_t(size));
    Field f;
    while (root.next(f)) {
        if (f.number != 2 || f.wireType != ProtobufReader::LengthDelimited)
            continue;
        if (f.truncated) {
            out.addEvent(DecoderEvent::Malformed, kFeedTooLong, QStringLiteral("Feed length exceeds data size"));
            return;
        }
        EntryValues v;
        ProtobufReader entry = root.message(f);
        Field g;
        while (entry.next(g)) {
            if (g.wireType != ProtobufReader::LengthDelimited)
                continue;
            // A key cut off by the end of its entry is not a key.
            if (g.number == 1 && !g.truncated) {
                v.key = entry.bytes(g);
                v.keyLength = g.length;
            } else if (g.number == 2) {
                readFeed(entry.message(g), v);
            }
        }
        addTick(v, receivedMSecs, out);
    }
    if (root.failed())
        out.addEvent(DecoderEvent::Malformed, kUnreadableField, QStringLiteral("unreadable field"));
}
