// TradeJini chart replies: an unreadable or refused reply has no bars and says why; bars carry
// the requested name and a valid time.
#include "FuzzSeeds.h"
#include "brokers/tradejini/TradeJiniHistory.h"

TICKVANE_FUZZ_SEEDS(R"({"s":"ok","d":{"bars":[[1710474300,1,2,0.5,1.5,100]]}})", R"({"s":"error"})",
                    R"({"s":"error","errmsg":"Invalid id"})", R"({"s":"ok","d":[]})")

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char*>(data), int(size));
    const TradeJiniHistory::Reply r = TradeJiniHistory::parseReply(body, QStringLiteral("RELIANCE"));
    if (!r.parsed || r.brokerError)
        FUZZ_CHECK(r.bars.isEmpty() && !r.error.isEmpty());
    for (const OHLCData& b : r.bars) {
        FUZZ_CHECK(b.symbol == QLatin1String("RELIANCE"));
        FUZZ_CHECK(b.timestamp.isValid());
    }
    return 0;
}
