// Newest-first capped value history in a buffer with room in front.
#include "backtest/BlockHistory.h"

#include <algorithm>
#include <cstring>

void BlockHistory::makeRoomInFront()
{
    const int length = m_buf.size();
    if (m_size > length / 2 || length == 0) {
        // Grow (up to twice the capacity, so that one move serves at least kCapacity values).
        const int grown = std::min(2 * kCapacity, std::max(32, 2 * length));
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
        QVector<double> moved(std::max(m_buf.size(), 2 * kCapacity));
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
    const int length = std::max(32, 2 * n);
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
