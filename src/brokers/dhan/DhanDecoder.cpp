// Dhan feed packet and JSON message decoding.
#include "brokers/dhan/DhanDecoder.h"

#include "brokers/BinaryReader.h"
#include "core/TickClock.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr qint64 kAheadMs = 60 * 1000;
constexpr qint64 kBehindMs = 86400LL * 1000;

float f32At(const BinaryReader& r, std::size_t offset)
{
    std::uint32_t bits = 0;
    r.u32le(offset, bits);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// A JSON number read as a whole number within [lo, hi]; anything else 0.
double wholeOf(const QJsonValue& v, double lo, double hi)
{
    if (!v.isDouble())
        return 0;
    const double d = v.toDouble();
    if (!std::isfinite(d) || d != std::floor(d) || d < lo || d > hi)
        return 0;
    return d;
}

}  // namespace

QString DhanDecoder::segmentName(int segment)
{
    static const QString names[] = {
        QStringLiteral("IDX_I"),  QStringLiteral("NSE_EQ"),       QStringLiteral("NSE_FNO"),
        QStringLiteral("NSE_CURRENCY"), QStringLiteral("BSE_EQ"), QStringLiteral("MCX_COMM"),
        QString(),                QStringLiteral("BSE_CURRENCY"), QStringLiteral("BSE_FNO")};
    if (segment >= 0 && segment < int(sizeof names / sizeof names[0]) && !names[segment].isEmpty())
        return names[segment];
    return QString::number(segment);
}

QString DhanDecoder::disconnectReason(int code)
{
    switch (code) {
    case 805: return QStringLiteral("too many connections for this account");
    case 806: return QStringLiteral("the account is not subscribed to market data");
    case 807: return QStringLiteral("access token expired");
    case 808: return QStringLiteral("invalid client ID");
    case 809: return QStringLiteral("authentication failed");
    default: return QStringLiteral("unknown reason");
    }
}

void DhanDecoder::reset()
{
    tokens.clear();
    lastStamp.reset();
}

const QString& DhanDecoder::tokenText(quint32 securityId)
{
    auto it = tokens.find(securityId);
    if (it == tokens.end())
        it = tokens.insert(securityId, QString::number(securityId));
    return it.value();
}

QDateTime DhanDecoder::tradeTime(qint32 ltt, qint64 receivedMSecs)
{
    const qint64 msecs = qint64(ltt) * 1000;
    if (msecs > receivedMSecs + kAheadMs || msecs < receivedMSecs - kBehindMs)
        return TickClock::fromMSecs(receivedMSecs);
    return lastStamp.fromSecs(ltt);
}

DecodedFrame DhanDecoder::decode(const QByteArray& frame, qint64 receivedMSecs)
{
    DecodedFrame out;
    const BinaryReader r(frame);
    std::uint8_t code = 0;
    r.u8(0, code);
    if (code == kDisconnectCode && r.has(0, kDisconnectPacketSize)) {
        std::uint16_t reason = 0;
        r.u16le(8, reason);
        out.addEvent(DecoderEvent::Disconnect, reason, disconnectReason(reason));
        return out;
    }
    if (!r.has(0, kMinPacketSize)) {
        out.addEvent(DecoderEvent::UnknownPacket, code, QString::number(frame.size()));
        return out;
    }
    std::uint8_t segment = 0;
    std::uint16_t ltq = 0;
    std::uint32_t securityId = 0, volume = 0, oi = 0;
    std::int32_t ltt = 0;
    r.u8(3, segment);
    r.u32le(4, securityId);
    r.u16le(12, ltq);
    r.i32le(14, ltt);
    r.u32le(22, volume);
    r.u32le(34, oi);

    out.ticks.resize(1);
    TickData& t = out.ticks[0];
    t.token = tokenText(securityId);
    t.exchange = segmentName(segment);
    t.ltp = double(f32At(r, 8));
    t.open = double(f32At(r, 46));
    t.high = double(f32At(r, 54));
    t.low = double(f32At(r, 58));
    t.volume = double(volume);
    t.openInterest = double(oi);
    t.lastTradedQty = qint32(ltq);
    t.timestamp = tradeTime(ltt, receivedMSecs);
    if (tracing) {
        std::int16_t length = 0;
        r.i16le(1, length);
        out.notes.append(DecoderNote{kHeaderNote, code, length, segment, securityId, double(f32At(r, 18)), 0, {}});
        const qint64 msecs = qint64(ltt) * 1000;
        if (msecs > receivedMSecs + kAheadMs || msecs < receivedMSecs - kBehindMs)
            out.notes.append(DecoderNote{kImplausibleTimeNote, ltt, 0, 0, 0, 0, 0, {}});
    }
    return out;
}

DecodedFrame DhanDecoder::decodeText(const QByteArray& utf8, qint64 receivedMSecs)
{
    DecodedFrame out;
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(utf8, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject()) {
        out.addEvent(DecoderEvent::Malformed, 0,
                     err.error != QJsonParseError::NoError ? err.errorString() : QStringLiteral("not a JSON object"));
        return out;
    }
    const QJsonObject message = doc.object();
    constexpr double kU32 = double(std::numeric_limits<quint32>::max());
    const double code = wholeOf(message.value(QLatin1String("ResponseCode")), 0, kU32);
    if (code == 5) {
        out.addEvent(DecoderEvent::Acknowledged);
    } else if (code == 50) {
        const QJsonObject d = message.value(QLatin1String("Data")).toObject();
        TickData t;
        t.token = QString::number(quint32(wholeOf(d.value(QLatin1String("SecurityId")), 0, kU32)));
        t.ltp = d.value(QLatin1String("LTP")).toDouble();
        t.open = d.value(QLatin1String("Open")).toDouble();
        t.high = d.value(QLatin1String("High")).toDouble();
        t.low = d.value(QLatin1String("Low")).toDouble();
        t.volume = wholeOf(d.value(QLatin1String("Volume")), 0, kU32);
        t.openInterest = wholeOf(d.value(QLatin1String("OI")), 0, kU32);
        t.timestamp = TickClock::fromMSecs(receivedMSecs);
        out.ticks.append(t);
    }
    return out;
}
