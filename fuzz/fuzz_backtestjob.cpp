// A backtest job's strategy and settings replayed over a fixed week: the summary agrees with the
// trades, every trade closes after it opens with a known reason, and its P&L is points times qty.
#include "FuzzSeeds.h"
#include "FuzzStrategies.h"
#include "backtest/BacktestAgent.h"
#include "backtest/BacktestMessages.h"
#include "backtest/IOHLCStore.h"

#include <QJsonObject>

namespace {

// The week of FuzzStrategies, held in memory.
class WeekStore : public IOHLCStore {
public:
    int insertMinuteCandles(const QString&, const QVector<StoredCandle>&) override { return 0; }
    int insertDayCandles(const QString&, const QVector<StoredCandle>&) override { return 0; }
    QVector<StoredCandle> loadMinuteCandles(const QString&, const QString& date) override
    {
        const int day = FuzzStrategies::dates().indexOf(date);
        return day < 0 ? QVector<StoredCandle>() : FuzzStrategies::minuteBars(date, day);
    }
    QVector<StoredCandle> loadDayCandles(const QString&, const QString& from, const QString& to) override
    {
        QVector<StoredCandle> out;
        int day = 0;
        for (const QString& d : FuzzStrategies::dates()) {
            if (d >= from && d <= to)
                out.append(FuzzStrategies::dayBar(FuzzStrategies::minuteBars(d, day)));
            ++day;
        }
        return out;
    }
    QStringList availableDates(const QString&, const QString& from, const QString& to) override
    {
        QStringList out;
        for (const QString& d : FuzzStrategies::dates())
            if (d >= from && d <= to)
                out.append(d);
        return out;
    }
    void dateRange(const QString&, QString& first, QString& last) override
    {
        first = FuzzStrategies::dates().first();
        last = FuzzStrategies::dates().last();
    }
    void deleteSymbol(const QString&) override {}
    qint64 minuteCandleCount() override { return 150; }
};

// Runs the agent on the calling thread.
class InlineAgent : public BacktestAgent {
public:
    using BacktestAgent::run;
};

QByteArray job(const QJsonObject& strategy, bool intraday, int qty)
{
    return QJsonDocument(QJsonObject{{"strategy", strategy}, {"intraday", intraday}, {"qty", qty},
                                     {"max_bars", 12}, {"trailing", true}, {"trigger_pct", 1}, {"distance_pct", 0.5}})
        .toJson(QJsonDocument::Compact);
}

QList<QByteArray> seeds()
{
    QList<QByteArray> out;
    bool intraday = false;
    for (const QByteArray& g : FuzzStrategies::seedGraphs()) {
        out << job(QJsonDocument::fromJson(g).object(), intraday, 3);
        intraday = !intraday;
    }
    return out;
}

}  // namespace

TICKVANE_FUZZ_SEEDS(seeds().value(0), seeds().value(1), seeds().value(2))

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QJsonObject o = QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char*>(data), int(size))).object();
    WeekStore store;
    InlineAgent agent;
    agent.setStore(&store);
    agent.setSymbol(QStringLiteral("NSE:SBIN"));
    // The week in the store: the range itself is checked where a job is accepted.
    agent.setDateRange(FuzzStrategies::dates().first(), FuzzStrategies::dates().last());
    agent.setStrategy(o.value(QStringLiteral("strategy")).toObject());
    agent.setIntraday(o.value(QStringLiteral("intraday")).toBool());
    const int qty = o.value(QStringLiteral("qty")).toInt(1);
    agent.setQty(qty);
    agent.setMaxBars(o.value(QStringLiteral("max_bars")).toInt(0));
    agent.setTrailingStop(o.value(QStringLiteral("trailing")).toBool(), o.value(QStringLiteral("trigger_pct")).toDouble(),
                          o.value(QStringLiteral("distance_pct")).toDouble());
    bool done = false;
    QObject::connect(&agent, &BacktestAgent::finished, &agent,
                     [&](const QString&, const BacktestSummary& summary, const QVector<TradeRecord>& trades) {
                         done = true;
                         FUZZ_CHECK(summary.total_trades == trades.size());
                         FUZZ_CHECK(summary.wins + summary.losses == summary.total_trades);
                         for (const TradeRecord& t : trades) {
                             FUZZ_CHECK(t.side == 1 || t.side == 2);
                             FUZZ_CHECK(BacktestMessages::exitReasonWord(t.exit_reason) != QLatin1String("Unknown"));
                             FUZZ_CHECK(t.entry_date + t.entry_time <= t.exit_date + t.exit_time);
                             FUZZ_CHECK(!std::isfinite(t.points) || t.pnl == t.points * t.qty);
                         }
                     }, Qt::DirectConnection);
    QObject::connect(&agent, &BacktestAgent::error, &agent, [&](const QString&, const QString&) { done = true; },
                     Qt::DirectConnection);
    agent.run();
    FUZZ_CHECK(done);
    return 0;
}
