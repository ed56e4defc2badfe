// TradeJini stream frames, raw and compressed: the same ticks with and without events, and every
// tick names its token and exchange and carries a valid time.
#include "FuzzSeeds.h"
#include "brokers/tradejini/TradeJiniDecoder.h"
#include "support/TradeJiniFrames.h"

namespace {

const QDateTime kNow = QDateTime::fromSecsSinceEpoch(1710474300);

TradeJiniDecoder makeDecoder()
{
    TradeJiniDecoder d;
    d.setClock([] { return kNow; });
    return d;
}

QByteArray payload()
{
    QByteArray valid;
    for (quint32 t = 1; t <= 8; ++t)
        valid += TradeJiniFrames::l1(quint8(t), t, qint32(1000 * t), t, t, 1710474300);
    return valid;
}

}  // namespace

TICKVANE_FUZZ_SEEDS(TradeJiniFrames::frame(payload(), false), TradeJiniFrames::frame(payload(), true),
                    TradeJiniFrames::frame(TradeJiniFrames::packet(3, QByteArray()), false),
                    TradeJiniFrames::frame(payload(), true, 1, 1 << 30))

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray frame(reinterpret_cast<const char*>(data), int(size));
    // Fresh decoders: each keeps a cache of instruments seen, which must not depend on events.
    TradeJiniDecoder a = makeDecoder();
    TradeJiniDecoder b = makeDecoder();
    QVector<TickData> withEvents, without;
    const TradeJiniDecoder::FrameResult r = a.decodeFrame(frame, withEvents, true);
    const TradeJiniDecoder::FrameResult q = b.decodeFrame(frame, without, false);
    FUZZ_CHECK(r.status == q.status);
    FUZZ_CHECK(withEvents.size() == without.size());
    FUZZ_CHECK(q.events.isEmpty());
    for (int i = 0; i < without.size(); ++i) {
        const TickData& t = without[i];
        FUZZ_CHECK(t.symbol == withEvents[i].symbol && t.ltp == withEvents[i].ltp
                   && t.volume == withEvents[i].volume && t.timestamp == withEvents[i].timestamp);
        FUZZ_CHECK(t.symbol.contains(QLatin1Char('_')));
        FUZZ_CHECK(t.timestamp.isValid());
    }
    if (r.status != TradeJiniDecoder::FrameStatus::Ok)
        FUZZ_CHECK(without.isEmpty());
    return 0;
}
