// Fyers' public symbol-details files read by column position, for the Fyers symbol selector.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>

// One line of a symbol-details file; columns 0 to 17 in order.
struct SymbolData {
    QString fyersToken;
    QString symbolName;
    qint32 instrumentType = 0;
    qint32 lotSize = 0;
    float tickSize = 0.0f;
    QString isin;
    QString tradingSession;
    QString lastUpdate;
    QString expiry;
    QString symbolTicker;
    qint32 exchange = 0;
    qint32 segment = 0;
    qint32 scripCode = 0;
    QString underlyingSymbol;
    qint32 underlyingScripCode = 0;
    float strikePrice = 0.0f;      // only from lines of 16 or more columns
    QString optionType;            // 17 or more
    QString underlyingFyersToken;  // 18 or more
};
Q_DECLARE_TYPEINFO(SymbolData, Q_MOVABLE_TYPE);
Q_DECLARE_METATYPE(SymbolData)

class FyersSymbolDetailsParser {
public:
    // The first line is the header and never a record; lines of fewer than 15 columns are skipped.
    // Values are neither trimmed nor unquoted; numbers that do not read give 0.
    static QList<SymbolData> parse(const QByteArray& data);
};
