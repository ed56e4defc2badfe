// Checks shared by the decoder fuzz targets: what every tick a decoder returns must hold, and
// whether two decodings gave the same ticks.
#pragma once

#include "FuzzSeeds.h"
#include "brokers/DecodedFrame.h"

#include <cstring>

namespace FuzzTicks {

// A decoder leaves naming to the broker (no symbol) and stamps every tick with a valid time.
// Prices are not checked here: a tick without a usable price is invalid and dropped where ticks
// are routed.
inline void checkWhole(const DecodedFrame& frame)
{
    for (const TickData& t : frame.ticks) {
        FUZZ_CHECK(t.symbol.isEmpty());
        FUZZ_CHECK(t.timestamp.isValid());
    }
}

inline bool same(const DecodedFrame& a, const DecodedFrame& b)
{
    if (a.ticks.size() != b.ticks.size() || a.events.size() != b.events.size())
        return false;
    for (int i = 0; i < a.ticks.size(); ++i) {
        const TickData& x = a.ticks[i];
        const TickData& y = b.ticks[i];
        // Bitwise, so that NaN prices compare too.
        if (x.token != y.token || x.exchange != y.exchange || std::memcmp(&x.ltp, &y.ltp, sizeof x.ltp) != 0
            || std::memcmp(&x.volume, &y.volume, sizeof x.volume) != 0 || x.timestamp != y.timestamp
            || x.lastTradedQty != y.lastTradedQty)
            return false;
    }
    for (int i = 0; i < a.events.size(); ++i) {
        if (a.events[i].kind != b.events[i].kind || a.events[i].code != b.events[i].code)
            return false;
    }
    return true;
}

}  // namespace FuzzTicks
