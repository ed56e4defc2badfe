// Strategy graphs from a job: any JSON loads, the evaluation order names each block at most once,
// and replaying a week of bars gives finite stop and target settings.
#include "FuzzSeeds.h"
#include "FuzzStrategies.h"
#include "backtest/StrategyEvaluator.h"

#include <QSet>

TICKVANE_FUZZ_SEEDS(FuzzStrategies::seedGraphs().value(0), FuzzStrategies::seedGraphs().value(1),
                    FuzzStrategies::seedGraphs().value(2), R"({"blocks":[{"id":1,"type":"NOT"}],"connections":[{"from":1,"to":1}]})")

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QJsonObject graph =
        QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char*>(data), int(size))).object();
    StrategyEvaluator ev;
    ev.loadGraph(graph);
    QSet<int> seen;
    for (int id : qAsConst(ev.evaluationOrder)) {
        FUZZ_CHECK(ev.blocks.contains(id));
        FUZZ_CHECK(!seen.contains(id));
        seen.insert(id);
    }
    int day = 0;
    for (const QString& date : FuzzStrategies::dates()) {
        const QVector<StoredCandle> minutes = FuzzStrategies::minuteBars(date, day++);
        ev.resetBarState();
        for (const StoredCandle& bar : minutes)
            ev.evaluateBar(bar, bar.time);
        ev.dailyBars.append(FuzzStrategies::dayBar(minutes));
        ev.evaluateDay(ev.dailyBars);
        FUZZ_CHECK(std::isfinite(ev.stopPercent) && std::isfinite(ev.targetPercent));
    }
    return 0;
}
