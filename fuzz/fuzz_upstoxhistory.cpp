// Upstox candle replies: a reply that is not ok has no bars; bars carry the requested name and a
// valid time.
#include "FuzzSeeds.h"
#include "brokers/upstox/UpstoxHistory.h"

TICKVANE_FUZZ_SEEDS(
    R"({"status":"success","data":{"candles":[["2024-03-15T09:15:00+05:30",1,2,0.5,1.5,100,0],["2024-03-15T09:16:00+05:30",1,2,0.5,1.5,100]]}})",
    R"({"status":"success","data":{}})", R"({"status":"error","errors":[{"message":"Invalid"}]})",
    R"({"status":"success","data":{"candles":[["x"],[]]}})")

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char*>(data), int(size));
    const UpstoxHistory::ParseResult r = UpstoxHistory::parseCandles(body, QStringLiteral("INFY"));
    if (!r.ok)
        FUZZ_CHECK(r.bars.isEmpty());
    FUZZ_CHECK(r.skippedRows >= 0);
    for (const OHLCData& b : r.bars) {
        FUZZ_CHECK(b.symbol == QLatin1String("INFY"));
        FUZZ_CHECK(b.timestamp.isValid());
    }
    return 0;
}
