// FlatTrade candle history: request bodies and replies of TPSeries (minute candles) and
// EODChartData (daily candles). Pure text in, bars out.
//
// Both calls are POSTs whose body is "jData=<json>&jKey=<session token>", the JSON sent raw with
// every value a string. Replies: a JSON array of candles, newest first, on success; an object
// {"stat":"Not_Ok","emsg":...} on failure, where an emsg holding "no data" only means the window
// is empty. TPSeries rows are objects whose "time" is the candle start as India wall-clock time
// ("dd-mm-yyyy HH:MM:SS"); EODChartData rows are strings that each hold a JSON object, whose
// "time" is the trading date ("01-SEP-2026").
#pragma once

#include "core/MarketData.h"

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QString>

namespace FlatTradeHistory {

// Seconds east of UTC of India time, in which the exchanges and the history service count.
constexpr int kIndiaOffset = 19800;
// The longest range one intraday request asks for.
constexpr int kMaxIntradayDays = 30;

// Candle minutes for a timeframe name ("minute", "1minute", "5minute", "60minute", ...): one of
// 1, 3, 5, 10, 15, 30, 60, 120; 0 for "day"; -1 for anything the service does not offer.
int intervalMinutes(const QString& interval);

// 00:00:00 of `from` and 23:59:59 of `to`, India time, in epoch seconds.
qint64 dayStart(const QDate& from);
qint64 dayEnd(const QDate& to);

// Form bodies. Characters that would end a form value early are percent-encoded in each value.
QByteArray tpSeriesBody(const QString& clientId, const QString& exchange, const QString& token,
                        const QDate& from, const QDate& to, int minutes, const QString& sessionToken);
QByteArray eodBody(const QString& clientId, const QString& exchange, const QString& tradingSymbol,
                   const QDate& from, const QDate& to, const QString& sessionToken);

struct Reply {
    enum Status { Bars, NoData, Failed };
    Status status = Failed;
    QString error;  // Failed: the broker's emsg, or what was wrong with the reply
    QList<OHLCData> bars;  // oldest first
    int dropped = 0;       // rows without trades (prices of zero) or unreadable
    int timeMismatches = 0;  // rows whose "ssboe" disagrees with their "time"
};

// `daily` picks the EODChartData row layout. Bars are named `symbol`.
Reply parse(const QByteArray& body, bool daily, const QString& symbol);

}  // namespace FlatTradeHistory
