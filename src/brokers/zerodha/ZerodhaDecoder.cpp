// Zerodha binary stream messages to ticks.
#include "brokers/zerodha/ZerodhaDecoder.h"

#include "brokers/BinaryReader.h"
#include "core/TickClock.h"

#include <algorithm>
#include <limits>

namespace {

constexpr int kLtpPacket = 8;
constexpr int kIndexQuotePacket = 28;
constexpr int kIndexFullPacket = 32;
constexpr int kQuotePacket = 44;
constexpr int kFullPacket = 184;
constexpr int kSmallestPacket = kLtpPacket;

// Only called on bytes whose packet length was checked against the message.
inline quint32 be32(const unsigned char* p)
{
    return (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
}

// Prices are two's complement: read unsigned, -37.63 on MCX would show as 42,949,635.33.
inline qint32 price32(const unsigned char* p)
{
    return qint32(be32(p));
}

}  // namespace

QString ZerodhaDecoder::exchangeOf(int segment)
{
    // Shared strings: a tick copies a reference, never the text.
    static const QString names[] = {
        QString(),
        QStringLiteral("NSE"),
        QStringLiteral("NFO"),
        QStringLiteral("CDS"),
        QStringLiteral("BSE"),
        QStringLiteral("BFO"),
        QStringLiteral("BCD"),
        QStringLiteral("MCX"),
        QStringLiteral("MCXSX"),
        QString::fromLatin1(kIndexSegment),
    };
    return segment > 0 && segment <= 9 ? names[segment] : QString();
}

double ZerodhaDecoder::divisorOf(int segment)
{
    switch (segment) {
    case 3: return 10000000.0;
    case 6: return 10000.0;
    case 1:
    case 2:
    case 4:
    case 5:
    case 7:
    case 8:
    case 9: return 100.0;
    default: return 0.0;
    }
}

ZerodhaDecoder::Instrument& ZerodhaDecoder::instrument(quint32 token)
{
    auto it = instruments.find(token);
    if (it != instruments.end())
        return *it;
    if (instruments.size() >= kMaxInstruments)
        instruments.clear();
    Instrument& inst = instruments[token];
    inst.token = QString::number(token);
    return inst;
}

QDateTime ZerodhaDecoder::stampFor(Instrument& inst, qint64 msecs)
{
    if (inst.stampMSecs != msecs) {
        inst.stamp = TickClock::fromMSecs(msecs);
        inst.stampMSecs = msecs;
    }
    return inst.stamp;
}

DecodedFrame ZerodhaDecoder::decode(const QByteArray& frame, qint64 receivedMSecs)
{
    DecodedFrame out;
    if (frame.size() <= 2) {
        out.addEvent(DecoderEvent::Heartbeat);
        return out;
    }
    const BinaryReader reader(frame);
    const auto* bytes = reinterpret_cast<const unsigned char*>(frame.constData());
    std::uint16_t count = 0;
    reader.u16be(0, count);
    // The count comes from the wire: reserve no more than the message can hold.
    out.ticks.reserve(std::min<int>(count, (frame.size() - 2) / (2 + kSmallestPacket)));

    std::size_t pos = 2;
    bool faulty = false;
    QDateTime received;  // made once per message, when a packet without a time needs it
    for (int i = 0; i < count; ++i) {
        std::uint16_t len = 0;
        if (!reader.u16be(pos, len)) {
            out.addEvent(DecoderEvent::Malformed, MissingPackets,
                         QStringLiteral("message of %1 bytes ends after %2 of %3 packets")
                             .arg(frame.size())
                             .arg(i)
                             .arg(count));
            faulty = true;
            break;
        }
        pos += 2;
        if (!reader.has(pos, len)) {
            out.addEvent(DecoderEvent::Malformed, TruncatedPacket,
                         QStringLiteral("packet %1 of %2 claims %3 bytes, %4 left")
                             .arg(i + 1)
                             .arg(count)
                             .arg(len)
                             .arg(reader.size() - pos));
            faulty = true;
            break;
        }
        const unsigned char* p = bytes + pos;
        pos += len;
        if (len != kLtpPacket && len != kIndexQuotePacket && len != kIndexFullPacket && len != kQuotePacket
            && len != kFullPacket) {
            out.addEvent(DecoderEvent::UnknownPacket, len);
            continue;
        }
        const quint32 token = be32(p);
        const int segment = int(token & 0xff);
        const double divisor = divisorOf(segment);
        if (divisor == 0.0) {
            out.addEvent(DecoderEvent::Skipped, segment,
                         QStringLiteral("token %1 is of unknown segment %2").arg(token).arg(segment));
            continue;
        }

        Instrument& inst = instrument(token);
        TickData t;
        t.token = inst.token;
        t.exchange = exchangeOf(segment);
        t.ltp = price32(p + 4) / divisor;
        quint32 timeSecs = 0;
        if (len == kIndexQuotePacket || len == kIndexFullPacket) {
            t.high = price32(p + 8) / divisor;
            t.low = price32(p + 12) / divisor;
            t.open = price32(p + 16) / divisor;
            if (len == kIndexFullPacket)
                timeSecs = be32(p + 28);
        } else if (len == kQuotePacket || len == kFullPacket) {
            t.lastTradedQty = qint32(std::min<quint32>(be32(p + 8), quint32(std::numeric_limits<qint32>::max())));
            t.volume = be32(p + 16);
            t.open = price32(p + 28) / divisor;
            t.high = price32(p + 32) / divisor;
            t.low = price32(p + 36) / divisor;
            if (len == kFullPacket) {
                t.openInterest = be32(p + 48);
                const quint32 lastTrade = be32(p + 44);
                timeSecs = lastTrade != 0 ? lastTrade : be32(p + 60);
            }
        }
        if (timeSecs != 0) {
            t.timestamp = stampFor(inst, qint64(timeSecs) * 1000);
        } else {
            if (!received.isValid())
                received = TickClock::fromMSecs(receivedMSecs);
            t.timestamp = received;
        }
        out.ticks.append(std::move(t));
    }
    if (!faulty && pos < reader.size()) {
        out.addEvent(DecoderEvent::Malformed, TrailingBytes,
                     QStringLiteral("%1 bytes after the last of %2 packets").arg(reader.size() - pos).arg(count));
    }
    return out;
}
