// One candle as the backtest engine passes it around: minute bars, day bars and period bars alike.
#pragma once

#include <QString>
#include <QtGlobal>

#include <limits>

struct StoredCandle {
    QString date;  // trading day, ISO "yyyy-MM-dd"
    QString time;  // bar time "HH:mm:ss"; day and period bars carry "00:00:00"
    double open = 0.0;
    double high = 0.0;
    double low = 0.0;
    double close = 0.0;
    qint32 volume = 0;
    QString spare;  // never filled by the store; swing markers write "H" or "L" here
};

// Volumes are added up in 64 bits and only narrowed when they go into a StoredCandle: a week of a
// heavily traded stock easily passes 2^31 shares, and wrapping would turn it negative.
inline qint32 saturateVolume(qint64 v)
{
    if (v > std::numeric_limits<qint32>::max())
        return std::numeric_limits<qint32>::max();
    if (v < std::numeric_limits<qint32>::min())
        return std::numeric_limits<qint32>::min();
    return static_cast<qint32>(v);
}
