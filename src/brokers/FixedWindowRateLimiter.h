// Request budget per fixed 60-second window; the caller supplies the time so tests need no sleeping.
#pragma once

#include <QDateTime>

class FixedWindowRateLimiter {
public:
    void setLimit(int requestsPerWindow) { max = requestsPerWindow; }
    int limit() const { return max; }

    // Opens a new window (count 0) when none is open yet or the current one is 60 or more whole
    // seconds old at `now`.
    void roll(const QDateTime& now)
    {
        if (!start.isValid() || start.secsTo(now) > 59) {
            start = now;
            used = 0;
        }
    }
    bool hasBudget() const { return used < max; }
    void consume() { ++used; }

    int count() const { return used; }
    QDateTime windowStart() const { return start; }

private:
    int max = 60;
    int used = 0;
    QDateTime start;
};
