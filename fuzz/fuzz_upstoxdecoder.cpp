// Upstox feed frames: every tick stamped, and a decoder that has seen other frames decodes a
// frame as a fresh one does.
#include "FuzzTicks.h"
#include "brokers/upstox/UpstoxDecoder.h"
#include "support/UpstoxFrames.h"

namespace {

constexpr qint64 kReceived = 1710474300500LL;
const QString kNifty = QStringLiteral("NSE_FO|45450");

QByteArray sample()
{
    using namespace UpstoxFrames;
    QByteArray valid;
    for (int i = 0; i < 4; ++i)
        valid += entry(kNifty, fullFeed(Trade{22150.0 + i, 1710474300123LL + i, 75 * (i + 1), 22000.0}, 1000.0 * i, 1 + i % 2));
    return valid;
}

}  // namespace

TICKVANE_FUZZ_SEEDS(sample(), UpstoxFrames::entry(QStringLiteral("NSE_EQ|INE009A01021"),
                                                 UpstoxFrames::ltpcFeed(UpstoxFrames::Trade{1500.25, 1710474300456LL, 10, 0})),
                    R"({"type":"market_info","marketInfo":{}})", QByteArray::fromHex("0a0212"))

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray frame(reinterpret_cast<const char*>(data), int(size));
    static UpstoxDecoder used;
    UpstoxDecoder fresh;
    used.setTracing(true);  // notes for the log lines change nothing decoded
    const DecodedFrame a = fresh.decode(frame, kReceived);
    FuzzTicks::checkWhole(a);
    FUZZ_CHECK(FuzzTicks::same(a, used.decode(frame, kReceived)));
    return 0;
}
