// Strategy graphs: loading, ordering, classification, block rules, buckets, period bars and notes.
#include "backtest/Indicators.h"
#include "backtest/StrategyEvaluator.h"
#include "support/CandleFixture.h"
#include "support/StrategyGraph.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include <cstring>

using CandleFixture::candle;
using CandleFixture::minuteTime;
using namespace StrategyGraph;

namespace {

QJsonObject parse(const char* json)
{
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray(json), &err);
    if (err.error != QJsonParseError::NoError)
        qFatal("bad test json: %s", qPrintable(err.errorString()));
    return doc.object();
}

StoredCandle dayBar(const QString& date, double close, int volume = 1000)
{
    return candle(date, "00:00:00", close - 1, close + 2, close - 3, close, volume);
}

QVector<StoredCandle> days(int n, double start = 100.0, double step = 1.0)
{
    QVector<StoredCandle> out;
    const QStringList dates = tradingDaysBetween("2024-01-01", "2025-12-31");
    for (int i = 0; i < n; ++i)
        out.append(dayBar(dates[i], start + step * i));
    return out;
}

// The values and the signals ("1" or "0") of the given blocks, in order.
QVector<double> valuesOf(const StrategyEvaluator& ev, std::initializer_list<int> ids)
{
    QVector<double> out;
    for (int id : ids)
        out.append(ev.blockValue(id));
    return out;
}

QString signalsOf(const StrategyEvaluator& ev, std::initializer_list<int> ids)
{
    QString out;
    for (int id : ids)
        out += ev.blocks.value(id).signal ? '1' : '0';
    return out;
}

// Runs a day pass per day, each over the days so far.
void runDays(StrategyEvaluator& ev, const QVector<StoredCandle>& all)
{
    QVector<StoredCandle> sofar;
    for (const StoredCandle& d : all) {
        sofar.append(d);
        ev.evaluateDay(sofar);
    }
}

}  // namespace

class TestStrategyEvaluator : public QObject {
    Q_OBJECT

private slots:
    void evaluationOrder_data()
    {
        QTest::addColumn<QJsonObject>("strategy");
        QTest::addColumn<QVector<int>>("order");
        QTest::newRow("ids ascending") << graph({block(5, "Number"), block(2, "Number"), block(9, "Number")}, {})
                                       << QVector<int>{2, 5, 9};
        QTest::newRow("after both sources")
            << graph({block(3, "Add"), block(1, "Number"), block(2, "Number")}, {edge(2, 3, 1), edge(1, 3, 0)})
            << QVector<int>{1, 2, 3};
        QTest::newRow("cycle and what it feeds")
            << graph({block(1, "Number"), block(3, "Add"), block(4, "Add"), block(5, "NOT")},
                     {edge(3, 4), edge(4, 3), edge(4, 5), edge(1, 3, 1)})
            << QVector<int>{1};
        QTest::newRow("self loop") << graph({block(1, "Number"), block(2, "NOT")}, {edge(2, 2)}) << QVector<int>{1};
        QTest::newRow("dangling source") << graph({block(4, "NOT"), block(6, "Number")}, {edge(99, 4)})
                                         << QVector<int>{6};
        QTest::newRow("edge order decides ties")
            << graph({block(1, "Number"), block(7, "NOT"), block(8, "NOT")}, {edge(1, 8), edge(1, 7)})
            << QVector<int>{1, 8, 7};
        QTest::newRow("duplicate edges") << graph({block(1, "Number"), block(2, "NOT")}, {edge(1, 2), edge(1, 2)})
                                         << QVector<int>{1, 2};
        QTest::newRow("empty object") << QJsonObject() << QVector<int>{};
        QTest::newRow("blocks not an array") << QJsonObject{{"blocks", 5}, {"connections", "x"}} << QVector<int>{};
    }

    void evaluationOrder()
    {
        QFETCH(QJsonObject, strategy);
        StrategyEvaluator ev;
        QVERIFY(ev.loadGraph(strategy));
        QTEST(ev.evaluationOrder, "order");
    }

    void loadingReadsNumbersTheQtWay()
    {
        StrategyEvaluator ev;
        ev.loadGraph(parse(R"({"strategyTimeframe": -3, "blocks": [
            {"id": 1, "type": "RSI", "params": {"period": "14"}},
            {"id": 2, "type": "RSI", "params": {"period": 14.5, "timeframe": 1e300}},
            {"id": 3, "type": "Number", "params": {"value": 1}},
            {"id": 3, "type": "Number", "params": {"value": 2}},
            {"id": 4.5, "type": "Number"}]})"));
        QCOMPARE(ev.strategyTimeframe, 1);
        QCOMPARE(ev.blocks.value(1).params.value("period").toDouble(), 0.0);  // a string is not a number
        QCOMPARE(StrategyEvaluator::paramInt(ev.blocks.value(2), "period", 14), 15);  // rounded, not cut
        QCOMPARE(StrategyEvaluator::paramInt(ev.blocks.value(2), "timeframe", 0), std::numeric_limits<int>::max());
        QCOMPARE(ev.blocks.value(3).params.value("value").toDouble(), 2.0);  // a later id replaces
        QVERIFY(ev.blocks.contains(0));  // a fractional id reads as 0
        QCOMPARE(ev.blocks.size(), 4);

        ev.loadGraph(QJsonObject{{"strategyTimeframe", 0}});
        QCOMPARE(ev.strategyTimeframe, 1);
        ev.loadGraph(QJsonObject{{"strategyTimeframe", 9}, {"blocks", QJsonArray{block(1, "CandleClose")}}});
        QVERIFY(ev.blocks.value(1).dayLevel);
    }

    void classification_data()
    {
        QTest::addColumn<int>("timeframe");
        QTest::addColumn<QJsonObject>("closeParams");
        QTest::addColumn<bool>("compareIsDay");
        QTest::addColumn<bool>("hasBarLevel");
        QTest::newRow("daily close") << 1 << QJsonObject{} << true << false;
        QTest::newRow("5M close") << 1 << QJsonObject{{"timeframe", 4}} << false << true;
        QTest::newRow("strategy 1M") << 2 << QJsonObject{} << false << true;
        QTest::newRow("weekly") << 1 << QJsonObject{{"timeframe", 9}} << true << false;
        QTest::newRow("monthly strategy") << 10 << QJsonObject{} << true << false;
        QTest::newRow("unknown code is bar-level") << 1 << QJsonObject{{"timeframe", 12}} << false << true;
    }

    void classification()
    {
        QFETCH(int, timeframe);
        QFETCH(QJsonObject, closeParams);
        QFETCH(bool, compareIsDay);
        StrategyEvaluator ev;
        ev.loadGraph(graph({block(1, "CandleClose", closeParams), block(2, "Number"), block(3, "GreaterThan"),
                            block(4, "BuyEntry"), block(5, "StopLoss")},
                           {edge(1, 3, 0), edge(2, 3, 1), edge(3, 4)}, timeframe));
        // The number and the stop (nothing connected) are day-level; the compare and the entry follow the close.
        QCOMPARE((QList<bool>{ev.blocks.value(2).dayLevel, ev.blocks.value(3).dayLevel, ev.blocks.value(4).dayLevel,
                              ev.blocks.value(5).dayLevel}), (QList<bool>{true, compareIsDay, compareIsDay, true}));
        QTEST(ev.hasBarLevelBlocks, "hasBarLevel");
    }

    void hostileGraphsStayCheap()
    {
        // A billion ports, a long chain, self-loops, unknown types and string parameters: all must load and
        // evaluate at once, without a crash or a stall.
        QJsonArray blocks{block(1, "Number", {{"value", 1}}), block(2, "NOT"),
                          block(3, "AND", {{"portCount", 1e9}}), block(4, "OR", {{"portCount", 1e12}}),
                          block(5, "Mystery"), block(6, "RSI", {{"period", "x"}}), block(7, "EMA", {{"period", -4}}),
                          block(8, "SMA", {{"period", 0}}), block(9, "NDaysAgo", {{"N", -3}}),
                          block(10, "PreviousNth", {{"n", -1e20}}), block(11, "AND", {{"portCount", -5}})};
        QJsonArray edges{edge(1, 2), edge(2, 3, 0), edge(1, 3, 999999), edge(2, 4, 5), edge(5, 5), edge(1, 6),
                         edge(1, 7), edge(1, 8), edge(1, 9), edge(1, 10), edge(2, 11, -1)};
        const int chain = 5000;
        for (int i = 0; i < chain; ++i) {
            blocks.append(block(100 + i, "Add"));
            if (i > 0)
                edges.append(edge(100 + i - 1, 100 + i));
        }
        StrategyEvaluator ev;
        ev.loadGraph(graph(blocks, edges));
        QCOMPARE(ev.evaluationOrder.size(), blocks.size() - 1);  // all but the self-loop
        QCOMPARE(ev.evaluationOrder.last(), 100 + chain - 1);
        runDays(ev, days(40));
        // 2: NOT of a block without a signal; 3: a high port below portCount still counts; 11: no port
        // below portCount.
        QCOMPARE(signalsOf(ev, {2, 3, 4, 11}), QString("1011"));
        QCOMPARE(valuesOf(ev, {6, 7, 8, 9, 10}), (QVector<double>{50, 0, 0, 0, 0}));
        QCOMPARE(ev.describeStrategy(), QString("D-RSI:50.0 D-EMA:0.0 D-SMA:0.0"));
    }

    void bucketClose_data()
    {
        QTest::addColumn<QString>("time");
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("closes");
        QTest::newRow("5M first bar") << "09:15:00" << 4 << false;
        QTest::newRow("5M 09:19") << "09:19:00" << 4 << true;
        QTest::newRow("1M before open") << "09:14:00" << 2 << true;
        QTest::newRow("3M before open") << "09:10:00" << 3 << false;
        QTest::newRow("3M 09:17") << "09:17:00" << 3 << true;
        QTest::newRow("15M 09:29") << "09:29:00" << 5 << true;
        QTest::newRow("30M 09:44") << "09:44:00" << 6 << true;
        QTest::newRow("60M 10:14") << "10:14:00" << 7 << true;
        QTest::newRow("60M 15:14") << "15:14:00" << 7 << true;
        QTest::newRow("60M 10:15") << "10:15:00" << 7 << false;
        QTest::newRow("4H 13:14") << "13:14:00" << 8 << true;
        QTest::newRow("4H 15:14") << "15:14:00" << 8 << false;
        QTest::newRow("weekly code width 1") << "10:00:00" << 9 << true;
        QTest::newRow("short form") << "09:19" << 4 << true;
        QTest::newRow("garbage") << "xx" << 4 << false;
    }

    void bucketClose()
    {
        QFETCH(QString, time);
        QFETCH(int, code);
        QTEST(StrategyEvaluator::isBucketClose(time, code), "closes");
    }

    void weekKeysAndMonthRollOver()
    {
        StrategyEvaluator ev;
        for (const auto& week : {std::make_pair("2024-12-30", "2025-01"), std::make_pair("2021-01-01", "2020-53"),
                                 std::make_pair("2024-02-27", "2024-09")}) {
            ev.resetState();
            ev.evaluateDay({dayBar(week.first, 10)});
            QCOMPARE(ev.weekKey, QString(week.second));
        }
        ev.resetState();
        QVector<StoredCandle> d = {candle("2024-01-30", "00:00:00", 10, 15, 9, 12, 2000000000),
                                   candle("2024-01-31", "00:00:00", 12, 20, 8, 18, 2000000000)};
        ev.evaluateDay(d);
        QVERIFY(ev.monthlyBars.isEmpty());
        d.append(candle("2024-02-01", "00:00:00", 18, 19, 17, 18.5, 5));
        ev.evaluateDay(d);
        QCOMPARE(ev.monthlyBars.size(), 1);
        const StoredCandle jan = ev.monthlyBars.first();
        QCOMPARE(QString("%1 %2 %3 %4 %5").arg(jan.date).arg(jan.open).arg(jan.high).arg(jan.low).arg(jan.close),
                 QString("2024-01-31 10 20 8 18"));
        QCOMPARE(jan.volume, std::numeric_limits<qint32>::max());  // 4e9 saturates, never wraps negative
        QCOMPARE(ev.currentMonthBar.date, QString("2024-02-01"));
        QCOMPARE(ev.aggregatedCount, 3);
    }

    void crossDetection_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QVector<double>>("a");
        QTest::addColumn<QVector<double>>("b");
        QTest::addColumn<QVector<bool>>("expected");
        QTest::newRow("touch from below") << "CrossedAbove" << QVector<double>{1, 2} << QVector<double>{2, 2}
                                          << QVector<bool>{false, true};
        QTest::newRow("from equal") << "CrossedAbove" << QVector<double>{2, 3} << QVector<double>{2, 2}
                                    << QVector<bool>{false, false};
        QTest::newRow("above stays quiet") << "CrossedAbove" << QVector<double>{1, 3, 4} << QVector<double>{2, 2, 2}
                                           << QVector<bool>{false, true, false};
        QTest::newRow("first evaluation never") << "CrossedAbove" << QVector<double>{5} << QVector<double>{1}
                                                << QVector<bool>{false};
        QTest::newRow("reference falls under a steady value") << "CrossedAbove" << QVector<double>{5, 5}
                                                              << QVector<double>{6, 4} << QVector<bool>{false, true};
        QTest::newRow("below") << "CrossedBelow" << QVector<double>{3, 2, 1} << QVector<double>{2, 2, 2}
                               << QVector<bool>{false, true, false};
    }

    void crossDetection()
    {
        QFETCH(QString, type);
        QFETCH(QVector<double>, a);
        QFETCH(QVector<double>, b);
        QFETCH(QVector<bool>, expected);
        // in 0 is the 1-minute close, in 1 the 1-minute open of each bar.
        StrategyEvaluator ev;
        ev.loadGraph(graph({block(1, "CandleClose", {{"timeframe", 2}}), block(2, "CandleOpen", {{"timeframe", 2}}),
                            block(3, type)},
                           {edge(1, 3, 0), edge(2, 3, 1)}));
        for (int i = 0; i < a.size(); ++i) {
            const StoredCandle m = candle("2024-03-04", minuteTime(i), b[i], 1000, 0, a[i]);
            ev.evaluateBar(m, m.time);
            QCOMPARE(ev.blocks.value(3).signal, expected[i]);
        }
    }

    void logicWithoutInputs()
    {
        StrategyEvaluator ev;
        ev.loadGraph(graph({block(1, "AND"), block(2, "OR"), block(3, "NOT"), block(4, "BuyEntry"),
                            block(5, "WithinPct", {{"percent", 5}}), block(6, "Number", {{"value", 0}}),
                            block(7, "Number", {{"value", 100}}), block(8, "WithinPct", {{"percent", 5}}),
                            block(9, "Number", {{"value", 104}})},
                           {edge(7, 5, 0), edge(6, 5, 1), edge(9, 8, 0), edge(7, 8, 1)}));
        ev.evaluateDay(days(1));
        // 5: a reference of 0; 8: 104 within 5 % of 100.
        QCOMPARE(signalsOf(ev, {1, 2, 3, 4, 5, 8}), QString("101001"));
        QCOMPARE(ev.dayBuySignal, false);
    }

    void previousNthAndNDaysAgo()
    {
        StrategyEvaluator ev;
        ev.loadGraph(graph({block(1, "CandleClose"), block(2, "PreviousNth", {{"n", 0}}),
                            block(3, "PreviousNth", {{"n", 3}}), block(4, "NDaysAgo", {{"N", 0}}),
                            block(5, "NDaysAgo", {{"N", 1}}), block(6, "NDaysAgo", {{"N", -1}}),
                            block(7, "PreviousNth", {{"n", 1}})},
                           {edge(1, 2), edge(1, 3), edge(1, 4), edge(1, 5), edge(1, 6), edge(2, 7)}));
        runDays(ev, days(2, 100, 5));  // closes 100, 105
        // 3 reaches beyond the history: the oldest entry, unshifted; 7 is a shifted series shifted again.
        QCOMPARE(valuesOf(ev, {2, 3, 4, 5, 6, 7}), (QVector<double>{100, 100, 105, 100, 0, 100}));
        QCOMPARE(ev.blocks.value(2).history.toVector(), QVector<double>({100}));
        QCOMPARE(ev.blocks.value(3).history.toVector(), QVector<double>({105, 100}));
        QCOMPARE(ev.blockHistorySize(1), 2);
        QCOMPARE((QVector<double>{ev.blockHistoryAt(1, 1), ev.blockHistoryAt(1, 2), ev.blockHistoryAt(42, 0)}),
                 (QVector<double>{100, 0, 0}));
    }

    void dayIndicatorsAndWarmUps()
    {
        StrategyEvaluator ev;
        ev.loadGraph(graph({block(1, "CandleClose"), block(2, "RSI", {{"period", 14}}), block(3, "EMA", {{"period", 3}}),
                            block(4, "EMA", {{"period", 3}}), block(5, "ATR"), block(6, "ADX"),
                            block(7, "SMA", {{"period", 4}})},
                           {edge(1, 2), edge(1, 3), edge(3, 4), edge(1, 7)}));
        const QVector<StoredCandle> all = days(40, 100, 1.5);
        QVector<StoredCandle> sofar;
        QVector<double> closes;
        for (int i = 0; i < all.size(); ++i) {
            sofar.append(all[i]);
            closes.prepend(all[i].close);
            ev.evaluateDay(sofar);
            const int n = i + 1;
            QCOMPARE(ev.blockValue(2), n <= 14 ? 50.0 : computeRsi(closes, 14));
            QCOMPARE(ev.blockValue(3), emaSeries(closes, 3).first());
            QCOMPARE(ev.blockValue(7), smaSeries(closes, 4).first());
            QCOMPARE(ev.blockValue(4), 0.0);  // a day-level EMA keeps no history to feed another
            QCOMPARE(ev.blockValue(5) == 0.0, n < 15);
            QCOMPARE(ev.blockValue(6) == 0.0, n < 29);
            QCOMPARE(ev.blockValue(5), atrSeries(sofar, 14).last());
        }
    }

    void minuteBuckets()
    {
        StrategyEvaluator ev;
        ev.loadGraph(graph({block(1, "CandleClose", {{"timeframe", 4}}), block(2, "CandleHigh", {{"timeframe", 4}}),
                            block(3, "CandleVolume", {{"timeframe", 4}}), block(4, "CandleOpen", {{"timeframe", 4}}),
                            block(5, "CandleLow", {{"timeframe", 4}})},
                           {}));
        const double highs[] = {101, 104, 102, 103, 100, 110};
        for (int i = 0; i < 6; ++i) {
            const StoredCandle b = candle("2024-03-04", minuteTime(i), 100 + i, highs[i], 99 - i, 100.5 + i, 10 * (i + 1));
            ev.evaluateBar(b, b.time);
            if (i == 2) {  // the bar's own close, the highest of 09:15 .. 09:17, summed volume, first open, lowest low
                QCOMPARE(valuesOf(ev, {1, 2, 3, 4, 5}), (QVector<double>{102.5, 104, 60, 100, 97}));
                QCOMPARE(ev.blockHistorySize(1), 0);
            }
        }
        // 09:19 closed the first bucket; 09:20 opened the next one.
        QCOMPARE(ev.blocks.value(1).history.toVector(), QVector<double>({104.5}));
        QCOMPARE(ev.blocks.value(2).history.toVector(), QVector<double>({104}));
        QCOMPARE(ev.blocks.value(3).history.toVector(), QVector<double>({150}));
        QCOMPARE(valuesOf(ev, {2, 4}), (QVector<double>{110, 105}));
    }

    void barLevelAtrFollowsTheDayPasses()
    {
        // ATR and ADX read the daily bars whatever their timeframe; on minute bars they must follow each
        // day pass, not keep the value of the first one.
        StrategyEvaluator ev;
        ev.loadGraph(graph({block(1, "ATR", {{"timeframe", 2}, {"period", 3}}), block(2, "ADX", {{"timeframe", 2}, {"period", 3}}),
                            block(3, "ATR", {{"timeframe", 2}, {"period", 5}})},
                           {}));
        QVector<StoredCandle> all = days(12, 100, 2.5);
        for (int i = 0; i < all.size(); ++i)
            all[i].high += (i % 3) * 1.5;
        QVector<StoredCandle> sofar;
        for (const StoredCandle& d : all) {
            sofar.append(d);
            ev.evaluateDay(sofar);
            for (int m = 0; m < 3; ++m) {
                const StoredCandle b = candle(d.date, minuteTime(m), 1, 1, 1, 1);
                ev.evaluateBar(b, b.time);
                QCOMPARE(ev.blockValue(1), atrSeries(sofar, 3).last());
                QCOMPARE(ev.blockValue(2), adxSeries(sofar, 3).last());
                QCOMPARE(ev.blockValue(3), atrSeries(sofar, 5).last());
            }
        }
        QVERIFY(ev.blockValue(2) > 0.0);
    }

    void barIndicatorsMatchFullWalksBitForBit()
    {
        // Bar-level indicators carry running state between bars; every value must still be exactly the
        // full walk over the history (one value per completed bucket, the developing close in front),
        // across the 600-value cap, a day's reset and odd periods. Long arbitrary walks of the running
        // indicators themselves are the fuzz target's.
        struct BlockCase {
            int id;
            const char* type;
            int period;
            int source;  // 1: the 1-minute close, 2: the 3-minute close
        };
        const BlockCase blockCases[] = {{10, "EMA", 9, 1},  {11, "SMA", 20, 1}, {12, "RSI", 14, 1}, {13, "EMA", 1, 1},
                              {14, "RSI", 1, 1},  {15, "EMA", 700, 1}, {16, "SMA", 1, 1}, {20, "EMA", 5, 2},
                              {21, "SMA", 4, 2},  {22, "RSI", 3, 2},  {23, "EMA", 150, 2}, {24, "RSI", 0, 1}};
        QJsonArray blocks{block(1, "CandleClose", {{"timeframe", 2}}), block(2, "CandleClose", {{"timeframe", 3}})};
        QJsonArray edges;
        for (const BlockCase& sp : blockCases) {
            blocks.append(block(sp.id, sp.type, {{"period", sp.period}, {"timeframe", sp.source == 1 ? 2 : 3}}));
            edges.append(edge(sp.source, sp.id));
        }
        StrategyEvaluator ev;
        ev.loadGraph(graph(blocks, edges));
        auto full = [](const QString& type, const QVector<double>& series, int period) {
            if (type == "EMA")
                return emaLatest(series, period);
            if (type == "SMA")
                return smaLatest(series, period);
            return period < series.size() ? computeRsi(series, period) : 50.0;
        };
        QVector<double> minutes, buckets;  // newest first, as the blocks keep them
        double price = 1000;
        for (int i = 0; i < 800; ++i) {
            if (i == 700) {  // a new intraday day starts afresh
                ev.resetBarState();
                minutes.clear();
                buckets.clear();
            }
            price += ((i * 37) % 11 - 5) * 0.3;
            const StoredCandle b = candle("2024-03-04", minuteTime(i % 375), price, price + 1, price - 1, price);
            ev.evaluateBar(b, b.time);
            minutes.prepend(price);
            if (minutes.size() > 600)
                minutes.removeLast();
            QVector<double> developing = buckets;
            developing.prepend(price);
            for (const BlockCase& sp : blockCases) {
                const double expected = full(sp.type, sp.source == 1 ? minutes : developing, sp.period);
                const double actual = ev.blockValue(sp.id);
                if (std::memcmp(&expected, &actual, sizeof(double)) != 0)
                    QFAIL(qPrintable(QString("bar %1, block %2: %3 != %4").arg(i).arg(sp.id)
                                         .arg(actual, 0, 'g', 17).arg(expected, 0, 'g', 17)));
            }
            if (StrategyEvaluator::isBucketClose(b.time, 3)) {
                buckets.prepend(price);
                if (buckets.size() > 600)
                    buckets.removeLast();
            }
            QCOMPARE(ev.blockHistorySize(10), minutes.size());
            QCOMPARE(ev.blockHistorySize(20), buckets.size());
        }
        QCOMPARE(ev.blocks.value(20).history.toVector(), buckets);
    }

    void entriesExitsAndStops()
    {
        StrategyEvaluator ev;
        // A bar-level trigger (1M close above 100) feeds a buy entry at the bar's open and a sell entry at
        // its close; a separate graph per price source checks what each one takes.
        const QJsonArray blocks{block(1, "CandleClose", {{"timeframe", 2}}), block(2, "Number", {{"value", 100}}),
                                block(3, "GreaterThan"), block(10, "Number", {{"value", 123.5}}),
                                block(20, "StopLoss", {{"mode", 1}, {"percent", 2}}), block(21, "Target"),
                                block(22, "ExitRule"), block(31, "BuyEntry", {{"priceSource", 4}}),
                                block(50, "SellEntry", {{"priceSource", 5}})};
        const QJsonArray edges{edge(1, 3, 0), edge(2, 3, 1), edge(1, 20), edge(3, 22), edge(3, 31, 0), edge(3, 50, 0)};

        const StoredCandle b = candle("2024-03-04", "09:20:00", 101, 104, 99, 102);
        auto priceFor = [&](int source) {
            StrategyEvaluator one;
            QJsonArray bl{blocks[0], blocks[1], blocks[2], blocks[3], block(40, "BuyEntry", {{"priceSource", source}})};
            QJsonArray ed{edge(1, 3, 0), edge(2, 3, 1), edge(3, 40, 0), edge(10, 40, 1)};
            one.loadGraph(graph(bl, ed));
            one.evaluateDay(days(1));
            one.evaluateBar(b, b.time);
            return qMakePair(one.buySignal, one.entryPrice);
        };
        // Source 2 is deferred and raises nothing; 4 to 7 take the bar's open, close, high and low, 8 the
        // price port; others none.
        const struct { int source; bool raised; double price; } entries[] = {
            {0, true, 0}, {2, false, 0}, {4, true, 101}, {5, true, 102}, {6, true, 104}, {7, true, 99}, {8, true, 123.5}, {9, true, 0}};
        for (const auto& e : entries)
            QCOMPARE(priceFor(e.source), qMakePair(e.raised, e.price));

        ev.loadGraph(graph(blocks, edges));
        ev.evaluateDay(days(1));
        QVERIFY(!ev.hasStopLoss);  // fed by a bar-level block: set only by the bar pass
        QVERIFY(ev.hasTarget);     // nothing connected: day-level
        QCOMPARE(ev.targetPercent, 10.0);
        ev.evaluateBar(b, b.time);
        QVERIFY(ev.buySignal && ev.sellSignal && ev.exitSignal);
        QCOMPARE(ev.entryPrice, 102.0);  // the sell entry comes last in the order
        QVERIFY(ev.hasStopLoss);
        QCOMPARE(ev.stopMode, 1);
        QCOMPARE(ev.stopPercent, 2.0);
        QCOMPARE(ev.stopValue, 102.0);
        const StoredCandle quiet = candle("2024-03-04", "09:21:00", 99, 99, 98, 98);
        ev.evaluateBar(quiet, quiet.time);
        QVERIFY(!ev.buySignal && !ev.sellSignal && !ev.exitSignal);
        QCOMPARE(ev.entryPrice, 0.0);

        // The same entry at day level takes no bar price.
        StrategyEvaluator day;
        day.loadGraph(graph({block(1, "CandleClose"), block(2, "Number", {{"value", 100}}), block(3, "GreaterThan"),
                             block(4, "BuyEntry", {{"priceSource", 5}}), block(5, "ExitRule")},
                            {edge(1, 3, 0), edge(2, 3, 1), edge(3, 4), edge(3, 5)}));
        day.evaluateDay(days(1, 150));
        QVERIFY(day.dayBuySignal && day.dayExitSignal);
        QCOMPARE(day.entryPrice, 0.0);
        day.evaluateBar(b, b.time);  // no bar-level blocks: only the bar outputs are cleared
        QVERIFY(!day.buySignal && day.dayBuySignal);
    }

    void weeklyGate()
    {
        StrategyEvaluator ev;
        ev.loadGraph(graph({block(1, "Number", {{"value", 1}}), block(2, "Number"), block(3, "GreaterThan"),
                            block(4, "BuyEntry"), block(5, "ExitRule")},
                           {edge(1, 3, 0), edge(2, 3, 1), edge(3, 4), edge(3, 5)}, 9));
        // Mon 2024-03-04 .. Mon 2024-03-11: entries count on the first pass and when a week completes.
        const QVector<StoredCandle> all = {dayBar("2024-03-04", 1), dayBar("2024-03-05", 1), dayBar("2024-03-08", 1),
                                           dayBar("2024-03-11", 1), dayBar("2024-03-12", 1)};
        const bool expected[] = {true, false, false, true, false};
        QVector<StoredCandle> sofar;
        for (int i = 0; i < all.size(); ++i) {
            sofar.append(all[i]);
            ev.evaluateDay(sofar);
            QCOMPARE(ev.dayBuySignal, expected[i]);
            QVERIFY(ev.dayExitSignal);  // exits are never gated
        }
    }

    void resetsKeepWhatTheyShould()
    {
        StrategyEvaluator ev;
        ev.loadGraph(graph({block(1, "Number", {{"value", 100}}), block(2, "CandleClose", {{"timeframe", 2}}),
                            block(3, "GreaterThan"), block(4, "StopLoss", {{"mode", 1}, {"percent", 7}}),
                            block(5, "CandleClose"), block(6, "CrossedAbove")},
                           {edge(2, 3, 0), edge(1, 3, 1), edge(1, 4), edge(2, 6, 0), edge(1, 6, 1)}));
        runDays(ev, days(3));
        const StoredCandle b = candle("2024-03-04", "09:15:00", 101, 102, 100, 101);
        ev.evaluateBar(b, b.time);
        QVERIFY(ev.blocks.value(3).signal);
        QCOMPARE(ev.stopPercent, 7.0);

        ev.resetBarState();
        QCOMPARE(ev.blockValue(1), 100.0);  // the threshold survives the intraday reset
        QCOMPARE((QList<int>{ev.blockHistorySize(5), ev.dailyBars.size(), ev.blockHistorySize(2)}), (QList<int>{3, 3, 0}));
        QVERIFY(ev.blocks.value(6).state.isEmpty());
        QVERIFY(!ev.blocks.value(3).signal);

        ev.resetState();
        QCOMPARE(ev.blockValue(1), 0.0);
        QVERIFY(ev.dailyBars.isEmpty());
        QCOMPARE(ev.lastWeekCount, -1);
        QCOMPARE(ev.stopValue, 0.0);
        QCOMPARE(ev.stopPercent, 7.0);  // modes and percents stay
        QCOMPARE(ev.evaluationOrder.size(), 6);
    }

    void describeStrategy()
    {
        StrategyEvaluator ev;
        ev.loadGraph(graph({block(1, "CandleClose"), block(2, "RSI", {{"period", 14}}),
                            block(3, "CandleClose", {{"timeframe", 4}}), block(4, "EMA", {{"timeframe", 4}}),
                            block(5, "ATR"), block(6, "CandleClose", {{"timeframe", 12}}), block(7, "SMA"),
                            block(8, "RSI")},
                           {edge(1, 2), edge(3, 4), edge(6, 7), edge(1, 8)}));
        ev.blocks[2].value = 61.27;
        ev.blocks[4].value = 2284.5;
        ev.blocks[8].value = 50;
        QCOMPARE(ev.describeStrategy(), QString("D-ATR:0.0 D-RSI(14):61.3 D-RSI:50.0 5M-EMA:2284.5 12-SMA:0.0"));
        StrategyEvaluator none;
        none.loadGraph(graph({block(1, "Number")}, {}));
        QCOMPARE(none.describeStrategy(), QString());
    }
};

QTEST_GUILESS_MAIN(TestStrategyEvaluator)
#include "tst_strategyevaluator.moc"
