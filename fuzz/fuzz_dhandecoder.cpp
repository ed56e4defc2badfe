// Dhan feed frames: a frame decodes exactly when it holds a whole packet, bytes past the packet
// change nothing, and the trade time is either plausible or replaced by the current time.
#include "FuzzSeeds.h"
#include "brokers/dhan/DhanDecoder.h"
#include "support/DhanFrames.h"

#include <QJsonDocument>
#include <cstring>

namespace {

QByteArray sample(quint32 id, float ltp, int size)
{
    DhanFrames::Fields f;
    f.securityId = id;
    f.ltp = ltp;
    f.open = ltp - 1;
    f.high = ltp + 2;
    f.low = ltp - 3;
    f.ltq = 5;
    f.volume = 1000;
    f.ltt = 1718000000;
    return DhanFrames::packet(f, size);
}

bool samePacket(const DhanDecoder::Packet& a, const DhanDecoder::Packet& b)
{
    return std::memcmp(&a.ltp, &b.ltp, sizeof a.ltp) == 0 && a.securityId == b.securityId && a.ltt == b.ltt
        && a.volume == b.volume && a.openInterest == b.openInterest && a.ltq == b.ltq
        && std::memcmp(&a.high, &b.high, sizeof a.high) == 0;
}

}  // namespace

TICKVANE_FUZZ_SEEDS(sample(1333, 100.5f, 62), sample(3045, 801.25f, 162), QByteArray(61, '\1'),
                    R"({"type":"tick","securityId":3045,"ltp":800.5})")

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray frame(reinterpret_cast<const char*>(data), int(size));
    DhanDecoder::Packet p;
    const bool ok = DhanDecoder::decodePacket(frame, p);
    FUZZ_CHECK(ok == (frame.size() >= DhanDecoder::kMinPacketSize));
    if (ok) {
        DhanDecoder::Packet longer;
        FUZZ_CHECK(DhanDecoder::decodePacket(frame + QByteArray(7, '\xee'), longer));
        FUZZ_CHECK(samePacket(p, longer));
        const qint64 nowMs = 1718000000000LL;
        const QDateTime now = QDateTime::fromMSecsSinceEpoch(nowMs);
        bool replaced = false;
        const QDateTime t = DhanDecoder::tradeTime(p.ltt, now, &replaced);
        FUZZ_CHECK(t.isValid());
        FUZZ_CHECK(replaced ? t == now : (t.toSecsSinceEpoch() == p.ltt));
        const QDateTime cached = DhanDecoder::tradeTime(p.ltt, nowMs);
        FUZZ_CHECK(replaced ? !cached.isValid() : cached == t);
        const TickData tick = DhanDecoder::tick(p, QStringLiteral("NSE:SBIN"), t);
        FUZZ_CHECK(tick.token == QString::number(p.securityId) && tick.exchange == QLatin1String("NSE"));
    }
    DhanDecoder::decodeJson(QJsonDocument::fromJson(frame).object());
    return 0;
}
