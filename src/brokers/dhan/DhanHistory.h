// Dhan chart history: segment and instrument of a symbol, interval codes, request body and the
// parallel-array reply. Pure functions; the broker sends and logs.
#pragma once

#include "core/MarketData.h"

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QString>

namespace DhanHistory {

struct Instrument {
    QString segment;     // "NSE_EQ", "NSE_FNO", "BSE_EQ", "MCX_COMM"
    QString instrument;  // "EQUITY", "FUTIDX", "OPTIDX", "INDEX", "FUTCOM"
};
Instrument instrumentFor(const QString& symbol);

// "1", "5", "15", "25" or "60" for intraday intervals; empty selects the daily endpoint.
QString intervalCode(const QString& interval);
QString endpointPath(bool intraday);  // "/v2/charts/intraday" or "/v2/charts/historical"

QByteArray requestBody(const QString& securityId, const Instrument& target, const QString& intervalCode,
                       const QDate& from, const QDate& to);

struct Reply {
    bool parsed = true;  // false: not JSON; error holds the parser's text
    QString error;
    // Lengths of "open", "high", "low", "close", "volume", "timestamp", "open_interest".
    int lengths[7] = {0, 0, 0, 0, 0, 0, 0};
    QList<OHLCData> bars;
};
Reply parseReply(const QByteArray& body, const QString& symbol);

}  // namespace DhanHistory
