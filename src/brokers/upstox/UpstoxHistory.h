// Upstox candle history: the request path for an instrument, interval and dates, and the reply's
// rows as bars. Pure: no network, no clock of its own.
#pragma once

#include "core/MarketData.h"

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QString>

namespace UpstoxHistory {

struct Interval {
    QString unit;  // "minutes", "hours", "days", "weeks", "months"
    int size = 1;
};

// Interval text as callers name it ("1min", "5minute", "1hour", "day", ...), compared exactly;
// anything else is one day.
Interval intervalFor(const QString& interval);

// End date as sent: a request that reaches today asks up to tomorrow, so today's candles come too.
QDate effectiveEndDate(const QDate& to, const QDate& today);

// "/v3/historical-candle/<key>/<unit>/<size>/<to>/<from>", the key percent-encoded ('|' -> %7C).
QString requestPath(const QString& instrumentKey, const Interval& interval, const QDate& from, const QDate& endDate);

struct ParseResult {
    bool ok = false;
    QString message;  // the service's "message" when not ok
    QList<OHLCData> bars;
    int skippedRows = 0;  // rows too short or with an unreadable time
};

// {"status":"success","data":{"candles":[[time, o, h, l, c, v(, oi)], ...]}}; bars keep the
// rows' order and carry `symbol`.
ParseResult parseCandles(const QByteArray& body, const QString& symbol);

}  // namespace UpstoxHistory
