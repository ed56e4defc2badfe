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

// Notes go to `n` when the decoder traces; null, nothing is recorded.
using Notes = QVector<DecoderNote>;

void note(Notes* n, int what, qint64 a, qint64 b = 0, qint64 c = 0)
{
    if (n)
        n->append(DecoderNote{what, a, b, c, 0, 0, 0, {}});
}

void noteReal(Notes* n, int what, double x, double y = 0)
{
    if (n)
        n->append(DecoderNote{what, 0, 0, 0, 0, x, y, {}});
}

bool isA(const Field& f, int wireType, std::uint32_t number)
{
    return f.wireType == wireType && f.number == number;
}

// LTPC: last price, time and quantity; the full feed's copy also carries the previous close.
void readLtpc(ProtobufReader r, EntryValues& v, bool nested, Notes* n)
{
    Field f;
    while (r.next(f)) {
        if (isA(f, ProtobufReader::Fixed64, 1)) {
            v.ltp = ProtobufReader::asDouble(f.value);
            noteReal(n, nested ? UpstoxDecoder::kNestedLtp : UpstoxDecoder::kLtp, v.ltp);
        } else if (isA(f, ProtobufReader::Varint, 2)) {
            v.ltt = qint64(f.value);
            note(n, nested ? UpstoxDecoder::kNestedLtt : UpstoxDecoder::kLtt, v.ltt);
        } else if (isA(f, ProtobufReader::Varint, 3)) {
            v.ltq = qint64(f.value);
            note(n, nested ? UpstoxDecoder::kNestedLtq : UpstoxDecoder::kLtq, v.ltq);
        } else if (nested && isA(f, ProtobufReader::Fixed64, 4)) {
            v.cp = ProtobufReader::asDouble(f.value);
            noteReal(n, UpstoxDecoder::kNestedCp, v.cp);
        } else if (!nested) {
            note(n, UpstoxDecoder::kSkipLtpc, f.number);
        }
    }
}

// The full-feed fields that only the trace reads.
void traceMarketField(const ProtobufReader& r, const Field& f, Notes& n)
{
    using D = UpstoxDecoder;
    const double d = ProtobufReader::asDouble(f.value);
    if (isA(f, ProtobufReader::LengthDelimited, 2)) {
        note(&n, D::kMarketLevelLength, qint64(f.length));
        ProtobufReader level = r.message(f);
        Field quote;
        if (level.next(quote) && isA(quote, ProtobufReader::LengthDelimited, 1)) {
            ProtobufReader q = level.message(quote);
            double bid = 0, ask = 0;
            Field g;
            while (q.next(g)) {
                if (isA(g, ProtobufReader::Fixed64, 2))
                    bid = ProtobufReader::asDouble(g.value);
                else if (isA(g, ProtobufReader::Fixed64, 4))
                    ask = ProtobufReader::asDouble(g.value);
            }
            noteReal(&n, D::kBestBidAsk, bid, ask);
        }
    } else if (isA(f, ProtobufReader::LengthDelimited, 3)) {
        note(&n, D::kGreeksLength, qint64(f.length));
    } else if (isA(f, ProtobufReader::LengthDelimited, 4)) {
        note(&n, D::kOhlcLength, qint64(f.length));
    } else if (isA(f, ProtobufReader::Fixed64, 5)) {
        noteReal(&n, D::kAtp, d);
    } else if (isA(f, ProtobufReader::Varint, 6)) {
        note(&n, D::kVtt, qint64(f.value));
    } else if (isA(f, ProtobufReader::Fixed64, 9)) {
        noteReal(&n, D::kTbq, d);
    } else if (isA(f, ProtobufReader::Fixed64, 10)) {
        noteReal(&n, D::kTsq, d);
    }
}

void readFullFeedBody(ProtobufReader r, EntryValues& v, Notes* n)
{
    Field f;
    while (r.next(f)) {
        note(n, UpstoxDecoder::kMarketField, f.number, f.wireType);
        if (isA(f, ProtobufReader::LengthDelimited, 1)) {
            note(n, UpstoxDecoder::kNestedLtpcLength, qint64(f.length));
            readLtpc(r.message(f), v, true, n);
        } else if (isA(f, ProtobufReader::Fixed64, 7)) {
            v.oi = ProtobufReader::asDouble(f.value);
            noteReal(n, UpstoxDecoder::kOi, v.oi);
        } else if (n) {
            traceMarketField(r, f, *n);
        }
    }
}

void readFeed(ProtobufReader r, EntryValues& v, Notes* n)
{
    Field f;
    while (r.next(f)) {
        note(n, UpstoxDecoder::kFeedField, f.number, f.wireType);
        if (isA(f, ProtobufReader::LengthDelimited, 1)) {
            note(n, UpstoxDecoder::kLtpcLength, qint64(f.length));
            readLtpc(r.message(f), v, false, n);
        } else if (isA(f, ProtobufReader::LengthDelimited, 2)) {
            note(n, UpstoxDecoder::kFullFeedLength, qint64(f.length));
            // Market and index full feeds share one field table.
            ProtobufReader full = r.message(f);
            Field g;
            while (full.next(g)) {
                note(n, UpstoxDecoder::kFullFeedField, g.number, g.wireType);
                if (g.wireType == ProtobufReader::LengthDelimited && (g.number == 1 || g.number == 2)) {
                    note(n, UpstoxDecoder::kMarketFeedLength, qint64(g.length));
                    readFullFeedBody(full.message(g), v, n);
                }
            }
        } else {
            note(n, UpstoxDecoder::kSkipFeed, f.number);
        }
    }
}

// Bytes of a field's tag.
qint64 tagLength(const Field& f)
{
    std::uint64_t tag = (std::uint64_t(f.number) << 3) | std::uint64_t(f.wireType);
    qint64 length = 1;
    while (tag >= 0x80) {
        tag >>= 7;
        ++length;
    }
    return length;
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
        out.events.last().value = v.ltp;
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
    jsonFeed = false;
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
                jsonFeed = true;
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
    Notes* n = tracing ? &out.notes : nullptr;
    note(n, kParseStart, size);
    if (size < 2)
        return;
    ProtobufReader root(data, std::size_t(size));
    Field f;
    for (std::size_t at = 0; root.next(f); at = root.position()) {
        note(n, kRootField, f.number, f.wireType, qint64(at) + tagLength(f));
        if (f.number != 2 || f.wireType != ProtobufReader::LengthDelimited) {
            note(n, kSkipRoot, f.number);
            continue;
        }
        note(n, kEntryLength, qint64(f.length));
        if (f.truncated) {
            out.addEvent(DecoderEvent::Malformed, kFeedTooLong, QStringLiteral("Feed length exceeds data size"));
            return;
        }
        EntryValues v;
        ProtobufReader entry = root.message(f);
        Field g;
        while (entry.next(g)) {
            // A key cut off by the end of its entry is not a key.
            if (isA(g, ProtobufReader::LengthDelimited, 1) && !g.truncated) {
                v.key = entry.bytes(g);
                v.keyLength = g.length;
                if (n) {
                    QByteArray key(v.key, int(v.keyLength));
                    if (key.contains('\0'))
                        key.truncate(key.indexOf('\0'));
                    n->append(DecoderNote{kInstrumentKey, 0, 0, 0, 0, 0, 0, key});
                }
            } else if (isA(g, ProtobufReader::LengthDelimited, 2)) {
                note(n, kFeedLength, qint64(g.length));
                readFeed(entry.message(g), v, n);
            } else {
                note(n, kSkipEntry, g.number);
            }
        }
        addTick(v, receivedMSecs, out);
    }
    if (root.failed())
        out.addEvent(DecoderEvent::Malformed, kUnreadableField, QStringLiteral("unreadable field"));
}
