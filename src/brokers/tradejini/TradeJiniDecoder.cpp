// TradeJini stream frames to ticks.
#include "brokers/tradejini/TradeJiniDecoder.h"

#include "brokers/BinaryReader.h"
#include "core/TickClock.h"
#include "symbols/ZlibInflate.h"

#include <QJsonValue>

#include <zlib.h>

#include <algorithm>
#include <limits>

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

QString TradeJiniDecoder::exchangeName(int segmentCode)
{
    return exchangeAt(exchangeIndex(segmentCode));
}

double TradeJiniDecoder::priceDivisor(int segmentCode)
{
    return kDivisors[exchangeIndex(segmentCode)];
}

void TradeJiniDecoder::reset()
{
    cache.clear();
    lastStamp.reset();
}

DecodedFrame TradeJiniDecoder::decode(const QByteArray& message, qint64 receivedMSecs)
{
    DecodedFrame out;
    const BinaryReader in(message);
    std::uint8_t version = 0, flag = 0;
    if (!in.has(0, 6)) {
        out.addEvent(DecoderEvent::Malformed, message.size(), QStringLiteral("Binary message too short"));
        return out;
    }
    in.u8(4, version);
    in.u8(5, flag);
    if (version != 1) {
        out.addEvent(DecoderEvent::UnknownPacket, version, QStringLiteral("Unsupported version: %1").arg(version));
        return out;
    }
    const char* payload = message.constData() + 6;
    int payloadSize = message.size() - 6;
    if (flag == 0x64) {
        int code = 0;
        const ZlibInflate::Status s =
            inflater.inflate(payload, payloadSize, kMaxInflatedBytes, inflated, &code);
        if (s != ZlibInflate::Status::Ok) {
            const int zlibCode = zlibCodeFor(s, code);
            out.addEvent(DecoderEvent::Malformed, zlibCode,
                         QStringLiteral("Failed to decompress binary data, zlib error: %1").arg(zlibCode));
            return out;
        }
        payload = inflated.constData();
        payloadSize = inflated.size();
    }
    decodePayload(payload, payloadSize, receivedMSecs, out);
    return out;
}

void TradeJiniDecoder::decodePayload(const char* data, int size, qint64 receivedMSecs, DecodedFrame& out)
{
    if (size < 3)
        return;
    const BinaryReader in(data, std::size_t(size));
    int offset = 0;
    for (;;) {
        std::int16_t length = 0;
        if (!in.i16le(std::size_t(offset), length) || length < 1 || qint64(offset) + length > size) {
            out.addEvent(DecoderEvent::Malformed, length,
                         QStringLiteral("Invalid packet length: %1 at index %2").arg(length).arg(offset));
            return;
        }
        if (length >= 3) {
            const auto* packet = reinterpret_cast<const unsigned char*>(data) + offset;
            const unsigned type = packet[2];
            if (type == 10) {
                if (tracing)
                    out.notes.append(DecoderNote{
                        kL1PacketNote, length, 0, 0, 0, 0, 0,
                        length > kDumpAbove ? QByteArray(reinterpret_cast<const char*>(packet), std::min<int>(length, kDumpBytes))
                                            : QByteArray()});
                decodeL1(packet, length, receivedMSecs, out);
            }
            else if (type == 16)
                out.addEvent(DecoderEvent::Heartbeat);
            else
                out.addEvent(DecoderEvent::UnknownPacket, int(type), QStringLiteral("Unknown packet type: %1").arg(type));
        }
        offset += length;
        if (offset >= size - 2)
            return;  // one or two trailing bytes cannot hold a packet
    }
}

void TradeJiniDecoder::decodeL1(const unsigned char* p, int size, qint64 receivedMSecs, DecodedFrame& out)
{
    const BinaryReader in(reinterpret_cast<const char*>(p), std::size_t(size));
    bool haveToken = false, haveSegment = false;
    std::uint32_t token = 0;
    int exch = 0;
    // Prices are kept raw until the whole packet is read: the segment tag that sets the divisor
    // may come after them.
    std::int32_t rawLtp = 0, rawOpen = 0, rawHigh = 0, rawLow = 0;
    std::uint32_t volume = 0, oi = 0;
    std::int32_t epoch = 0;

    std::size_t off = 3;
    while (off < std::size_t(size)) {
        const unsigned tag = p[off];
        const int width = tagWidth(tag);
        const std::size_t value = off + 1;
        if (!in.has(value, std::size_t(width)))
            break;  // a field cut short ends the packet; what came before stays decoded
        std::uint8_t b = 0;
        switch (tag) {
        case 26:
            in.u8(value, b);
            exch = exchangeIndex(b);
            haveSegment = true;
            break;
        case 27: in.u32le(value, token); haveToken = true; break;
        case 29: in.i32le(value, rawLtp); break;
        case 30: in.i32le(value, rawOpen); break;
        case 31: in.i32le(value, rawHigh); break;
        case 32: in.i32le(value, rawLow); break;
        case 39: in.u32le(value, volume); break;
        case 44: in.u32le(value, oi); break;
        case 46: in.i32le(value, epoch); break;
        default: break;  // skipped field
        }
        off = value + std::size_t(width);
    }
    if (!haveToken || !haveSegment)
        return;

    const double divisor = kDivisors[exch];
    const double ltp = rawLtp / divisor;
    const qint32 qty = qint32(std::min<std::uint32_t>(volume, std::uint32_t(std::numeric_limits<qint32>::max())));
    // A time of 0 is no time: the tick gets the time of receipt.
    const QDateTime when = epoch != 0 ? lastStamp.fromSecs(epoch) : TickClock::fromMSecs(receivedMSecs);

    const quint64 key = (quint64(token) << 8) | quint64(exch);
    auto it = cache.find(key);
    if (it == cache.end()) {
        if (rawLtp == 0 && rawOpen == 0 && rawHigh == 0 && rawLow == 0 && volume == 0 && oi == 0)
            return;
        TickData t;
        t.token = QString::number(token);
        t.exchange = exchangeAt(exch);
        t.ltp = ltp;
        t.open = rawOpen / divisor;
        t.high = rawHigh / divisor;
        t.low = rawLow / divisor;
        t.volume = double(volume);
        t.openInterest = double(oi);
        t.lastTradedQty = qty;
        t.timestamp = when;
        cache.insert(key, t);
        out.ticks.append(t);
        return;
    }
    // Known instrument: zero fields keep the last value; the cache's open/high/low are the ltp.
    TickData& t = it.value();
    if (rawLtp != 0)
        t.ltp = ltp;
    if (volume != 0)
        t.volume = double(volume);
    if (oi != 0)
        t.openInterest = double(oi);
    if (qty != 0)
        t.lastTradedQty = qty;
    t.open = t.high = t.low = t.ltp;
    t.timestamp = when;
    out.ticks.append(t);
}

bool TradeJiniDecoder::tickFromL1Json(const QJsonObject& obj,
                                      const std::function<QString(const QString&, const QString&)>& nameForToken,
                                      const QDateTime& now, TickData& tick, QString& keyExchange)
{
    const QStringList parts = obj.value(QLatin1String("symbol")).toString().split(QLatin1Char('_'));
    if (parts.size() < 2 || parts.first().isEmpty())
        return false;
    const QString token = parts.at(0);
    keyExchange = parts.at(1);
    QString name = nameForToken ? nameForToken(token, keyExchange) : QString();
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
