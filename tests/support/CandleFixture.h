// Synthetic candles for backtest tests: shaped or random-walk minute days and the day candle built from them;
// and a backtest run over a store, with what it reported.
#pragma once

#include "backtest/BacktestAgent.h"
#include "backtest/BacktestMessages.h"
#include "backtest/StoredCandle.h"

#include <QJsonObject>
#include <QSignalSpy>
#include <QString>
#include <QVector>

#include <functional>

class IOHLCStore;

namespace CandleFixture {

// "HH:mm:ss" of the minute `index` bars after 09:15.
QString minuteTime(int index);
// One candle with the given fields.
StoredCandle candle(const QString& date, const QString& time, double open, double high, double low, double close,
                    qint32 volume = 100);

// 375 minute bars from 09:15 rising by `step` a bar from `base`: bar m opens at base + m*step, closes
// half a step higher, and reaches a tenth of a point beyond either.
QVector<StoredCandle> risingDay(const QString& date, double base, double step = 0.01);
// 375 bars of a seeded random walk starting at `start`.
QVector<StoredCandle> randomDay(const QString& date, double start, quint32 seed);
// The day candle of a day's minute bars: first open, highest high, lowest low, last close, summed volume.
StoredCandle dayCandleOf(const QVector<StoredCandle>& minutes);
// Stores the minute bars and, when `withDay`, the day candle built from them.
void fill(IOHLCStore& store, const QString& symbol, const QVector<StoredCandle>& minutes, bool withDay = true);

// What a backtest run reported.
struct BacktestRun {
    QList<QList<QVariant>> progress;
    QVector<TradeRecord> trades;
    BacktestSummary summary;
    bool finished = false;
    bool cancelled = false;
    QString error;
};

// Runs the strategy over symbol "SYM" of `store` between the given days, `tune` setting the rest, and
// waits for the agent's thread to end. Inline: the agent's layer links after the test helpers.
inline BacktestRun runBacktest(IOHLCStore* store, const QString& from, const QString& to, const QJsonObject& strategy,
                               bool intraday, const std::function<void(BacktestAgent&)>& tune = {})
{
    BacktestAgent agent;
    agent.setStore(store);
    agent.setSymbol(QStringLiteral("SYM"));
    agent.setDateRange(from, to);
    agent.setIntraday(intraday);
    agent.setStrategy(strategy);
    if (tune)
        tune(agent);
    QSignalSpy progress(&agent, &BacktestAgent::progress);
    QSignalSpy finished(&agent, &BacktestAgent::finished);
    QSignalSpy cancelled(&agent, &BacktestAgent::cancelled);
    QSignalSpy error(&agent, &BacktestAgent::error);
    agent.start();
    if (!agent.wait(120000))
        qFatal("agent did not finish");
    BacktestRun r;
    for (const auto& p : progress)
        r.progress.append(p);
    if (!finished.isEmpty()) {
        r.finished = true;
        r.summary = finished.first().at(1).value<BacktestSummary>();
        r.trades = finished.first().at(2).value<QVector<TradeRecord>>();
    }
    r.cancelled = !cancelled.isEmpty();
    if (!error.isEmpty())
        r.error = error.first().at(1).toString();
    return r;
}

// Each trade as "entry date, time, price > exit date, time, price, reason".
inline QStringList tradeText(const QVector<TradeRecord>& trades)
{
    QStringList out;
    for (const TradeRecord& t : trades)
        out << QStringLiteral("%1 %2 %3 > %4 %5 %6 %7")
                   .arg(t.entry_date, t.entry_time, QString::number(t.entry_price, 'g', 10), t.exit_date, t.exit_time,
                        QString::number(t.exit_price, 'g', 10), BacktestMessages::exitReasonWord(t.exit_reason));
    return out;
}

}  // namespace CandleFixture
