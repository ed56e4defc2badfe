// An EMA, SMA or RSI over a block's capped history, kept current in a few steps per new value.
#pragma once

#include "backtest/BlockHistory.h"

#include <vector>

// Gives exactly (bit for bit) what emaLatest, smaLatest and computeRsi give over the history as it
// stands, without walking the whole history for every value.
//
// Those walks start at the oldest value of the history. While the history fills, that value stays
// the same, so one running walk is enough. Once it is full, every new value drops the oldest and the
// walk starts one value later each time. So the walks from every start still in the history are kept
// side by side: each new value is one step of each (independent steps that the processor overlaps,
// instead of one long chain of dependent ones), and two walks whose states have become bit-identical
// are merged, since they compute the same from then on. A smoothed average forgets its start within a
// few hundred steps, which keeps the number of walks well below the history's length.
class SlidingIndicator {
public:
    enum class Kind { Ema, Sma, Rsi };

    // `period` must be at least 1.
    SlidingIndicator(Kind kind, int period);

    // Pushes `value` into `history` (newest first) and returns the indicator over the new history.
    double push(BlockHistory& history, double value);
    // The indicator over `value` followed by `history`; changes neither.
    double peek(const BlockHistory& history, double value);

private:
    struct Walk {
        qint64 first;  // the earliest and latest start this walk stands for (one when not merged)
        qint64 last;
        qint64 age;    // values taken in
        qint64 count;  // values in the moving window (EMA seed, SMA)
        double a;      // EMA: window sum, then the average; SMA: window sum; RSI: average gain
        double b;      // RSI: average loss
        bool seeded;   // EMA past its seed
    };

    void rebuild(const BlockHistory& history);
    void step(Walk& w, double v, const double* older) const;
    Walk startAt(qint64 t, double v) const;
    bool sameFuture(const Walk& x, const Walk& y) const;
    double valueOf(const Walk& w, qint64 length) const;
    void mergeAndStep(qint64 t, const double* history);

    Kind m_kind;
    int m_period;
    double m_k;
    std::vector<Walk> m_walks;  // by start, oldest first
    qint64 m_count = 0;         // values pushed since the history was last rebuilt from
    bool m_allStarts = false;   // a walk for every start in the history, not only the oldest
    quint64 m_version = ~quint64(0);
};
