// Reads the price and volume columns of the [time, open, high, low, close, volume, ...] candle rows
// that several brokers' history replies share.
#pragma once

#include "core/MarketData.h"

#include <QJsonArray>

namespace CandleRowParser {

// Open, high, low and close from positions 1 to 4, volume from 5 (0 when the row stops before it).
// The caller checks the row's length first and reads the time itself: each broker sends it in its
// own unit or format.
void readPrices(const QJsonArray& row, OHLCData& bar);

}  // namespace CandleRowParser
