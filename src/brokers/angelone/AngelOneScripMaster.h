// AngelOne scrip master, pure part: the JSON array of instruments -> repository entries.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

namespace AngelOneScripMaster {

struct Entry {
    QString key;       // repository symbol: bare on NSE, "EXCH:symbol" elsewhere
    QString token;
    QString exchange;
    QString instrumentType;
};

struct Result {
    QString error;          // empty on success
    int elements = 0;       // array elements, stored or not
    QVector<Entry> entries; // in file order
};

// Exchange name for an "exch_seg" code.
QString exchangeForSegment(const QString& segment);

Result parse(const QByteArray& body);

}  // namespace AngelOneScripMaster
