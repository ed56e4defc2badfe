// Pure readers of the "Custom API" reply bodies: quote replies, history replies and flat records.
#pragma once

#include "core/MarketData.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace CustomApiParser {

// A flat tick object: "symbol", "price", "open", "high", "low", "volume", "timestamp".
// A missing or unreadable timestamp becomes `now` (the current time when not given).
TickData tickFromJson(const QJsonObject& obj, const QDateTime& now = QDateTime());
// A bar object: "symbol", "open", "high", "low", "close", "volume", "adjusted_close", "date".
OHLCData barFromJson(const QJsonObject& obj);

struct QuoteResult {
    bool parsed = false;  // false: the body is not JSON; error holds the parser's text
    QString error;
    TickData tick;        // prices only; symbol and time are the caller's
    QString symbol;       // the symbol the reply names itself (flat shape), when it names one
};
// A quote body, in the Fyers shape ("d"."quotes"[0] with lp/o/h/l/v) or the flat one.
QuoteResult parseQuote(const QByteArray& body, bool fyersShape);

}  // namespace CustomApiParser

// The valid bars of a history reply, in reply order. Rows, and bar objects without a "symbol",
// take rowSymbol (empty: they fail validity and are dropped). A body that is not JSON has none;
// `notJson`, when given, then receives the parser's words (and is cleared otherwise), so that the
// reply is told as unreadable, not as one without bars.
QList<OHLCData> parseHistoricalResponse(const QByteArray& body, const QString& rowSymbol = QString(),
                                        QString* notJson = nullptr);
