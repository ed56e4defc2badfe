// Zerodha candle replies: a reply is either bars or a failure that says why; bars carry the
// requested name, a valid time and the close as their adjusted close.
#include "FuzzSeeds.h"
#include "brokers/zerodha/ZerodhaHistory.h"

TICKVANE_FUZZ_SEEDS(
    R"({"status":"success","data":{"candles":[["2024-03-15T09:15:00+0530",1,2,0.5,1.5,100,7],["2024-03-15T09:16:00+0530",1,2,0.5,1.5,100]]}})",
    R"({"status":"error","message":"Invalid token","error_type":"TokenException"})",
    R"({"status":"success","data":{"candles":[["x"],[],[1,2,3,4,5,6]]}})", "<html>Bad gateway</html>")

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char*>(data), int(size));
    for (const int status : {200, 0, 502}) {
        const ZerodhaHistory::Reply r = ZerodhaHistory::parseReply(status, body, QStringLiteral("INFY"));
        FUZZ_CHECK(r.ok == r.error.isEmpty());
        if (!r.ok)
            FUZZ_CHECK(r.bars.isEmpty());
        FUZZ_CHECK(r.rejected >= 0);
        if (status == 502)
            FUZZ_CHECK(!r.ok);
        for (const OHLCData& b : r.bars) {
            FUZZ_CHECK(b.symbol == QLatin1String("INFY"));
            FUZZ_CHECK(b.timestamp.isValid());
            FUZZ_CHECK(b.adjustedClose == b.close);
        }
    }
    return 0;
}
