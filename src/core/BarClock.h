// Bar times on the two clocks they are shown on: the exchange's, for the candle store and the
// backtests, and the local one, for the CSV files where bars stand beside live ticks.
//
// A bar time that names an instant (Qt::UTC or Qt::OffsetFromUTC: an epoch from the broker, or a text
// with its offset) is converted. One without a zone (Qt::LocalTime: a zone-less text, or a date) is
// taken as it reads on either clock, since nothing says where it was read. Neither conversion asks the
// C library for the zone per bar.
#pragma once

#include <QDateTime>

namespace BarClock {

// Indian exchanges keep UTC+05:30 all year.
constexpr int kExchangeOffsetSeconds = 5 * 3600 + 30 * 60;

// The bar time as the exchange's wall clock reads it.
QDateTime onExchangeClock(const QDateTime& when);

// The bar time as the local wall clock reads it, stamped as ticks are (TickClock), so that a bar and
// a tick of the same moment read the same on a machine in any zone. A bar at midnight on the
// exchange's clock (or at midnight UTC) is a daily bar: it reads as the exchange's date at 00:00:00,
// whatever the local zone.
QDateTime onLocalClock(const QDateTime& when);

}  // namespace BarClock
