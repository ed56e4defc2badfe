// Dhan's instrument master (CSV): which rows become repository records and with what fields.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace DhanInstrumentList {

// Columns: 0 exchange (NSE, BSE, MCX), 1 segment (E equity, D derivatives, C currency,
// M commodity, I index), 2 security id, 3 instrument (EQUITY, INDEX, FUTIDX, OPTSTK, ...),
// 5 trading symbol, 7 display name (not used).
struct Row {
    QString symbol;          // "<exchange>:<trading symbol>", e.g. "NSE:SBIN"
    QString token;           // the security id
    QString exchange;        // column 0
    QString segment;         // Dhan's segment name from columns 0 and 1: "NSE_EQ", "IDX_I", ...
    QString instrumentType;  // column 3
};

// Skips the header line and every line of fewer than 16 comma-separated fields. The file has no
// quoting: every comma separates.
QList<Row> parse(const QByteArray& csv);

}  // namespace DhanInstrumentList
