// Sliding EMA, SMA and RSI: one running walk while the history fills, merged walks once it slides.
#include "backtest/SlidingIndicator.h"

#include <algorithm>
#include <cstring>

namespace {

// The single steps of the walks in Indicators.cpp, operation for operation.
inline void smaStep(double& sum, qint64& count, double value, qint64 period, const double* dropped)
{
    sum += value;
    if (++count > period) {
        sum -= *dropped;
        count = period;
    }
}

inline bool sameBits(double x, double y)
{
    return std::memcmp(&x, &y, sizeof(double)) == 0;
}

}  // namespace

SlidingIndicator::SlidingIndicator(Kind kind, int period)
    : m_kind(kind)
    , m_period(period)
    , m_k(kind == Kind::Ema ? 2.0 / (static_cast<double>(period) + 1.0) : 0.0)
{
}

// `older` points at the value just before `v`: older[k - 1] is the value k places before it.
void SlidingIndicator::step(Walk& w, double v, const double* older) const
{
    switch (m_kind) {
    case Kind::Ema:
        if (w.seeded) {
            w.a = w.a + (v - w.a) * m_k;
        } else {
            smaStep(w.a, w.count, v, m_period, w.count >= m_period ? older + (m_period - 1) : nullptr);
            if (w.age + 1 == static_cast<qint64>(m_period) + 1) {
                w.a = w.a / static_cast<double>(w.count);
                w.seeded = true;
            }
        }
        break;
    case Kind::Sma: smaStep(w.a, w.count, v, m_period, w.count >= m_period ? older + (m_period - 1) : nullptr); break;
    case Kind::Rsi: {
        const double p = m_period;
        const double keep = p - 1.0;
        const double change = v - older[0];
        w.a = (std::max(change, 0.0) + w.a * keep) / p;
        w.b = (std::max(-change, 0.0) + w.b * keep) / p;
        break;
    }
    }
    ++w.age;
}

SlidingIndicator::Walk SlidingIndicator::startAt(qint64 t, double v) const
{
    Walk w{t, t, 1, 0, 0.0, 0.0, false};
    if (m_kind != Kind::Rsi)
        smaStep(w.a, w.count, v, m_period, nullptr);
    return w;
}

bool SlidingIndicator::sameFuture(const Walk& x, const Walk& y) const
{
    switch (m_kind) {
    case Kind::Ema: return x.seeded && y.seeded && sameBits(x.a, y.a);
    case Kind::Sma: return x.count == y.count && sameBits(x.a, y.a);
    case Kind::Rsi: return sameBits(x.a, y.a) && sameBits(x.b, y.b);
    }
    return false;
}

double SlidingIndicator::valueOf(const Walk& w, qint64 length) const
{
    switch (m_kind) {
    case Kind::Ema: return w.seeded ? w.a : w.a / static_cast<double>(w.count);
    case Kind::Sma: return w.a / static_cast<double>(w.count);
    case Kind::Rsi:
        if (m_period >= length)
            return 50.0;
        return w.a + w.b > 0.0 ? 100.0 * w.a / (w.a + w.b) : 50.0;
    }
    return 0.0;
}

// Steps every walk with value t (history[0] once pushed), starts the walk of t, and merges neighbours
// that have met.
void SlidingIndicator::mergeAndStep(qint64 t, const double* history)
{
    const double v = history[0];
    const double* older = history + 1;
    size_t kept = 0;
    for (size_t i = 0; i < m_walks.size(); ++i) {
        Walk w = m_walks[i];
        step(w, v, older);
        if (kept > 0 && sameFuture(m_walks[kept - 1], w))
            m_walks[kept - 1].last = w.last;
        else
            m_walks[kept++] = w;
    }
    m_walks.resize(kept);
    const Walk fresh = startAt(t, v);
    if (kept > 0 && sameFuture(m_walks.back(), fresh))
        m_walks.back().last = t;
    else
        m_walks.push_back(fresh);
}

void SlidingIndicator::rebuild(const BlockHistory& history)
{
    m_walks.clear();
    const int n = history.size();
    m_count = n;
    m_allStarts = n == BlockHistory::kCapacity;
    const double* values = history.data();
    for (int t = 0; t < n; ++t) {
        const double* at = values + (n - 1 - t);  // value t, newest first from there
        if (m_allStarts)
            mergeAndStep(t, at);
        else if (m_walks.empty())
            m_walks.push_back(startAt(t, at[0]));
        else
            step(m_walks.front(), at[0], at + 1);
    }
    m_version = history.version();
}

double SlidingIndicator::push(BlockHistory& history, double value)
{
    const bool current = m_version == history.version();
    const bool slides = history.size() == BlockHistory::kCapacity;
    history.prepend(value);
    if (!current || (slides && !m_allStarts)) {
        rebuild(history);
    } else {
        const qint64 t = m_count++;
        const double* values = history.data();
        if (!m_allStarts) {
            if (m_walks.empty())
                m_walks.push_back(startAt(t, value));
            else
                step(m_walks.front(), value, values + 1);
        } else {
            // The oldest start still in the history; walks from earlier starts are done with.
            const qint64 oldest = m_count - history.size();
            size_t gone = 0;
            while (gone < m_walks.size() && m_walks[gone].last < oldest)
                ++gone;
            m_walks.erase(m_walks.begin(), m_walks.begin() + static_cast<std::ptrdiff_t>(gone));
            if (!m_walks.empty())
                m_walks.front().first = std::max(m_walks.front().first, oldest);
            mergeAndStep(t, values);
        }
        m_version = history.version();
    }
    return valueOf(m_walks.front(), history.size());
}

double SlidingIndicator::peek(const BlockHistory& history, double value)
{
    if (m_version != history.version())
        rebuild(history);
    // One more step of the walk from the oldest start, on a copy.
    if (m_walks.empty())
        return valueOf(startAt(0, value), 1);
    Walk w = m_walks.front();
    step(w, value, history.data());
    return valueOf(w, history.size() + 1);
}
