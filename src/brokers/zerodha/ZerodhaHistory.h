// Zerodha candle history: interval names, per-interval span limits, request query and reply
// parsing. Pure text in and out; the broker sends the requests.
//
// GET /instruments/historical/<token>/<interval>?from=<yyyy-MM-dd HH:mm:ss>&to=...&continuous=0&oi=1
// with "X-Kite-Version: 3" and "Authorization: token <api key>:<access token>". Times are the
// exchange's wall clock (IST) without a zone. The reply:
//   {"status":"success","data":{"candles":[["2024-03-01T09:15:00+0530",o,h,l,c,volume,oi],...]}}
// oldest first, prices in rupees, the time the start of the candle. Failures:
//   {"status":"error","message":"...","error_type":"TokenException"} with an HTTP status of 4xx/5xx.
#pragma once

#include "core/MarketData.h"

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QPair>
#include <QString>

namespace ZerodhaHistory {

// The broker's interval name ("minute" ... "60minute", "day") for a timeframe as the window and
// the downloader write it ("5minute", "5", "5min", "1hour", "D", ...); empty when it has none.
QString intervalName(const QString& timeframe);

// Longest span one request may cover, in calendar days; 0 for a name the broker does not know.
int maxDays(const QString& interval);

// [from, to] in ranges of (limit - 1) days each, so that a request stays inside the limit whether
// the broker counts both ends of the span or not.
QList<QPair<QDate, QDate>> chunks(const QDate& from, const QDate& to, const QString& interval);

// Path and query under the REST host for whole days from `from` 00:00:00 to `to` 23:59:59.
QString requestPath(quint32 token, const QString& interval, const QDate& from, const QDate& to);

struct Reply {
    bool ok = false;
    QString error;  // why the reply failed, for "Zerodha history error for X: <error>"
    QList<OHLCData> bars;
    int rejected = 0;  // candles dropped for a bad time, too few columns or non-numeric values
    bool throttled = false;     // HTTP 429: over the rate limit, worth asking again after a pause
    bool tokenRefused = false;  // HTTP 403 TokenException: the session has expired or is not valid
};
// `httpStatus` 0 means none (the request never got an answer).
Reply parseReply(int httpStatus, const QByteArray& body, const QString& symbol);

}  // namespace ZerodhaHistory
