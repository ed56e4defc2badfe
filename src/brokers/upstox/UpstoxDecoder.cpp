// Upstox feed frames -> ticks: JSON notices and feeds, and the protocol-buffers walk.
#include "brokers/upstox/UpstoxDecoder.h"

#include "brokers/ProtobufReader.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cmath>
#include <cstring>

namespace {

using Field = ProtobufReader::Field;

// Latest representable time QDateTime handles without trouble (9999-12-31 23:59:59.999 UTC).
constexpr qint64 kMaxEpochMs = 253402300799999LL;

struct EntryValues {
    QString key;
    double ltp = 0;
    double cp = 0;
    qint64 ltq = 0;
    qint64 ltt = 0;  // ms since the epoch
    double oi = 0;
};

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

QString keyText(const char* bytes, std::size_t length)
{
    const char* nul = static_cast<const char*>(std::memchr(bytes, 0, length));
    return QString::fromUtf8(bytes, int(nul ? nul - bytes : std::ptrdiff_t(length)));
}

// Local time, as every source's ticks are: most of the decoding time on Linux is the C
// library's time-zone check behind this call, still far above any feed's tick rate.
QDateTime fromEpochMs(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms >= 0 && ms <= kMaxEpochMs ? ms : 0);
}

void emitEntry(const EntryValues& v, const UpstoxDecoder::Lookup& lookup, UpstoxDecoder::Result& result,
               bool wantEvents)
{
    using Event = UpstoxDecoder::Event;
    if (v.key.isEmpty() || !(v.ltp > 0) || !std::isfinite(v.ltp)) {
        if (wantEvents) {
            Event e;
            e.type = Event::InvalidTick;
            e.key = v.key;
            e.ltp = v.ltp;
            result.events.append(e);
        }
        return;
    }
    UpstoxDecoder::Instrument inst;
    if (lookup)
        inst = lookup(v.key);
    else
        inst.lotSize = 1;

    TickData t;
    t.symbol = inst.symbol.isEmpty() ? v.key : inst.symbol;
    t.token = v.key;
    t.ltp = v.ltp;
    t.open = finiteOrZero(v.cp);
    t.openInterest = finiteOrZero(v.oi);
    // The feed counts shares; a lot-based instrument is shown in lots.
    const int lot = inst.lotSize >= 2 ? inst.lotSize : 1;
    t.volume = double(v.ltq / lot);
    t.timestamp = fromEpochMs(v.ltt);
    result.ticks.append(t);
    if (wantEvents) {
        Event e;
        e.type = Event::Tick;
        e.key = v.key;
        e.ltp = v.ltp;
        e.ltq = v.ltq;
        e.lotSize = lot;
        result.events.append(e);
    }
}

void decodeJsonFeeds(const QJsonObject& feeds, const UpstoxDecoder::Lookup& lookup, UpstoxDecoder::Result& result)
{
    for (auto it = feeds.begin(); it != feeds.end(); ++it) {
        const QJsonObject feed = it.value().toObject();
        const QJsonObject ltpc = feed.value(QLatin1String("ltpc")).toObject();
        if (ltpc.isEmpty())
            continue;
        TickData t;
        t.token = it.key();
        const QString name = lookup ? lookup(it.key()).symbol : QString();
        t.symbol = name.isEmpty() ? it.key() : name;
        t.ltp = ltpc.value(QLatin1String("ltp")).toDouble();
        t.volume = ltpc.value(QLatin1String("ltq")).toDouble();
        // The service sends the time as text; anything else reads as the epoch.
        bool ok = false;
        const qint64 ltt = ltpc.value(QLatin1String("ltt")).toString().toLongLong(&ok);
        t.timestamp = fromEpochMs(ok ? ltt : 0);
        const QJsonObject market = feed.value(QLatin1String("ff")).toObject().value(QLatin1String("marketFF")).toObject();
        if (!market.isEmpty()) {
            t.open = market.value(QLatin1String("openPrice")).toDouble();
            t.high = market.value(QLatin1String("highPrice")).toDouble();
            t.low = market.value(QLatin1String("lowPrice")).toDouble();
            t.volume = market.value(QLatin1String("ltq")).toDouble();
            t.openInterest = market.value(QLatin1String("oi")).toDouble();
        }
        result.ticks.append(t);
    }
}

}  // namespace

UpstoxDecoder::Result UpstoxDecoder::decode(const QByteArray& frame, const Lookup& lookup, bool wantEvents)
{
    Result result;
    if (frame.isEmpty())
        return result;

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
                result.kind = Kind::MarketInfo;
                result.text = QString::fromUtf8(frame.left(200));
                return result;
            }
            if (type == QLatin1String("live_feed")) {
                result.kind = Kind::JsonFeed;
                decodeJsonFeeds(obj.value(QLatin1String("feeds")).toObject(), lookup, result);
                return result;
            }
            if (type == QLatin1String("error")) {
                result.kind = Kind::ServiceError;
                result.text = obj.value(QLatin1String("message")).toString();
                return result;
            }
        }
    }
    decodeProtobuf(frame.constData(), frame.size(), lookup, result, wantEvents);
    return result;
}

void UpstoxDecoder::decodeProtobuf(const char* data, int size, const Lookup& lookup, Result& result, bool wantEvents)
{
    result.kind = Kind::Protobuf;
    if (size < 2)
        return;
    ProtobufReader root(data, std::size_t(size));
    Field f;
    while (root.next(f)) {
        if (f.number != 2 || f.wireType != ProtobufReader::LengthDelimited)
            continue;
        if (f.truncated) {
            if (wantEvents) {
                Event e;
                e.type = Event::FeedTooLong;
                result.events.append(e);
            }
            return;
        }
        EntryValues v;
        ProtobufReader entry = root.message(f);
        Field g;
        while (entry.next(g)) {
            if (g.wireType != ProtobufReader::LengthDelimited)
                continue;
            // A key cut off by the end of its entry is not a key.
            if (g.number == 1 && !g.truncated)
                v.key = keyText(entry.bytes(g), g.length);
            else if (g.number == 2)
                readFeed(entry.message(g), v);
        }
        emitEntry(v, lookup, result, wantEvents);
    }
    if (root.failed() && wantEvents) {
        Event e;
        e.type = Event::Malformed;
        result.events.append(e);
    }
}
