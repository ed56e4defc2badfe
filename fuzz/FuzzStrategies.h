// Strategy graphs and candles shared by the backtest fuzz targets: seed graphs in the shape the
// tests build, and a fixed week of minute and day candles to replay them on.
#pragma once

#include "backtest/StoredCandle.h"
#include "support/StrategyGraph.h"

#include <QJsonDocument>
#include <QVector>

#include <cmath>

namespace FuzzStrategies {

using namespace StrategyGraph;

inline QByteArray json(const QJsonObject& o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

inline QList<QByteArray> seedGraphs()
{
    return {
        json(graph({block(1, "CandleClose", {{"timeframe", 2}}), block(2, "Number", {{"value", 101}}),
                    block(3, "GreaterThan"), block(4, "BuyEntry"), block(5, "Number", {{"value", 99}}),
                    block(6, "LessThan"), block(7, "ExitRule")},
                   {edge(1, 3, 0), edge(2, 3, 1), edge(3, 4), edge(1, 6, 0), edge(5, 6, 1), edge(6, 7)})),
        json(graph({block(1, "CandleClose"), block(2, "RSI", {{"period", 3}}), block(3, "Number", {{"value", 60}}),
                    block(4, "GreaterThan"), block(5, "SellEntry"), block(20, "StopLoss", {{"percent", 1}}),
                    block(21, "Target", {{"percent", 2}})},
                   {edge(1, 2), edge(2, 4, 0), edge(3, 4, 1), edge(4, 5)})),
        json(graph({block(1, "EMA", {{"period", 5}}), block(2, "SMA", {{"period", 8}}), block(3, "CrossedAbove"),
                    block(4, "BuyEntry"), block(5, "ATR"), block(6, "ADX"), block(7, "AND", {{"portCount", 3}})},
                   {edge(1, 3, 0), edge(2, 3, 1), edge(3, 7, 0), edge(5, 7, 1), edge(6, 7, 2), edge(7, 4)}, 3)),
    };
}

// Five trading days of 30 one-minute bars, a gentle wave.
inline QVector<StoredCandle> minuteBars(const QString& date, int day)
{
    QVector<StoredCandle> out;
    for (int i = 0; i < 30; ++i) {
        StoredCandle c;
        c.date = date;
        c.time = QStringLiteral("09:%1:00").arg(15 + i, 2, 10, QLatin1Char('0'));
        const double mid = 100.0 + 3.0 * std::sin((day * 30 + i) / 5.0);
        c.open = mid - 0.2;
        c.close = mid + 0.2;
        c.high = mid + 1.0;
        c.low = mid - 1.0;
        c.volume = 1000 + i;
        out.append(c);
    }
    return out;
}

inline QStringList dates()
{
    return {"2024-03-04", "2024-03-05", "2024-03-06", "2024-03-07", "2024-03-08"};
}

inline StoredCandle dayBar(const QVector<StoredCandle>& minutes)
{
    StoredCandle d = minutes.first();
    d.time = QStringLiteral("00:00:00");
    d.close = minutes.last().close;
    for (const StoredCandle& m : minutes) {
        d.high = std::max(d.high, m.high);
        d.low = std::min(d.low, m.low);
    }
    return d;
}

}  // namespace FuzzStrategies
