// Dhan's instrument master (CSV): which rows become repository records and with what fields.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace DhanInstrumentList {

struct Row {
    QString symbol;          // "<column 0>:<column 5>", e.g. "NSE:SBIN"
    QString token;           // column 2, the security id
    QString exchange;        // column 7
    QString instrumentType;  // column 0
};

// Skips the header line and every line of fewer than 16 comma-separated fields. The file has no
// quoting: every comma separates.
QList<Row> parse(const QByteArray& csv);

}  // namespace DhanInstrumentList
