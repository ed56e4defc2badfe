// Technical indicators of the backtest engine as pure functions over value and candle series.
//
// Value series (RSI, SMA, EMA, Wilder) are newest first (element 0 is the latest value) and results
// come back in the same order and length. Candle series (ATR, ADX, VWAP, supertrend) and the
// Bollinger and MACD inputs are oldest first; their results are indexed like the input.
// A period below 1 (possible in an untrusted job) never divides: RSI answers 50 and the series zeros.
#pragma once

#include "backtest/StoredCandle.h"

#include <QMap>
#include <QString>
#include <QVector>

struct BollingerBands {
    QVector<double> upper;
    QVector<double> middle;
    QVector<double> lower;
};

struct MacdSeries {
    QVector<double> macd;
    QVector<double> signal;
    QVector<double> histogram;
};

struct SupertrendSeries {
    QVector<double> line;
    QVector<bool> up;  // true while the trend is up
};

// Wilder-smoothed RSI started from zero averages over the whole series; 50 for fewer than two values
// or a flat series.
double computeRsi(const QVector<double>& closes, int period);
// One step of the same smoothing on the caller's running averages; -1.0 when both are zero.
double rsiStep(double change, int period, double& avgGain, double& avgLoss);

// Mean of each value and up to period - 1 older ones (the oldest positions use shorter windows), true
// to the window's own values: a plain running sum that adds the newest value and subtracts the oldest
// keeps the rounding of everything that ever passed through it, so a spike long gone from the window
// would still shift the mean. Element 0 sums its window afresh, as smaLatest does, and equals it bit
// for bit; the older elements come from a running sum summed afresh now and then, within a few hundred
// units in the last place of their window's mean.
QVector<double> smaSeries(const QVector<double>& values, int period);
// EMA with k = 2 / (period + 1), seeded by the SMA over the oldest period + 1 positions.
QVector<double> emaSeries(const QVector<double>& values, int period);
// The same seeding and recursion with k = 1 / period.
QVector<double> wilderSeries(const QVector<double>& values, int period);
// Element 0 of smaSeries / emaSeries without building the series (the strategy blocks need only it).
double smaLatest(const QVector<double>& values, int period);
double emaLatest(const QVector<double>& values, int period);
// The mean of `newest` and the count - 1 values at `older` (newest first), summed oldest first: one
// window of the SMA (and of the EMA's seed), shared with the sliding forms so that both give the same bits.
double windowMean(double newest, const double* older, int count);
// The same three over n values newest first, read in place.
double smaLatest(const double* values, int n, int period);
double emaLatest(const double* values, int n, int period);
double computeRsi(const double* closes, int n, int period);

QVector<double> atrSeries(const QVector<StoredCandle>& candles, int period);
QVector<double> adxSeries(const QVector<StoredCandle>& candles, int period);
QVector<double> vwapSeries(const QVector<StoredCandle>& candles);
BollingerBands bollingerBands(const QVector<double>& values, int period, double width);
MacdSeries macdSeries(const QVector<double>& values, int fast, int slow, int signal);
SupertrendSeries supertrendSeries(const QVector<StoredCandle>& candles, int period, double multiplier);

// Swing highs and lows of candles taken in key order, each marked "H" or "L" in its spare text, in the
// order they were marked. The windows look up to 59 bars ahead, so this must never feed a trade decision.
QVector<StoredCandle> swingMarkers(const QMap<QString, StoredCandle>& candles);
