// AngelOne candle history, pure parts: interval and exchange names, request bodies, candle and
// open-interest replies, and the merge of open interest into candles by time.
#pragma once

#include "core/MarketData.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>

namespace AngelOneHistory {

// SmartAPI interval name for the caller's text (case-insensitive). Unknown text gives
// "ONE_MINUTE" and sets *known false.
QString mapInterval(const QString& interval, bool* known = nullptr);

// Exchange name the history service expects for a resolved exchange.
QString exchangeSegmentName(const QString& exchange);

// Exchanges whose candles get open interest merged in.
bool hasOpenInterest(const QString& exchange);

// "yyyy-MM-dd 00:00" of the first day and "yyyy-MM-dd 23:59" of the last.
QString fromDateText(const QDate& from);
QString toDateText(const QDate& to);

// The body both history requests send (indented JSON).
QByteArray requestBody(const QString& exchange, const QString& token, const QString& interval,
                       const QString& fromDate, const QString& toDate);

struct Candles {
    bool ok = false;
    QString message;        // the service's "message" when not ok
    QList<OHLCData> bars;   // in reply order
    int badTimes = 0;       // rows dropped because their time did not parse
    QList<QString> firstRow;  // the first row's elements as text, for the log
};
Candles parseCandles(const QByteArray& body, const QString& displaySymbol);

// Why a reply was refused, for the user: the service's "message" and "errorcode" as it gives
// them ("Invalid Token (AG8001)": the session has expired), or `fallback` when the body carries
// neither.
QString refusalText(const QByteArray& body, const QString& fallback);

struct OpenInterest {
    bool ok = false;
    QString message;
    QMap<QDateTime, double> byTime;  // a later record with the same time replaces an earlier one
};
OpenInterest parseOpenInterest(const QByteArray& body);

// Writes the open interest of every bar whose time has an entry; returns how many matched.
int mergeOpenInterest(QList<OHLCData>& bars, const QMap<QDateTime, double>& byTime);

}  // namespace AngelOneHistory
