// Synthetic candles for backtest tests: shaped or random-walk minute days and the day candle built from them.
#pragma once

#include "backtest/StoredCandle.h"

#include <QString>
#include <QVector>

class IOHLCStore;

namespace CandleFixture {

// "HH:mm:ss" of the minute `index` bars after 09:15.
QString minuteTime(int index);
// One candle with the given fields.
StoredCandle candle(const QString& date, const QString& time, double open, double high, double low, double close,
                    qint32 volume = 100);

// 375 minute bars from 09:15 rising by `step` a bar from `base`: bar m opens at base + m*step, closes
// half a step higher, and reaches a tenth of a point beyond either.
QVector<StoredCandle> risingDay(const QString& date, double base, double step = 0.01);
// 375 bars of a seeded random walk starting at `start`.
QVector<StoredCandle> randomDay(const QString& date, double start, quint32 seed);
// The day candle of a day's minute bars: first open, highest high, lowest low, last close, summed volume.
StoredCandle dayCandleOf(const QVector<StoredCandle>& minutes);
// Stores the minute bars and, when `withDay`, the day candle built from them.
void fill(IOHLCStore& store, const QString& symbol, const QVector<StoredCandle>& minutes, bool withDay = true);

}  // namespace CandleFixture
