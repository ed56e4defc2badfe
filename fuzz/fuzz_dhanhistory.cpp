// Dhan chart replies (parallel arrays): never more bars than there are both opens and times (a
// missing high, low or close array reads as zeros), each bar named for the request and stamped
// with a valid time.
#include "FuzzSeeds.h"
#include "brokers/dhan/DhanHistory.h"

#include <algorithm>

TICKVANE_FUZZ_SEEDS(
    R"({"open":[1,2],"high":[2,3],"low":[0.5,1],"close":[1.5,2.5],"volume":[10,20],"timestamp":[1710474300,1710474360],"open_interest":[0,5]})",
    R"({"open":[1],"high":[2],"low":[0.5],"close":[1.5],"volume":[],"timestamp":[1710474300]})",
    R"({"errorType":"Input_Exception","errorMessage":"bad"})", "[]")

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char*>(data), int(size));
    const DhanHistory::Reply r = DhanHistory::parseReply(body, QStringLiteral("NSE:SBIN"));
    if (!r.parsed)
        FUZZ_CHECK(r.bars.isEmpty() && !r.error.isEmpty());
    FUZZ_CHECK(r.bars.size() <= std::min(r.lengths[0], r.lengths[5]));
    for (const OHLCData& b : r.bars) {
        FUZZ_CHECK(b.symbol == QLatin1String("NSE:SBIN"));
        FUZZ_CHECK(b.timestamp.isValid());
    }
    return 0;
}
