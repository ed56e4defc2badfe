// Dhan chart history: segment and instrument of a symbol, interval codes, request body and the
// parallel-array reply. Pure functions; the broker sends and logs.
#pragma once

#include "core/MarketData.h"
#include "symbols/IndianSymbolData.h"

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QString>

namespace DhanHistory {

struct Instrument {
    QString segment;     // "NSE_EQ", "NSE_FNO", "BSE_EQ", "MCX_COMM"
    QString instrument;  // "EQUITY", "FUTIDX", "OPTIDX", "INDEX", "FUTCOM"
};
// From the symbol's text alone ("NSE:...-FUT", "MCX:..."): for records that lack the master's
// segment and instrument columns.
Instrument instrumentFor(const QString& symbol);
// From the master's record: its segment ("IDX_I", "NSE_FNO", ...) and instrument name ("INDEX",
// "OPTSTK", ...) as the master gives them; the symbol's text when the record has no segment.
Instrument instrumentOf(const IndianSymbolData& record);
QString segmentOf(const IndianSymbolData& record);

// The text of a symbol before its first ':' (the whole symbol when it has none).
QString exchangeOfSymbol(const QString& symbol);
// The exchange a segment belongs to ("NSE_FNO" -> "NSE", "MCX_COMM" -> "MCX"); other names as given.
QString exchangeOfSegment(const QString& segment);

// "1", "5", "15", "25" or "60" for intraday intervals; empty selects the daily endpoint.
QString intervalCode(const QString& interval);
QString endpointPath(bool intraday);  // "/v2/charts/intraday" or "/v2/charts/historical"

// Daily requests end the day after `to`: the service's end date is exclusive, and the user's last
// day is wanted too.
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
