// Instrument masters read by column position: TradeJini's symbol store and Zerodha's instruments file.
#pragma once

#include "symbols/IndianSymbolData.h"

#include "ui/dialogs/SymbolMasterText.h"

#include <QByteArray>
#include <QList>

// Pure text to records; no widgets, files or network. The first non-empty line is the header and
// never an instrument. Rows that the format's rule rejects are skipped silently.
class PositionalMasterParser {
public:
    // Rows: segment_..._exchange, symbol, token[, lotSize[, tickSize[, -, -, isin]]].
    static QList<IndianSymbolData> parseTradeJini(const SymbolMasterText& master);
    static QList<IndianSymbolData> parseTradeJini(const QByteArray& data);
    // Rows: token, -, tradingsymbol, -, -, expiry, strike, tickSize, lotSize, instrumentType,
    // segment, exchange (12 or more fields).
    static QList<IndianSymbolData> parseZerodha(const SymbolMasterText& master);
    static QList<IndianSymbolData> parseZerodha(const QByteArray& data);
};
