// Synthetic candles for backtest tests.
#include "support/CandleFixture.h"

#include "backtest/IOHLCStore.h"

#include <QRandomGenerator>
#include <QTime>

#include <algorithm>

namespace CandleFixture {

QString minuteTime(int index)
{
    return QTime(9, 15).addSecs(60 * index).toString(QStringLiteral("HH:mm:ss"));
}

StoredCandle candle(const QString& date, const QString& time, double open, double high, double low, double close,
                    qint32 volume)
{
    StoredCandle c;
    c.date = date;
    c.time = time;
    c.open = open;
    c.high = high;
    c.low = low;
    c.close = close;
    c.volume = volume;
    return c;
}

QVector<StoredCandle> risingDay(const QString& date, double base, double step)
{
    QVector<StoredCandle> out;
    for (int m = 0; m < 375; ++m) {
        StoredCandle c;
        c.date = date;
        c.time = minuteTime(m);
        c.open = base + m * step;
        c.close = c.open + step / 2;
        c.high = c.close + 0.1;
        c.low = c.open - 0.1;
        c.volume = 100;
        out.append(c);
    }
    return out;
}

QVector<StoredCandle> randomDay(const QString& date, double start, quint32 seed)
{
    QRandomGenerator rng(seed);
    QVector<StoredCandle> out;
    double price = start;
    for (int m = 0; m < 375; ++m) {
        StoredCandle c;
        c.date = date;
        c.time = minuteTime(m);
        c.open = price;
        price = std::max(1.0, price + (rng.generateDouble() - 0.5) * 2.0);
        c.close = price;
        c.high = std::max(c.open, c.close) + rng.generateDouble() * 0.5;
        c.low = std::min(c.open, c.close) - rng.generateDouble() * 0.5;
        c.volume = 100 + int(rng.bounded(1000));
        out.append(c);
    }
    return out;
}

StoredCandle dayCandleOf(const QVector<StoredCandle>& minutes)
{
    StoredCandle d;
    if (minutes.isEmpty())
        return d;
    d.date = minutes.first().date;
    d.time = QStringLiteral("00:00:00");
    d.open = minutes.first().open;
    d.close = minutes.last().close;
    d.high = minutes.first().high;
    d.low = minutes.first().low;
    qint64 volume = 0;
    for (const StoredCandle& m : minutes) {
        d.high = std::max(d.high, m.high);
        d.low = std::min(d.low, m.low);
        volume += m.volume;
    }
    d.volume = saturateVolume(volume);
    return d;
}

void fill(IOHLCStore& s, const QString& symbol, const QVector<StoredCandle>& minutes, bool withDay)
{
    s.insertMinuteCandles(symbol, minutes);
    if (withDay)
        s.insertDayCandles(symbol, {dayCandleOf(minutes)});
}

}  // namespace CandleFixture
