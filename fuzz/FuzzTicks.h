// Checks shared by the decoder fuzz targets: what every tick a decoder returns must hold, and
// whether two decodings gave the same ticks.
#pragma once

#include "FuzzSeeds.h"
#include "brokers/DecodedFrame.h"

#include <cmath>

namespace FuzzTicks {

// A decoder leaves naming to the broker: no symbol, but an exchange, a token, a finite price and
// a valid time on every tick.
inline void checkWhole(const DecodedFrame& frame)
{
    for (const TickData& t : frame.ticks) {
        FUZZ_CHECK(t.symbol.isEmpty());
        FUZZ_CHECK(!t.exchange.isEmpty() && !t.token.isEmpty());
        FUZZ_CHECK(std::isfinite(t.ltp));
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
        if (x.token != y.token || x.exchange != y.exchange || x.ltp != y.ltp || x.volume != y.volume
            || x.openInterest != y.openInterest || x.timestamp != y.timestamp || x.lastTradedQty != y.lastTradedQty)
            return false;
    }
    for (int i = 0; i < a.events.size(); ++i) {
        if (a.events[i].kind != b.events[i].kind || a.events[i].code != b.events[i].code)
            return false;
    }
    return true;
}

}  // namespace FuzzTicks
