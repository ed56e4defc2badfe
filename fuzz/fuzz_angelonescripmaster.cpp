// AngelOne scrip master: never more entries than array elements, no entry without a token, and
// an error exactly when nothing could be read.
#include "FuzzSeeds.h"
#include "brokers/angelone/AngelOneScripMaster.h"

TICKVANE_FUZZ_SEEDS(
    R"([{"token":"2885","symbol":"RELIANCE-EQ","name":"RELIANCE","exch_seg":"NSE","instrumenttype":""},{"token":"35001","symbol":"NIFTY24DECFUT","exch_seg":"NFO","instrumenttype":"FUTIDX"}])",
    R"([{"token":"","symbol":"X"},17,null])", R"({"not":"an array"})")

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char*>(data), int(size));
    const AngelOneScripMaster::Result r = AngelOneScripMaster::parse(body);
    if (!r.error.isEmpty())
        FUZZ_CHECK(r.entries.isEmpty());
    FUZZ_CHECK(r.entries.size() <= r.elements);
    for (const AngelOneScripMaster::Entry& e : r.entries)
        FUZZ_CHECK(!e.token.isEmpty() && !e.key.isEmpty());
    return 0;
}
