// An EMA, SMA or RSI over a block's capped history, kept current in a few steps per new value.
#pragma once

#include "backtest/BlockHistory.h"

#include <vector>

// Gives exactly (bit for bit) what emaLatest, smaLatest and computeRsi give over the history as it
// stands, without walking the whole history for every value. An SMA is simply its newest window summed
// afresh (windowMean); the EMA and RSI are walks:
//
// Those walks start at the oldest value of the history. While the history fills, that value stays
// the same, so one running walk is enough. Once it is full, every new value drops the oldest and the
// walk starts one value later each time. So the walks from every start still in the history are kept
// side by side: each new value is one step of each (independent steps that the processor overlaps and
// vectorises, instead of one long chain of dependent ones), and two neighbouring walks whose states
// have become bit-identical are merged, since they compute the same from then on. A smoothed average
// forgets its start within a few hundred steps, which keeps the number of walks below the history's
// length.
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
    // Values are numbered from 0, the oldest of the history the walks were last rebuilt from; value t
    // is history[m_count - 1 - t]. Walk i stands for the starts m_last[i - 1] + 1 (for the first walk:
    // the oldest value of the history) up to m_last[i]: they share one state, a (EMA: the sum of the
    // first window while it fills, then the average; RSI: the average gain) and b (RSI: the average
    // loss). Whether an EMA is past its seed follows from how many values its latest start has taken in.
    void rebuild(const BlockHistory& history);
    // Steps walks [from, end) with value t = v; older[k - 1] is value t - k.
    void stepAll(size_t from, qint64 t, double v, const double* older);
    // Drops `from` walks at the old end, adds the walk starting at t and merges neighbours that have met.
    void mergeAndStart(size_t from, qint64 t, double v);
    bool mergeable(size_t older, size_t younger, qint64 taken) const;
    // The same step for one walk whose latest start has taken in `taken` values.
    void stepOne(double& a, double& b, qint64 taken, double v, const double* older) const;
    double valueOf(double a, double b, qint64 taken, qint64 length) const;

    Kind m_kind;
    qint64 m_period;
    double m_k;
    std::vector<double> m_a;
    std::vector<double> m_b;
    std::vector<qint64> m_last;
    size_t m_begin = 0;        // walks before this index are gone (merged or out of the history)
    int m_sinceScan = 0;       // pushes since neighbours were last compared
    qint64 m_count = 0;        // values taken in since the last rebuild
    bool m_allStarts = false;  // a walk for every start in the history, not only the oldest
    quint64 m_version = ~quint64(0);
};
