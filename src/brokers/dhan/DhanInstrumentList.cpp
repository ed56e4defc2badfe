// Dhan instrument master parsing.
#include "brokers/dhan/DhanInstrumentList.h"

#include "symbols/SymbolRepository.h"

namespace DhanInstrumentList {

QList<Row> parse(const QByteArray& csv)
{
    QList<Row> rows;
    int pos = csv.indexOf('\n');
    if (pos < 0)
        return rows;  // a header alone, or nothing
    ++pos;
    QList<QByteArray> fields;
    while (pos < csv.size()) {
        int end = csv.indexOf('\n', pos);
        if (end < 0)
            end = csv.size();
        const QByteArray line = csv.mid(pos, end - pos);
        pos = end + 1;
        if (line.count(',') < 15)
            continue;
        fields = line.split(',');
        auto col = [&fields](int i) { return QString::fromUtf8(fields.at(i)).trimmed(); };
        Row r;
        r.exchange = col(0);
        r.symbol = r.exchange + QLatin1Char(':') + col(5);
        r.token = col(2);
        r.segment = SymbolRepository::dhanSegment(r.exchange, col(1));
        r.instrumentType = col(3);
        rows.append(r);
    }
    return rows;
}

}  // namespace DhanInstrumentList
