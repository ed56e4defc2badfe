// TradeJini stream frames, raw and compressed: every tick stamped, and two fresh decoders agree.
#include "FuzzTicks.h"
#include "brokers/tradejini/TradeJiniDecoder.h"
#include "support/TradeJiniFrames.h"

namespace {

constexpr qint64 kReceived = 1710474300500LL;

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
    // The decoder caches instruments between frames: two fresh ones must agree on the first.
    TradeJiniDecoder a;
    TradeJiniDecoder b;
    b.setTracing(true);  // notes for the log lines change nothing decoded
    const DecodedFrame x = a.decode(frame, kReceived);
    FuzzTicks::checkWhole(x);
    FUZZ_CHECK(FuzzTicks::same(x, b.decode(frame, kReceived)));
    // A second look at the same frame on the warmed decoder still yields stamped ticks.
    FuzzTicks::checkWhole(a.decode(frame, kReceived));
    return 0;
}
