// Past values of a strategy block, newest first, capped; O(1) to add a value at the front.
#pragma once

#include <QVector>
#include <QtGlobal>

class BlockHistory {
public:
    // The most values a block keeps.
    static constexpr int kCapacity = 600;

    int size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }
    // The values newest first, contiguous (valid until the next change).
    const double* data() const { return m_buf.constData() + m_head; }
    double operator[](int i) const { return data()[i]; }
    double at(int i) const { return data()[i]; }
    double constLast() const { return data()[m_size - 1]; }

    // Adds the newest value; beyond the capacity the oldest one goes.
    void prepend(double v);
    // Adds a value older than all others, while there is room (histories rebuilt from the newest end).
    void append(double v);
    void clear();
    // Replaces the values with n values given newest first (cut at the capacity).
    void assign(const double* newestFirst, int n);
    QVector<double> toVector() const;
    // Changes with every modification, so that state derived from the values can tell it is stale.
    quint64 version() const { return m_version; }

private:
    // The values sit at [m_head, m_head + m_size) of m_buf, with free room in front for prepending;
    // when the front is used up they move back to the end, which leaves room for dozens of values.
    void makeRoomInFront();

    QVector<double> m_buf;
    int m_head = 0;
    int m_size = 0;
    quint64 m_version = 0;
};
