// AngelOne candle and open-interest replies: bars carry the requested name and a valid time, a
// reply that is not ok yields no bars, and merging open interest touches only matching bars.
#include "FuzzSeeds.h"
#include "brokers/angelone/AngelOneHistory.h"

TICKVANE_FUZZ_SEEDS(R"({"status":true,"data":[["2024-03-15T09:15:00+05:30",1,2,0.5,1.5,100]]})",
                    R"({"status":true,"data":[["2024-03-15T09:15:00+05:30",1,2,0.5,1.5,100,7],["yesterday",1,2,3,4,5]]})",
                    R"({"status":false,"message":"Invalid token"})",
                    R"({"status":true,"data":[{"time":"2024-03-15T09:15:00+05:30","oi":1200}]})")

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char*>(data), int(size));
    AngelOneHistory::Candles c = AngelOneHistory::parseCandles(body, QStringLiteral("RELIANCE"));
    if (!c.ok)
        FUZZ_CHECK(c.bars.isEmpty());
    for (const OHLCData& b : qAsConst(c.bars)) {
        FUZZ_CHECK(b.symbol == QLatin1String("RELIANCE"));
        FUZZ_CHECK(b.timestamp.isValid());
    }
    const AngelOneHistory::OpenInterest oi = AngelOneHistory::parseOpenInterest(body);
    const int merged = AngelOneHistory::mergeOpenInterest(c.bars, oi.byTime);
    FUZZ_CHECK(merged >= 0 && merged <= c.bars.size());
    return 0;
}
