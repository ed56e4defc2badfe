// Bar times on the exchange's clock and on the local one.
#include "core/BarClock.h"

#include "core/TickClock.h"

namespace BarClock {

QDateTime onExchangeClock(const QDateTime& when)
{
    if (!when.isValid() || when.timeSpec() == Qt::LocalTime)
        return when;
    return when.toOffsetFromUtc(kExchangeOffsetSeconds);
}

QDateTime onLocalClock(const QDateTime& when)
{
    if (!when.isValid() || when.timeSpec() == Qt::LocalTime)
        return when;
    const QDateTime exchange = when.toOffsetFromUtc(kExchangeOffsetSeconds);
    if (exchange.time() == QTime(0, 0))
        return exchange;
    return TickClock::fromMSecs(when.toMSecsSinceEpoch());
}

}  // namespace BarClock
