// TradeJini stream frames to ticks.
#include "brokers/tradejini/TradeJiniDecoder.h"

#include "brokers/BinaryReader.h"
#include "symbols/ZlibInflate.h"

#include <QJsonValue>

#include <zlib.h>

#include <atomic>

namespace {

constexpr int kExchangeCount = 10;

// Segment code n (1..10) names exchange n-1; unknown codes read as NSE with divisor 100.
const QString& exchangeAt(int index)
{
    static const QString names[kExchangeCount] = {
        QStringLiteral("NSE"), QStringLiteral("BSE"), QStringLiteral("NFO"), QStringLiteral("BFO"),
        QStringLiteral("CDS"), QStringLiteral("BCD"), QStringLiteral("MCD"), QStringLiteral("MCX"),
        QStringLiteral("NCO"), QStringLiteral("BCO")};
    return names[index];
}

constexpr double kDivisors[kExchangeCount] = {100, 100, 100, 100, 10000000, 10000, 10000, 100, 10000, 10000};

int exchangeIndex(int code)
{
    return (code >= 1 && code <= kExchangeCount) ? code - 1 : 0;
}

// Width of the value that follows each tag byte.
int tagWidth(unsigned tag)
{
    switch (tag) {
    case 26: case 28: case 55: return 1;
    case 56: return 2;
    case 41: return 8;
    default: return 4;
    }
}

// The first packets over 30 bytes are dumped for diagnosis, three per process.
std::atomic<int> g_dumpsLeft{3};

int zlibCodeFor(ZlibInflate::Status s, int lastCode)
{
    switch (s) {
    case ZlibInflate::Status::TooLarge: return Z_BUF_ERROR;
    case ZlibInflate::Status::Truncated:
    case ZlibInflate::Status::InputTooShort: return Z_DATA_ERROR;
    case ZlibInflate::Status::InitFailed: return lastCode ? lastCode : Z_MEM_ERROR;
    default: return lastCode && lastCode != Z_OK ? lastCode : Z_DATA_ERROR;
    }
}

}  // namespace

TradeJiniDecoder::TradeJiniDecoder() = default;

QString TradeJiniDecoder::exchangeName(int segmentCode)
{
    return exchangeAt(exchangeIndex(segmentCode));
}

double TradeJiniDecoder::priceDivisor(int segmentCode)
{
    return kDivisors[exchangeIndex(segmentCode)];
}

QDateTime TradeJiniDecoder::now()
{
    if (!frameNow.isValid())
        frameNow = nowFn ? nowFn() : QDateTime::currentDateTime();
    return frameNow;
}

TradeJiniDecoder::FrameResult TradeJiniDecoder::decodeFrame(const QByteArray& message, QVector<TickData>& ticks,
                                                            bool wantEvents)
{
    FrameResult r;
    frameNow = QDateTime();
    const BinaryReader in(message);
    std::uint8_t version = 0, flag = 0;
    if (!in.has(0, 6)) {
        r.status = FrameStatus::TooShort;
        return r;
    }
    in.u8(4, version);
    in.u8(5, flag);
    if (version != 1) {
        r.status = FrameStatus::UnsupportedVersion;
        r.version = version;
        return r;
    }
    const char* payload = message.constData() + 6;
    int payloadSize = message.size() - 6;
    if (flag == 0x64) {
        int code = 0;
        const ZlibInflate::Status s =
            ZlibInflate::inflate(payload, payloadSize, ZlibInflate::kZlib, kMaxInflatedBytes, inflated, &code);
        if (s != ZlibInflate::Status::Ok) {
            r.status = FrameStatus::InflateFailed;
            r.zlibCode = zlibCodeFor(s, code);
            return r;
        }
        payload = inflated.constData();
        payloadSize = inflated.size();
    }
    decodePayload(payload, payloadSize, ticks, wantEvents ? &r.events : nullptr);
    return r;
}

void TradeJiniDecoder::decodePayload(const char* data, int size, QVector<TickData>& ticks, QVector<Event>* events)
{
    if (size < 3)
        return;
    const BinaryReader in(data, std::size_t(size));
    int offset = 0;
    for (;;) {
        std::int16_t length = 0;
        if (!in.i16le(std::size_t(offset), length) || length < 1 || qint64(offset) + length > size) {
            if (events)
                events->append({Event::InvalidPacketLength, length, offset, {}});
            return;
        }
        if (length >= 3) {
            const auto* packet = reinterpret_cast<const unsigned char*>(data) + offset;
            const unsigned type = packet[2];
            if (type == 10) {
                if (events)
                    events->append({Event::L1Packet, length, offset, {}});
                decodeL1(packet, length, ticks, events);
            } else if (events) {
                events->append({type == 16 ? Event::PingResponse : Event::UnknownPacketType, int(type), offset, {}});
            }
        }
        offset += length;
        if (offset >= size - 2)
            return;  // one or two trailing bytes cannot hold a packet
    }
}

void TradeJiniDecoder::decodeL1(const unsigned char* p, int size, QVector<TickData>& ticks, QVector<Event>* events)
{
    if (events && size > 30 && g_dumpsLeft.load(std::memory_order_relaxed) > 0
        && g_dumpsLeft.fetch_sub(1, std::memory_order_relaxed) > 0) {
        events->append({Event::LargePacket, size, 0,
                        QByteArray(reinterpret_cast<const char*>(p), qMin(size, 80))});
    }

    const BinaryReader in(reinterpret_cast<const char*>(p), std::size_t(size));
    double divisor = 100.0;
    bool haveToken = false, haveSegment = false, haveTime = false;
    std::uint32_t token = 0;
    int exch = 0;
    double ltp = 0, open = 0, high = 0, low = 0, volume = 0, oi = 0;
    qint32 qty = 0;
    std::int32_t epoch = 0;

    std::size_t off = 3;
    while (off < std::size_t(size)) {
        const unsigned tag = p[off];
        const int width = tagWidth(tag);
        const std::size_t value = off + 1;
        if (!in.has(value, std::size_t(width)))
            break;  // a field cut short ends the packet; what came before stays decoded
        std::uint8_t b = 0;
        std::uint32_t u = 0;
        std::int32_t i = 0;
        switch (tag) {
        case 26:
            in.u8(value, b);
            exch = exchangeIndex(b);
            divisor = kDivisors[exch];
            haveSegment = true;
            break;
        case 27: in.u32le(value, token); haveToken = true; break;
        case 29: in.i32le(value, i); ltp = i / divisor; break;
        case 30: in.i32le(value, i); open = i / divisor; break;
        case 31: in.i32le(value, i); high = i / divisor; break;
        case 32: in.i32le(value, i); low = i / divisor; break;
        case 39:
            in.u32le(value, u);
            volume = u;
            qty = qint32(u);
            break;
        case 44: in.u32le(value, u); oi = u; break;
        case 46: in.i32le(value, epoch); haveTime = true; break;
        default: break;  // skipped field
        }
        off = value + std::size_t(width);
    }
    if (!haveToken || !haveSegment)
        return;

    const quint64 key = (quint64(token) << 8) | quint64(exch);
    QDateTime when;
    if (haveTime) {
        if (!lastEpochTime.isValid() || lastEpoch != epoch) {
            lastEpoch = epoch;
            lastEpochTime = QDateTime::fromSecsSinceEpoch(epoch);
        }
        when = lastEpochTime;
    } else {
        when = now();
    }

    auto it = cache.find(key);
    if (it == cache.end()) {
        if (ltp == 0 && open == 0 && high == 0 && low == 0 && volume == 0 && oi == 0)
            return;
        TickData t;
        t.token = QString::number(token);
        t.exchange = exchangeAt(exch);
        t.symbol = t.token + QLatin1Char('_') + t.exchange;
        t.ltp = ltp;
        t.open = open;
        t.high = high;
        t.low = low;
        t.volume = volume;
        t.openInterest = oi;
        t.lastTradedQty = qty;
        t.timestamp = when;
        cache.insert(key, t);
        ticks.append(t);
        return;
    }
    // Known instrument: zero fields keep the last value; the cache's open/high/low are the ltp.
    TickData& t = it.value();
    if (ltp != 0)
        t.ltp = ltp;
    if (volume != 0)
        t.volume = volume;
    if (oi != 0)
        t.openInterest = oi;
    if (qty != 0)
        t.lastTradedQty = qty;
    t.open = t.high = t.low = t.ltp;
    t.timestamp = when;
    ticks.append(t);
}

bool TradeJiniDecoder::tickFromL1Json(const QJsonObject& obj, const std::function<QString(const QString&)>& nameForToken,
                                      const QDateTime& now, TickData& tick, QString& keyExchange)
{
    const QStringList parts = obj.value(QLatin1String("symbol")).toString().split(QLatin1Char('_'));
    if (parts.size() < 2 || parts.first().isEmpty())
        return false;
    const QString token = parts.at(0);
    keyExchange = parts.at(1);
    QString name = nameForToken ? nameForToken(token) : QString();
    if (name.isEmpty())
        name = token;
    if (name == token && !keyExchange.isEmpty())
        name = keyExchange + QLatin1Char(':') + token;
    tick = TickData();
    tick.symbol = name;
    tick.token = token;
    tick.exchange = obj.value(QLatin1String("exchSeg")).toString();
    tick.ltp = obj.value(QLatin1String("ltp")).toDouble();
    tick.open = obj.value(QLatin1String("open")).toDouble();
    tick.high = obj.value(QLatin1String("high")).toDouble();
    tick.low = obj.value(QLatin1String("low")).toDouble();
    tick.volume = obj.value(QLatin1String("vol")).toDouble();
    tick.openInterest = obj.value(QLatin1String("OI")).toDouble();
    tick.lastTradedQty = 0;
    tick.timestamp = now;
    return true;
}
