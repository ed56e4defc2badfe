// Price and volume columns of the shared candle-row shape.
#include "brokers/CandleRowParser.h"

namespace CandleRowParser {

void readPrices(const QJsonArray& row, OHLCData& bar)
{
    bar.open = row.at(1).toDouble();
    bar.high = row.at(2).toDouble();
    bar.low = row.at(3).toDouble();
    bar.close = row.at(4).toDouble();
    bar.volume = row.size() >= 6 ? row.at(5).toDouble() : 0.0;
}

}  // namespace CandleRowParser
