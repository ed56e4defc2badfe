// A 5 ms timer that records how late the event loop serves it: the largest lateness is the
// longest the loop was held by anything else.
#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <functional>

struct LagProbe {
    // `onProbe` runs on every firing with the clock's reading.
    explicit LagProbe(const QElapsedTimer& clock, std::function<void(qint64 nowMs)> onProbe = {})
    {
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(kProbeMs);
        QObject::connect(&timer, &QTimer::timeout, [this, &clock, onProbe] {
            const qint64 now = clock.elapsed();
            lastLagMs = last > 0 ? std::max<qint64>(0, now - last - kProbeMs) : 0;
            maxLagMs = std::max(maxLagMs, lastLagMs);
            last = now;
            if (onProbe)
                onProbe(now);
        });
        timer.start();
    }

    static constexpr int kProbeMs = 5;
    QTimer timer;
    qint64 last = 0;
    qint64 lastLagMs = 0;
    qint64 maxLagMs = 0;
};
