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

// End date as sent for units without an intraday endpoint (weeks, months): a request that
// reaches today asks up to tomorrow, so today's candle comes too.
QDate effectiveEndDate(const QDate& to, const QDate& today);

// Calendar days one historical request may span for the unit (the service refuses longer ones):
// minutes up to 15 a month, longer minutes and hours a quarter, days a decade; 0: no limit.
int maxDaysPerRequest(const Interval& interval);
// Minutes, hours and days of the current day come from the intraday endpoint, not the historical one.
bool hasIntraday(const Interval& interval);

// One request of a user's range: the historical endpoint for [from, to], or the intraday one.
struct Request {
    bool intraday = false;
    QDate from;
    QDate to;  // as sent (see effectiveEndDate)
};
// The requests that together answer [from, to] asked on `today`: the days before today split into
// the unit's allowed ranges, then today from the intraday endpoint when the range reaches it.
QList<Request> plan(const Interval& interval, const QDate& from, const QDate& to, const QDate& today);

// "/v3/historical-candle/<key>/<unit>/<size>/<to>/<from>", the key percent-encoded ('|' -> %7C).
QString requestPath(const QString& instrumentKey, const Interval& interval, const QDate& from, const QDate& endDate);
// "/v3/historical-candle/intraday/<key>/<unit>/<size>".
QString intradayPath(const QString& instrumentKey, const Interval& interval);

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
