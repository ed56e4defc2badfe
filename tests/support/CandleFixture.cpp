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
    return {date, time, open, high, low, close, volume, {}};
}

QVector<StoredCandle> risingDay(const QString& date, double base, double step)
{
    QVector<StoredCandle> out;
    for (int m = 0; m < 375; ++m) {
        const double open = base + m * step, close = open + step / 2;
        out.append(candle(date, minuteTime(m), open, close + 0.1, open - 0.1, close));
    }
    return out;
}

QVector<StoredCandle> randomDay(const QString& date, double start, quint32 seed)
{
    QRandomGenerator rng(seed);
    QVector<StoredCandle> out;
    double price = start;
    for (int m = 0; m < 375; ++m) {
        const double open = price;
        price = std::max(1.0, price + (rng.generateDouble() - 0.5) * 2.0);
        // Evaluated in this order so that the seeded walk stays the one the replay reference was made from.
        const double high = std::max(open, price) + rng.generateDouble() * 0.5;
        const double low = std::min(open, price) - rng.generateDouble() * 0.5;
        out.append(candle(date, minuteTime(m), open, high, low, price, 100 + int(rng.bounded(1000))));
    }
    return out;
}

StoredCandle dayCandleOf(const QVector<StoredCandle>& minutes)
{
    if (minutes.isEmpty())
        return {};
    StoredCandle d = candle(minutes.first().date, QStringLiteral("00:00:00"), minutes.first().open,
                            minutes.first().high, minutes.first().low, minutes.last().close);
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
