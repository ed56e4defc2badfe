// Default missing-day computation of the candle store and the weekday calendar.
#include "backtest/IOHLCStore.h"

#include <QDate>
#include <QSet>

QStringList tradingDaysBetween(const QString& from, const QString& to)
{
    const QDate first = QDate::fromString(from, Qt::ISODate);
    const QDate last = QDate::fromString(to, Qt::ISODate);
    QStringList days;
    if (!first.isValid() || !last.isValid() || first > last)
        return days;
    for (QDate d = first; d <= last; d = d.addDays(1)) {
        if (d.dayOfWeek() <= 5)
            days.append(d.toString(Qt::ISODate));
    }
    return days;
}

IOHLCStore::~IOHLCStore() = default;

QStringList IOHLCStore::missingDates(const QString& symbol, const QString& from, const QString& to)
{
    const QStringList weekdays = tradingDaysBetween(from, to);
    if (weekdays.isEmpty())
        return {};
    const QStringList have = availableDates(symbol, from, to);
    const QSet<QString> present(have.begin(), have.end());
    QStringList missing;
    for (const QString& day : weekdays) {
        if (!present.contains(day))
            missing.append(day);
    }
    return missing;
}
