// FlatTrade candle replies, intraday and daily: bars only with a reply of bars, each with a valid
// time and prices above zero, oldest first, named as requested; a failure always says why.
#include "FuzzSeeds.h"
#include "brokers/flattrade/FlatTradeHistory.h"

TICKVANE_FUZZ_SEEDS(
    R"([{"stat":"Ok","time":"01-07-2026 09:20:00","ssboe":"1782877800","into":"1306.10","inth":"1308.90","intl":"1305.70","intc":"1308.60","intv":"52310"}])",
    R"(["{\"time\":\"01-SEP-2026\", \"into\":\"1285.00\", \"inth\":\"1311.80\", \"intl\":\"1280.00\", \"intc\":\"1309.00\", \"ssboe\":\"1788220800\", \"intv\":\"12617528.00\"}"])",
    R"({"stat":"Not_Ok","emsg":"no data"})", R"({"time":"bad","ssboe":"1e300"})", "[1,\"x\",null]")

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char*>(data), int(size));
    for (const bool daily : {false, true}) {
        const FlatTradeHistory::Reply r = FlatTradeHistory::parse(body, daily, QStringLiteral("INFY"));
        FUZZ_CHECK((r.status == FlatTradeHistory::Reply::Bars) == !r.bars.isEmpty());
        if (r.status == FlatTradeHistory::Reply::Failed)
            FUZZ_CHECK(!r.error.isEmpty());
        FUZZ_CHECK(r.dropped >= 0 && r.timeMismatches >= 0);
        for (int i = 0; i < r.bars.size(); ++i) {
            const OHLCData& b = r.bars.at(i);
            FUZZ_CHECK(b.symbol == QLatin1String("INFY"));
            FUZZ_CHECK(b.timestamp.isValid());
            FUZZ_CHECK(b.open > 0 && b.high > 0 && b.low > 0 && b.close > 0);
            if (i > 0)
                FUZZ_CHECK(!(b.timestamp < r.bars.at(i - 1).timestamp));
        }
    }
    return 0;
}
