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
    // Daily bars come at midnight on the exchange's clock or, from some brokers, at midnight UTC
    // (05:30 there); no market trades at either hour.
    const QDateTime exchange = when.toOffsetFromUtc(kExchangeOffsetSeconds);
    if (exchange.time() == QTime(0, 0) || exchange.time() == QTime(5, 30))
        return QDateTime(exchange.date(), QTime(0, 0), Qt::OffsetFromUTC, kExchangeOffsetSeconds);
    return TickClock::fromMSecs(when.toMSecsSinceEpoch());
}

}  // namespace BarClock
