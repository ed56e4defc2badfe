// Meta-type registration of the market records.
#include "core/MarketData.h"

void registerMarketDataTypes()
{
    qRegisterMetaType<TickData>("TickData");
    qRegisterMetaType<OHLCData>("OHLCData");
    qRegisterMetaType<QList<OHLCData>>("QList<OHLCData>");
}

namespace {
// Registered at load time as well, so that a queued connection made before start-up code runs
// (tests, plugin calls) still finds the types.
const int kRegistered = (registerMarketDataTypes(), 0);
}
