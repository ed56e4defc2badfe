// The candle-store interface the backtest engine reads through, and the weekday calendar it uses.
#pragma once

#include "backtest/StoredCandle.h"

#include <QDate>
#include <QString>
#include <QStringList>
#include <QVector>

// ISO dates of the Monday-to-Friday days from `from` to `to`, both inclusive. Empty when either date is
// invalid or from is after to. There is no holiday calendar.
QStringList tradingDaysBetween(const QString& from, const QString& to);
// Number of Monday-to-Friday days from `from` to `to`, both inclusive; 0 when from is after to.
qint64 weekdaysBetween(const QDate& from, const QDate& to);

class IOHLCStore {
public:
    // What one insert did. A row is added, already stored (its key is, so it is ignored) or failed.
    // `busy`: another connection held the write lock all the time the store waited, and nothing was
    // written; the same batch may be tried again.
    struct InsertReport {
        int added = 0;
        int duplicates = 0;
        int failed = 0;
        bool busy = false;
        QString problem;  // why rows failed; empty when none did
    };

    virtual ~IOHLCStore();

    // Rows actually inserted; a candle whose key is already stored is ignored.
    virtual int insertMinuteCandles(const QString& symbol, const QVector<StoredCandle>& candles) = 0;
    virtual int insertDayCandles(const QString& symbol, const QVector<StoredCandle>& candles) = 0;
    // The same inserts, telling failed rows apart from stored ones. The default knows only the count.
    virtual InsertReport insertCandles(bool minute, const QString& symbol, const QVector<StoredCandle>& candles);

    // The minute bars of one day, by time.
    virtual QVector<StoredCandle> loadMinuteCandles(const QString& symbol, const QString& date) = 0;
    // Day bars of an inclusive date range, oldest first, time "00:00:00".
    virtual QVector<StoredCandle> loadDayCandles(const QString& symbol, const QString& from, const QString& to) = 0;
    // Days of the range that have minute candles, ascending.
    virtual QStringList availableDates(const QString& symbol, const QString& from, const QString& to) = 0;
    // Weekdays of the range without minute candles (holidays count as missing).
    virtual QStringList missingDates(const QString& symbol, const QString& from, const QString& to);
    // First and last day with minute candles; both empty when there are none.
    virtual void dateRange(const QString& symbol, QString& firstDate, QString& lastDate) = 0;
    virtual void deleteSymbol(const QString& symbol) = 0;
    // Minute rows of every symbol.
    virtual qint64 minuteCandleCount() = 0;
};
