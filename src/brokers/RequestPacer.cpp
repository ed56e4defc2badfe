#include "brokers/RequestPacer.h"

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>

namespace {

qint64 monotonicMs()
{
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

}  // namespace

RequestPacer::RequestPacer(int perSecond, QObject* parent)
    : QObject(parent), clock(monotonicMs), timer(new QTimer(this)), limit(std::max(perSecond, 1))
{
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, &RequestPacer::drain);
}

void RequestPacer::setRate(int perSecond, int windowMs)
{
    limit = std::max(perSecond, 1);
    window = std::max(windowMs, 1);
}

void RequestPacer::setClock(std::function<qint64()> monotonicMs)
{
    clock = std::move(monotonicMs);
}

qint64 RequestPacer::nextStartAt() const
{
    if (queue.isEmpty())
        return -1;
    const qint64 now = clock();
    int inWindow = 0;
    for (qint64 t : recentStarts)
        inWindow += now - t < window ? 1 : 0;
    if (inWindow < limit)
        return now;
    // Starts are kept in order: a slot frees when the oldest start that keeps the window full
    // leaves it (with the rate unchanged, the oldest start of all).
    return recentStarts.at(recentStarts.size() - limit) + window;
}

void RequestPacer::enqueue(std::function<void()> start)
{
    queue.enqueue(std::move(start));
    drain();
}

void RequestPacer::clear()
{
    queue.clear();
    timer->stop();
}

void RequestPacer::drain()
{
    while (!queue.isEmpty()) {
        const qint64 now = clock();
        recentStarts.erase(std::remove_if(recentStarts.begin(), recentStarts.end(),
                                          [&](qint64 t) { return now - t >= window; }),
                           recentStarts.end());
        if (recentStarts.size() >= limit) {
            timer->start(int(std::max<qint64>(nextStartAt() - now, 1)));
            return;
        }
        recentStarts.append(now);
        // The request may queue more requests or clear the queue: take it off first.
        std::function<void()> start = queue.dequeue();
        start();
    }
}
