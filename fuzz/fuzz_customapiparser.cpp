// Custom API replies: quotes in both shapes and history replies; a body that is not JSON says
// why, and every history bar is valid and carries the row symbol when the rows have none.
#include "FuzzSeeds.h"
#include "brokers/CustomApiParser.h"

TICKVANE_FUZZ_SEEDS(R"({"s":"ok","d":{"quotes":[{"lp":101.5,"o":100,"h":102,"l":99,"v":1200}]}})",
                    R"({"symbol":"A","price":101.5,"open":100,"high":102,"low":99,"volume":1200})",
                    R"([{"symbol":"A","open":1,"high":2,"low":0.5,"close":1.5,"date":"2024-03-15"}])",
                    R"({"candles":[["2024-03-15T09:15:00",1,2,0.5,1.5,100]]})")

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char*>(data), int(size));
    for (bool fyers : {false, true}) {
        const CustomApiParser::QuoteResult q = CustomApiParser::parseQuote(body, fyers);
        if (!q.parsed)
            FUZZ_CHECK(!q.error.isEmpty());
    }
    for (const QString& rowSymbol : {QString(), QStringLiteral("ROWSYM")}) {
        for (const OHLCData& b : parseHistoricalResponse(body, rowSymbol))
            FUZZ_CHECK(b.isValid());
    }
    return 0;
}
