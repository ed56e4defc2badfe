// Sliding EMA, SMA and RSI: one running walk while the history fills, merged walks once it slides.
#include "backtest/SlidingIndicator.h"

#include "backtest/Indicators.h"

#include <algorithm>
#include <cstring>

namespace {

// Pushes between two looks for walks that have met.
constexpr int kScanEvery = 8;

}  // namespace

// The steps of all walks are independent: with GCC on x86-64 they are built a second time for AVX2,
// chosen at load time where the processor has it (four walks per instruction instead of two). The
// operations stay the same ones, none fused, so the bits do too.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define TICKVANE_WIDE_STEPS __attribute__((target_clones("avx2", "default")))
#else
#define TICKVANE_WIDE_STEPS
#endif

namespace {

inline quint64 bitsOf(double x)
{
    quint64 u;
    std::memcpy(&u, &x, sizeof(u));
    return u;
}

}  // namespace

SlidingIndicator::SlidingIndicator(Kind kind, int period)
    : m_kind(kind)
    , m_period(period)
    , m_k(kind == Kind::Ema ? 2.0 / (static_cast<double>(period) + 1.0) : 0.0)
{
}

// Every step is the operation of the full walks in Indicators.cpp, in the same order: the seed's
// running sum while the first window fills, windowMean once it is full, emaStep's
// prev + (value - prev) * k and the RSI's (max(change, 0) + average * (p - 1)) / p.
TICKVANE_WIDE_STEPS void SlidingIndicator::stepAll(size_t from, qint64 t, double v, const double* older)
{
    const size_t n = m_last.size();
    double* a = m_a.data();
    // Walks are ordered oldest first, so those past their seed (or full window) come first.
    auto splitAt = [&](qint64 taken) {
        size_t split = n;
        while (split > from && t - m_last[split - 1] < taken)
            --split;
        return split;
    };
    switch (m_kind) {
    case Kind::Ema: {
        const size_t split = splitAt(m_period + 1);
        const double k = m_k;
        for (size_t i = from; i < split; ++i)
            a[i] = a[i] + (v - a[i]) * k;
        for (size_t i = split; i < n; ++i)
            a[i] = t - m_last[i] == m_period ? windowMean(v, older, static_cast<int>(m_period)) : a[i] + v;
        break;
    }
    case Kind::Sma: break;  // not a walk
    case Kind::Rsi: {
        const double p = static_cast<double>(m_period);
        const double keep = p - 1.0;
        const double change = v - older[0];
        const double gain = std::max(change, 0.0);
        const double loss = std::max(-change, 0.0);
        double* b = m_b.data();
        for (size_t i = from; i < n; ++i) {
            a[i] = (gain + a[i] * keep) / p;
            b[i] = (loss + b[i] * keep) / p;
        }
        break;
    }
    }
}

// `taken` is the number of values taken in once value t is (t + 1).
bool SlidingIndicator::mergeable(size_t older, size_t younger, qint64 taken) const
{
    if (bitsOf(m_a[older]) != bitsOf(m_a[younger]))
        return false;
    switch (m_kind) {
    case Kind::Ema: return taken - m_last[younger] >= m_period + 1;  // both past their seed
    case Kind::Sma: return false;
    case Kind::Rsi: return bitsOf(m_b[older]) == bitsOf(m_b[younger]);
    }
    return false;
}

void SlidingIndicator::mergeAndStart(size_t from, qint64 t, double v)
{
    const bool rsi = m_kind == Kind::Rsi;
    // The walks live in [m_begin, size) of the arrays: dropping and merging near the old end (where
    // walks meet) move only the few walks in front of them.
    m_begin += from;
    m_a.push_back(rsi ? 0.0 : 0.0 + v);  // the walk that starts at t: an empty window sum plus v
    if (rsi)
        m_b.push_back(0.0);
    m_last.push_back(t);

    size_t n = m_last.size();
    // Walks that have met stay identical, so looking for them now and then finds every pair all the
    // same; in between, a few extra walks take their (cheap) steps.
    if (++m_sinceScan < kScanEvery)
        return;
    m_sinceScan = 0;
    double* a = m_a.data();
    double* b = m_b.data();
    qint64* last = m_last.data();
    for (size_t i = m_begin + 1; i < n; ++i) {
        // Most neighbours differ in their first state: that test alone, inline, before the full one.
        if (bitsOf(a[i - 1]) != bitsOf(a[i]) || !mergeable(i - 1, i, t + 1))
            continue;
        // The two walks become one that keeps the later start; the walks on the shorter side move.
        const size_t before = i - 1 - m_begin;
        const size_t after = n - 1 - i;
        if (before <= after) {
            std::memmove(a + m_begin + 1, a + m_begin, before * sizeof(double));
            if (rsi)
                std::memmove(b + m_begin + 1, b + m_begin, before * sizeof(double));
            std::memmove(last + m_begin + 1, last + m_begin, before * sizeof(qint64));
            ++m_begin;
        } else {
            last[i - 1] = last[i];
            std::memmove(a + i, a + i + 1, after * sizeof(double));
            if (rsi)
                std::memmove(b + i, b + i + 1, after * sizeof(double));
            std::memmove(last + i, last + i + 1, after * sizeof(qint64));
            --n;
            --i;
        }
    }
    m_a.resize(n);
    if (rsi)
        m_b.resize(n);
    m_last.resize(n);
    if (m_begin > 256 && m_begin > n / 2) {
        m_a.erase(m_a.begin(), m_a.begin() + static_cast<std::ptrdiff_t>(m_begin));
        if (rsi)
            m_b.erase(m_b.begin(), m_b.begin() + static_cast<std::ptrdiff_t>(m_begin));
        m_last.erase(m_last.begin(), m_last.begin() + static_cast<std::ptrdiff_t>(m_begin));
        m_begin = 0;
    }
}

double SlidingIndicator::valueOf(double a, double b, qint64 taken, qint64 length) const
{
    switch (m_kind) {
    case Kind::Ema: return taken >= m_period + 1 ? a : a / static_cast<double>(std::min(taken, m_period));
    case Kind::Sma: return 0.0;
    case Kind::Rsi:
        if (m_period >= length)
            return 50.0;
        return a + b > 0.0 ? 100.0 * a / (a + b) : 50.0;
    }
    return 0.0;
}

void SlidingIndicator::rebuild(const BlockHistory& history)
{
    m_a.clear();
    m_b.clear();
    m_last.clear();
    m_begin = 0;
    const int n = history.size();
    m_allStarts = n == BlockHistory::kCapacity;
    const double* values = history.data();
    for (int t = 0; t < n; ++t) {
        const double* at = values + (n - 1 - t);  // value t, then the older ones
        if (m_last.empty()) {
            mergeAndStart(0, t, at[0]);
            continue;
        }
        stepAll(m_begin, t, at[0], at + 1);
        if (m_allStarts)
            mergeAndStart(0, t, at[0]);
    }
    m_count = n;
    m_version = history.version();
}

double SlidingIndicator::push(BlockHistory& history, double value)
{
    if (m_kind == Kind::Sma) {
        history.prepend(value);
        return windowMean(value, history.data() + 1, static_cast<int>(std::min<qint64>(m_period, history.size())));
    }
    const bool current = m_version == history.version();
    const bool slides = history.size() == BlockHistory::kCapacity;
    history.prepend(value);
    if (!current || (slides && !m_allStarts)) {
        rebuild(history);
    } else {
        const qint64 t = m_count++;
        const double* values = history.data();
        if (m_last.empty()) {
            mergeAndStart(0, t, value);
        } else if (!m_allStarts) {
            stepAll(m_begin, t, value, values + 1);
        } else {
            // The oldest start still in the history; walks of earlier starts only are done with.
            const qint64 oldest = m_count - history.size();
            size_t gone = 0;
            while (m_begin + gone < m_last.size() && m_last[m_begin + gone] < oldest)
                ++gone;
            stepAll(m_begin + gone, t, value, values + 1);
            mergeAndStart(gone, t, value);
        }
        m_version = history.version();
    }
    return valueOf(m_a[m_begin], m_b.empty() ? 0.0 : m_b[m_begin], m_count - m_last[m_begin], history.size());
}

void SlidingIndicator::stepOne(double& a, double& b, qint64 taken, double v, const double* older) const
{
    switch (m_kind) {
    case Kind::Ema:
        if (taken >= m_period + 1)
            a = a + (v - a) * m_k;
        else
            a = taken == m_period ? windowMean(v, older, static_cast<int>(m_period)) : a + v;
        break;
    case Kind::Sma: break;
    case Kind::Rsi: {
        const double p = static_cast<double>(m_period);
        const double keep = p - 1.0;
        const double change = v - older[0];
        a = (std::max(change, 0.0) + a * keep) / p;
        b = (std::max(-change, 0.0) + b * keep) / p;
        break;
    }
    }
}

double SlidingIndicator::peek(const BlockHistory& history, double value)
{
    if (m_kind == Kind::Sma)
        return windowMean(value, history.data(), static_cast<int>(std::min<qint64>(m_period, history.size() + 1)));
    if (m_version != history.version())
        rebuild(history);
    if (m_last.empty())
        return valueOf(m_kind == Kind::Rsi ? 0.0 : 0.0 + value, 0.0, 1, 1);
    // One more step of the walk from the oldest start, on a copy.
    double a = m_a[m_begin];
    double b = m_b.empty() ? 0.0 : m_b[m_begin];
    const qint64 taken = m_count - m_last[m_begin];
    stepOne(a, b, taken, value, history.data());
    return valueOf(a, b, taken + 1, history.size() + 1);
}
