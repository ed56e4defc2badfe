// Newest-first capped value history in a buffer with room in front.
#include "backtest/BlockHistory.h"

#include <algorithm>
#include <cstring>

namespace {

// Free slots kept in front of a full history: the values move back once per this many new ones.
constexpr int kSlack = 64;

}  // namespace

void BlockHistory::makeRoomInFront()
{
    const int length = m_buf.size();
    if (length - m_size < kSlack && length < kCapacity + kSlack) {
        // Grow, doubling up to the capacity plus the slack, so that filling a history costs O(1) a value.
        const int grown = std::min(kCapacity + kSlack, std::max({32, 2 * length, m_size + kSlack}));
        QVector<double> bigger(grown);
        if (m_size > 0)
            std::memcpy(bigger.data() + grown - m_size, m_buf.constData() + m_head, sizeof(double) * size_t(m_size));
        m_buf = bigger;
        m_head = grown - m_size;
        return;
    }
    double* buf = m_buf.data();
    std::memmove(buf + length - m_size, buf + m_head, sizeof(double) * size_t(m_size));
    m_head = length - m_size;
}

void BlockHistory::prepend(double v)
{
    ++m_version;
    if (m_head == 0)
        makeRoomInFront();
    m_buf.data()[--m_head] = v;
    if (m_size < kCapacity)
        ++m_size;
}

void BlockHistory::append(double v)
{
    if (m_size >= kCapacity)
        return;
    ++m_version;
    if (m_head + m_size >= m_buf.size()) {
        // Room at the back: move the values to the front of a buffer long enough for the capacity.
        QVector<double> moved(std::max(m_buf.size(), kCapacity + kSlack));
        if (m_size > 0)
            std::memcpy(moved.data(), m_buf.constData() + m_head, sizeof(double) * size_t(m_size));
        m_buf = moved;
        m_head = 0;
    }
    m_buf.data()[m_head + m_size] = v;
    ++m_size;
}

void BlockHistory::clear()
{
    ++m_version;
    m_size = 0;
    m_head = m_buf.size();
}

void BlockHistory::assign(const double* newestFirst, int n)
{
    n = std::max(0, std::min(n, kCapacity));
    ++m_version;
    const int length = std::max(32, n + kSlack);
    if (m_buf.size() < length || !m_buf.isDetached()) {
        // `newestFirst` may point into the old buffer: copy before letting it go.
        QVector<double> fresh(std::max(length, m_buf.size()));
        if (n > 0)
            std::memcpy(fresh.data() + fresh.size() - n, newestFirst, sizeof(double) * size_t(n));
        m_buf = fresh;
    } else if (n > 0) {
        std::memmove(m_buf.data() + m_buf.size() - n, newestFirst, sizeof(double) * size_t(n));
    }
    m_head = m_buf.size() - n;
    m_size = n;
}

QVector<double> BlockHistory::toVector() const
{
    QVector<double> out(m_size);
    if (m_size > 0)
        std::memcpy(out.data(), data(), sizeof(double) * size_t(m_size));
    return out;
}
