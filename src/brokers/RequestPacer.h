// Starts queued requests no faster than a broker's published rate: at most `perSecond` starts in
// any one-second window, in the order they were queued. Requests that fit the budget start at once.
#pragma once

#include <QObject>
#include <QQueue>
#include <QVector>

#include <functional>

class QTimer;

class RequestPacer : public QObject {
    Q_OBJECT
public:
    explicit RequestPacer(int perSecond, QObject* parent = nullptr);

    void setRate(int perSecond, int windowMs = 1000);
    // Monotonic milliseconds; a test hands in a clock it moves by hand.
    void setClock(std::function<qint64()> monotonicMs);
    void enqueue(std::function<void()> start);
    // Drops every request not yet started.
    void clear();
    int pending() const { return queue.size(); }
    // When, on the clock, the next queued request may start; -1 with nothing queued.
    qint64 nextStartAt() const;

private:
    void drain();

    QQueue<std::function<void()>> queue;
    QVector<qint64> recentStarts;  // monotonic ms of the starts inside the current window
    std::function<qint64()> clock;
    QTimer* timer;
    int limit;
    int window = 1000;
};
