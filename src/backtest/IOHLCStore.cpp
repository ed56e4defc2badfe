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

qint64 weekdaysBetween(const QDate& from, const QDate& to)
{
    if (!from.isValid() || !to.isValid() || from > to)
        return 0;
    const qint64 span = from.daysTo(to) + 1;
    qint64 count = span / 7 * 5;
    // The days after the whole weeks start on from's weekday.
    for (qint64 i = 0, dow = from.dayOfWeek(); i < span % 7; ++i, dow = dow % 7 + 1) {
        if (dow <= 5)
            ++count;
    }
    return count;
}

IOHLCStore::~IOHLCStore() = default;

IOHLCStore::InsertReport IOHLCStore::insertCandles(bool minute, const QString& symbol,
                                                   const QVector<StoredCandle>& candles)
{
    InsertReport r;
    r.added = minute ? insertMinuteCandles(symbol, candles) : insertDayCandles(symbol, candles);
    r.duplicates = candles.size() - r.added;
    return r;
}

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
