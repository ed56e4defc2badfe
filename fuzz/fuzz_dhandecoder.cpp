// Dhan feed frames, binary and text: every tick is stamped, a frame too short for a packet gives
// none, and a decoder that has cached tokens and times decodes a frame as a fresh one does.
#include "FuzzTicks.h"
#include "brokers/dhan/DhanDecoder.h"
#include "support/DhanFrames.h"

namespace {

constexpr qint64 kReceived = 1718000000000LL;

QByteArray sample(quint32 id, float ltp, int size)
{
    return DhanFrames::quote(id, ltp, 1718000000, 1, size);
}

}  // namespace

TICKVANE_FUZZ_SEEDS(sample(1333, 100.5f, 62), sample(3045, 801.25f, 162), QByteArray(61, '\1'),
                    R"({"type":"tick","securityId":3045,"ltp":800.5})")

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray frame(reinterpret_cast<const char*>(data), int(size));
    static DhanDecoder used;  // carries its caches from input to input, as one connection's does
    DhanDecoder fresh;
    used.setTracing(true);  // notes for the log lines change nothing decoded
    const DecodedFrame a = fresh.decode(frame, kReceived);
    FuzzTicks::checkWhole(a);
    if (frame.size() < DhanDecoder::kMinPacketSize)
        FUZZ_CHECK(a.ticks.isEmpty());
    FUZZ_CHECK(FuzzTicks::same(a, used.decode(frame, kReceived)));
    const DecodedFrame text = fresh.decodeText(frame, kReceived);
    FuzzTicks::checkWhole(text);
    return 0;
}
