// Whole replays over a stored quarter of minute bars: each strategy's complete results payload (every
// trade, the notes, the statistics) must stay exactly what the reference replay produced.
#include "backtest/BacktestAgent.h"
#include "backtest/BacktestMessages.h"
#include "backtest/SQLiteOHLCStore.h"
#include "support/CandleFixture.h"
#include "support/StrategyGraph.h"
#include "support/TestFiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

using namespace CandleFixture;
using namespace StrategyGraph;

namespace {

// The benchmark's graph: 1M close against a 1M EMA(9) and a 5M RSI(14).
QJsonObject benchGraph()
{
    return graph({block(1, "CandleClose"), block(2, "EMA", {{"period", 9}}), block(3, "RSI", {{"period", 14}, {"timeframe", 4}}),
                  block(4, "Number", {{"value", 50}}), block(5, "GreaterThan"), block(6, "CrossedAbove"), block(7, "AND"),
                  block(8, "BuyEntry", {{"priceSource", 5}}), block(9, "StopLoss"), block(10, "ExitRule")},
                 {edge(1, 2), edge(1, 3), edge(3, 5, 0), edge(4, 5, 1), edge(1, 6, 0), edge(2, 6, 1), edge(5, 7, 0),
                  edge(6, 7, 1), edge(7, 8), edge(2, 9), edge(5, 10)},
                 2);
}

// Day-level entries; bar-level indicators that are never reset, so they run past their 600-value cap.
QJsonObject persistingGraph()
{
    return graph({block(1, "CandleClose"), block(2, "SMA", {{"period", 3}}), block(3, "GreaterThan"), block(4, "BuyEntry"),
                  block(10, "CandleClose", {{"timeframe", 2}}), block(11, "EMA", {{"period", 20}, {"timeframe", 2}}),
                  block(12, "SMA", {{"period", 50}, {"timeframe", 2}}), block(13, "CrossedBelow"),
                  block(14, "RSI", {{"period", 14}, {"timeframe", 5}}), block(15, "Number", {{"value", 22}}),
                  block(16, "LessThan"), block(17, "OR"), block(18, "ExitRule"),
                  block(19, "RSI", {{"period", 9}, {"timeframe", 2}}), block(20, "Number", {{"value", 97}}),
                  block(21, "GreaterThan"), block(22, "StopLoss", {{"percent", 2}}), block(23, "Target", {{"percent", 3}}),
                  block(24, "NDaysAgo", {{"N", 400}}), block(25, "LessThan"), block(26, "PreviousNth", {{"n", 5}}),
                  block(27, "GreaterThan"), block(28, "AND")},
                 {edge(1, 2), edge(1, 3, 0), edge(2, 3, 1), edge(3, 4), edge(10, 11), edge(10, 12), edge(11, 13, 0),
                  edge(12, 13, 1), edge(10, 14), edge(14, 16, 0), edge(15, 16, 1), edge(13, 17, 0), edge(16, 17, 1),
                  edge(10, 19), edge(19, 21, 0), edge(20, 21, 1), edge(21, 17, 2), edge(10, 24), edge(24, 25, 0),
                  edge(26, 25, 1), edge(10, 26), edge(10, 27, 0), edge(26, 27, 1), edge(25, 28, 0), edge(27, 28, 1),
                  edge(28, 17, 3)});
}

// Intraday longs and shorts on 3M and 5M averages, entries at the open, stops, targets.
QJsonObject twoSidedGraph()
{
    return graph({block(1, "CandleClose", {{"timeframe", 2}}), block(2, "EMA", {{"period", 10}, {"timeframe", 4}}),
                  block(3, "CrossedBelow"), block(4, "SellEntry", {{"priceSource", 4}}),
                  block(5, "SMA", {{"period", 8}, {"timeframe", 3}}), block(6, "CrossedAbove"),
                  block(7, "BuyEntry", {{"priceSource", 4}}), block(8, "StopLoss", {{"percent", 0.5}}),
                  block(9, "Target", {{"percent", 1}})},
                 {edge(1, 2), edge(1, 3, 0), edge(2, 3, 1), edge(3, 4), edge(1, 5), edge(1, 6, 0), edge(5, 6, 1), edge(6, 7)});
}

// Day, week and month values, the arithmetic blocks and absolute stop and target levels, on a weekly
// strategy; a bar-level exit against a day-level level.
QJsonObject dayLevelGraph()
{
    return graph({block(1, "CandleClose", {{"timeframe", 1}}), block(2, "CandleHigh", {{"timeframe", 9}}),
                  block(3, "CandleLow", {{"timeframe", 10}}), block(4, "NDaysAgo", {{"N", 2}}),
                  block(5, "PreviousNth", {{"n", 3}}), block(6, "ATR", {{"period", 5}}), block(7, "ADX", {{"period", 3}}),
                  block(8, "Subtract"), block(9, "Add"), block(10, "MaxOf"), block(11, "Percent", {{"percent", 99}}),
                  block(12, "Multiply"), block(13, "WithinPct", {{"percent", 4}}), block(14, "GreaterThan"),
                  block(15, "NOT"), block(16, "OR", {{"portCount", 3}}), block(17, "CandleOpen", {{"timeframe", 1}}),
                  block(18, "BuyEntry", {{"priceSource", 8}}), block(19, "StopLoss", {{"mode", 1}}),
                  block(20, "Target", {{"mode", 1}}), block(21, "CandleLow", {{"timeframe", 2}}), block(22, "LessThan"),
                  block(23, "ExitRule"), block(24, "Number", {{"value", 1.5}}), block(25, "CandleVolume", {{"timeframe", 9}}),
                  block(26, "Number", {{"value", 0}}), block(27, "GreaterThan")},
                 {edge(1, 4), edge(1, 5), edge(1, 8, 0), edge(6, 8, 1), edge(1, 9, 0), edge(6, 9, 1), edge(2, 10, 0),
                  edge(9, 10, 1), edge(10, 11), edge(6, 12, 0), edge(24, 12, 1), edge(1, 13, 0), edge(2, 13, 1),
                  edge(4, 14, 0), edge(5, 14, 1), edge(7, 15), edge(13, 16, 0), edge(14, 16, 1), edge(15, 16, 2),
                  edge(16, 18, 0), edge(17, 18, 1), edge(8, 19), edge(11, 20), edge(21, 22, 0), edge(3, 22, 1),
                  edge(22, 23), edge(25, 27, 0), edge(26, 27, 1), edge(27, 16, 2)},
                 9);
}

// Bar-level candles of every bucket width, bucketed averages, neutral periods, entries at high and low.
QJsonObject bucketGraph()
{
    return graph({block(1, "CandleOpen", {{"timeframe", 3}}), block(2, "CandleHigh", {{"timeframe", 5}}),
                  block(3, "CandleLow", {{"timeframe", 6}}), block(4, "CandleVolume", {{"timeframe", 7}}),
                  block(5, "CandleClose", {{"timeframe", 8}}), block(6, "SMA", {{"period", 4}, {"timeframe", 6}}),
                  block(7, "EMA", {{"period", 3}, {"timeframe", 8}}), block(8, "RSI", {{"period", 3}, {"timeframe", 7}}),
                  block(9, "EMA", {{"period", 0}, {"timeframe", 2}}), block(10, "RSI", {{"period", -1}, {"timeframe", 3}}),
                  block(11, "GreaterThan"), block(12, "LessThan"), block(13, "Number", {{"value", 50}}),
                  block(14, "GreaterThan"), block(15, "AND", {{"portCount", 3}}), block(16, "BuyEntry", {{"priceSource", 6}}),
                  block(17, "SellEntry", {{"priceSource", 7}}), block(18, "LessThan"), block(19, "ExitRule"),
                  block(20, "CandleClose", {{"timeframe", 2}}), block(21, "Target", {{"percent", 0.8}}),
                  block(22, "Number", {{"value", 1000}}), block(23, "GreaterThan")},
                 {edge(20, 6), edge(5, 7), edge(20, 8), edge(20, 9), edge(20, 10), edge(20, 11, 0), edge(6, 11, 1),
                  edge(8, 14, 0), edge(13, 14, 1), edge(4, 23, 0), edge(22, 23, 1), edge(11, 15, 0), edge(14, 15, 1),
                  edge(23, 15, 2), edge(15, 16), edge(1, 12, 0), edge(3, 12, 1), edge(12, 17), edge(20, 18, 0),
                  edge(7, 18, 1), edge(18, 19), edge(2, 21)},
                 2);
}

}  // namespace

class TestBacktestReplay : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // 66 weekdays from 2024-01-01: one holiday without candles, one day without its day candle, and
        // prices drifting slowly so that stops, targets and both kinds of exits all occur.
        QVERIFY(store.open(dir.path()));
        days = tradingDaysBetween("2024-01-01", "2024-04-01");
        double start = 1000;
        for (int i = 0; i < days.size(); ++i) {
            if (i == 17)
                continue;
            const QVector<StoredCandle> minutes = randomDay(days[i], start, quint32(1000 + i));
            fill(store, "SYM", minutes, i != 30);
            start = minutes.last().close;
        }
    }

    void wholeResultsUnchanged_data()
    {
        QTest::addColumn<QJsonObject>("strategy");
        QTest::addColumn<bool>("intraday");
        QTest::addColumn<int>("maxBars");
        QTest::addColumn<bool>("trailing");  // a trailing stop triggered at 1 %, 0.5 % behind the best price
        QTest::newRow("bench_intraday") << benchGraph() << true << 0 << false;
        QTest::newRow("persisting_daily") << persistingGraph() << false << 0 << false;
        QTest::newRow("two_sided_intraday") << twoSidedGraph() << true << 30 << true;
        QTest::newRow("day_level_weekly") << dayLevelGraph() << false << 0 << false;
        QTest::newRow("buckets_intraday") << bucketGraph() << true << 0 << false;
    }

    void wholeResultsUnchanged()
    {
        QFETCH(QJsonObject, strategy);
        QFETCH(bool, intraday);
        QFETCH(int, maxBars);
        QFETCH(bool, trailing);
        const QString name = QTest::currentDataTag();
        const BacktestRun run = runBacktest(&store, days.first(), days.last(), strategy, intraday, [&](BacktestAgent& a) {
            a.setMaxBars(maxBars);
            a.setTrailingStop(trailing, 1.0, 0.5);
        });
        QVERIFY(run.finished);
        const QVector<TradeRecord>& trades = run.trades;
        const QByteArray actual = BacktestMessages::resultsPayload("SYM", run.summary, trades);
        // The reference holds each payload's trade count, its stats line and the SHA-256 of the whole payload.
        const QString path = QFINDTESTDATA("../data/backtest/replay_reference.txt");
        QVERIFY(!path.isEmpty());
        QString expected;
        for (const QByteArray& line : TestFiles::readAll(path).split('\n')) {
            if (line.startsWith(name.toUtf8() + ' '))
                expected = QString::fromUtf8(line.mid(name.size() + 1));
        }
        const QByteArray stats = actual.left(actual.size() - 1).mid(actual.lastIndexOf('\n', actual.size() - 2) + 1);
        const QString got = QStringLiteral("%1 %2 %3").arg(trades.size()).arg(
            QString::fromLatin1(QCryptographicHash::hash(actual, QCryptographicHash::Sha256).toHex()), QString::fromUtf8(stats));
        if (got != expected) {
            const QString kept = QDir::temp().filePath("replay_" + name + ".ndjson");
            TestFiles::writeFile(kept, actual);
            qWarning().noquote() << "payload written to" << kept;
        }
        QVERIFY(trades.size() >= 5);
        QCOMPARE(got, expected);
    }

private:
    QTemporaryDir dir;
    SQLiteOHLCStore store;
    QStringList days;
};

QTEST_GUILESS_MAIN(TestBacktestReplay)
#include "tst_backtestreplay.moc"
