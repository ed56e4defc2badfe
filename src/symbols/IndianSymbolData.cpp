// Field-by-field swap and meta-type registration of the instrument record.
#include "symbols/IndianSymbolData.h"

#include <utility>

void IndianSymbolData::swap(IndianSymbolData& o) noexcept
{
    using std::swap;
    symbol.swap(o.symbol);
    exchange.swap(o.exchange);
    segment.swap(o.segment);
    token.swap(o.token);
    isin.swap(o.isin);
    swap(lotSize, o.lotSize);
    swap(tickSize, o.tickSize);
    instrumentType.swap(o.instrumentType);
    name.swap(o.name);
    swap(strike, o.strike);
    optionType.swap(o.optionType);
    expiry.swap(o.expiry);
    extra1.swap(o.extra1);
    extra2.swap(o.extra2);
}

namespace {
// The symbol dialogs keep records in QVariants; register at load time so no start-up order matters.
const int kRegistered = qRegisterMetaType<IndianSymbolData>("IndianSymbolData");
}
