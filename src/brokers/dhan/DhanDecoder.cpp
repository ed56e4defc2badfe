// Dhan feed packet and JSON message decoding.
#include "brokers/dhan/DhanDecoder.h"

#include "brokers/BinaryReader.h"

#include <QJsonValue>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

float f32At(const BinaryReader& r, std::size_t offset)
{
    std::uint32_t bits = 0;
    r.u32le(offset, bits);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// A JSON number read as a 32-bit integer: whole numbers in range, anything else 0.
qint32 int32Of(const QJsonValue& v)
{
    if (!v.isDouble())
        return 0;
    const double d = v.toDouble();
    if (!std::isfinite(d) || d != std::floor(d) || d < double(std::numeric_limits<qint32>::min())
        || d > double(std::numeric_limits<qint32>::max()))
        return 0;
    return qint32(d);
}

}  // namespace

bool DhanDecoder::decodePacket(const QByteArray& frame, Packet& out)
{
    const BinaryReader r(frame);
    if (!r.has(0, kMinPacketSize))
        return false;
    std::uint8_t u8 = 0;
    std::int16_t i16 = 0;
    std::uint32_t u32 = 0;
    std::int32_t i32 = 0;
    r.u8(0, u8);
    out.responseCode = u8;
    r.i16le(1, i16);
    out.msgLen = i16;
    r.u8(3, u8);
    out.exchangeSegment = u8;
    r.u32le(4, u32);
    out.securityId = u32;
    out.ltp = f32At(r, 8);
    r.i16le(12, i16);
    out.ltq = i16;
    r.i32le(14, i32);
    out.ltt = i32;
    out.atp = f32At(r, 18);
    r.i32le(22, i32);
    out.volume = i32;
    r.i32le(34, i32);
    out.openInterest = i32;
    out.open = f32At(r, 46);
    out.close = f32At(r, 50);
    out.high = f32At(r, 54);
    out.low = f32At(r, 58);
    return true;
}

QDateTime DhanDecoder::tradeTime(qint32 ltt, const QDateTime& now, bool* replaced)
{
    const QDateTime t = tradeTime(ltt, now.toMSecsSinceEpoch());
    if (replaced)
        *replaced = !t.isValid();
    return t.isValid() ? t : now;
}

QDateTime DhanDecoder::tradeTime(qint32 ltt, qint64 nowMSecs, TimeCache* cache)
{
    const qint64 msecs = qint64(ltt) * 1000;
    if (msecs > nowMSecs + 60 * 1000 || msecs < nowMSecs - 86400LL * 1000)
        return QDateTime();
    if (!cache)
        return QDateTime::fromSecsSinceEpoch(ltt);
    if (cache->secs != ltt) {
        cache->secs = ltt;
        cache->time = QDateTime::fromSecsSinceEpoch(ltt);
    }
    return cache->time;
}

DhanDecoder::JsonMessage DhanDecoder::decodeJson(const QJsonObject& message)
{
    JsonMessage m;
    const qint32 code = int32Of(message.value(QStringLiteral("ResponseCode")));
    if (code == 5) {
        m.kind = JsonMessage::SubscriptionAck;
    } else if (code == 50) {
        m.kind = JsonMessage::Tick;
        const QJsonObject d = message.value(QStringLiteral("Data")).toObject();
        m.securityId = int32Of(d.value(QStringLiteral("SecurityId")));
        m.ltp = d.value(QStringLiteral("LTP")).toDouble();
        m.open = d.value(QStringLiteral("Open")).toDouble();
        m.high = d.value(QStringLiteral("High")).toDouble();
        m.low = d.value(QStringLiteral("Low")).toDouble();
        m.volume = int32Of(d.value(QStringLiteral("Volume")));
        m.openInterest = int32Of(d.value(QStringLiteral("OI")));
    }
    return m;
}

QString DhanDecoder::exchangeOf(const QString& symbol)
{
    const int colon = symbol.indexOf(QLatin1Char(':'));
    return colon < 0 ? symbol : symbol.left(colon);
}

TickData DhanDecoder::tick(const Packet& p, const QString& symbol, const QDateTime& time)
{
    TickData t;
    t.symbol = symbol;
    t.token = QString::number(p.securityId);
    t.exchange = exchangeOf(symbol);
    t.ltp = double(p.ltp);
    t.open = double(p.open);
    t.high = double(p.high);
    t.low = double(p.low);
    t.volume = double(p.volume);
    t.openInterest = double(p.openInterest);
    t.lastTradedQty = p.ltq;
    t.timestamp = time;
    return t;
}

TickData DhanDecoder::tick(const JsonMessage& m, const QString& symbol, const QDateTime& time)
{
    TickData t;
    t.symbol = symbol;
    t.token = QString::number(m.securityId);
    t.exchange = exchangeOf(symbol);
    t.ltp = m.ltp;
    t.open = m.open;
    t.high = m.high;
    t.low = m.low;
    t.volume = double(m.volume);
    t.openInterest = double(m.openInterest);
    t.lastTradedQty = 0;
    t.timestamp = time;
    return t;
}
