// TradeJini 1-minute history: range chunking, instrument ids, request query and reply parsing.
#pragma once

#include "core/MarketData.h"
#include "symbols/IndianSymbolData.h"

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QPair>
#include <QString>

namespace TradeJiniHistory {

// Ranges longer than 30 days after the start go out as chunks of at most 31 calendar days.
QList<QPair<QDate, QDate>> chunkRange(const QDate& from, const QDate& to);

// "FUTCOM", "OPTCOM", "INDEX" or "EQT" from the record's instrument type.
QString instrumentClass(const QString& instrumentType);
// Expiry from "NAME 26DEC" (this year, or next when the month has passed), else from the
// record's own expiry text ("yyyy-MM-dd" or "dd-MMM-yyyy"); invalid when none.
QDate expiryFor(const IndianSymbolData& record, const QDate& today);
// "CLASS_NAME_EXCH" or "CLASS_NAME_EXCH_yyyy-MM-dd".
QString instrumentId(const IndianSymbolData& record, const QDate& today);

// Local midnight at the start of `from`, and at the start of the day after `to`, in epoch seconds.
qint64 fromEpoch(const QDate& from);
qint64 toEpoch(const QDate& to);
// Path and query under the REST host.
QString requestPath(const QString& id, const QDate& from, const QDate& to);

struct Reply {
    bool parsed = true;     // false: not JSON; error holds the parser's text
    bool brokerError = false;  // "s" present and not "ok"; error holds "errmsg" or "Unknown error"
    QString error;
    QList<OHLCData> bars;
};
Reply parseReply(const QByteArray& body, const QString& symbol);

}  // namespace TradeJiniHistory
