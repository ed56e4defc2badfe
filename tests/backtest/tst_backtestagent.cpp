// Backtest agent over a real SQLite store: trades worked out by hand, look-ahead, exits, cancel, errors.
#include "backtest/BacktestAgent.h"
#include "backtest/SQLiteOHLCStore.h"
#include "support/CandleFixture.h"
#include "support/StrategyGraph.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <array>

using namespace CandleFixture;
using namespace StrategyGraph;

Q_DECLARE_METATYPE(StoredCandle)
Q_DECLARE_METATYPE(QList<QVector<StoredCandle>>)

namespace {

// Buy when the 1-minute close is above `above`; exit when it is below `below`.
QJsonObject thresholdStrategy(double above, double below, const QJsonArray& extra = {},
                              const QJsonArray& extraEdges = {})
{
    QJsonArray blocks{block(1, "CandleClose", {{"timeframe", 2}}), block(2, "Number", {{"value", above}}),
                      block(3, "GreaterThan"), block(4, "BuyEntry"), block(5, "Number", {{"value", below}}),
                      block(6, "LessThan"), block(7, "ExitRule")};
    for (const auto& b : extra)
        blocks.append(b);
    QJsonArray edges{edge(1, 3, 0), edge(2, 3, 1), edge(3, 4), edge(1, 6, 0), edge(5, 6, 1), edge(6, 7)};
    for (const auto& e : extraEdges)
        edges.append(e);
    return graph(blocks, edges);
}

StoredCandle minuteBar(const QString& date, int index, double open, double high, double low, double close)
{
    return candle(date, minuteTime(index), open, high, low, close, 10);
}

// A flat day at `price` with the bars given by minute index replaced.
QVector<StoredCandle> flatDay(const QString& date, double price, const QMap<int, StoredCandle>& overrides = {})
{
    QVector<StoredCandle> out;
    for (int m = 0; m < 375; ++m)
        out.append(overrides.contains(m) ? overrides[m] : minuteBar(date, m, price, price + 0.05, price - 0.05, price));
    return out;
}

}  // namespace

class TestBacktestAgent : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        // No type registration here: the agent registers what its signals carry.
        dir = new QTemporaryDir;
        store = new SQLiteOHLCStore;
        QVERIFY(store->open(dir->path()));
    }

    void cleanup()
    {
        delete store;
        delete dir;
    }

    void intradayTrades_data()
    {
        QTest::addColumn<QList<QVector<StoredCandle>>>("days");
        QTest::addColumn<QJsonObject>("strategy");
        QTest::addColumn<int>("maxBars");
        QTest::addColumn<QStringList>("trades");
        const QString mon = "2024-03-04", tue = "2024-03-05";
        // Monday: flat at 99, one bar at 101 at 10:00 (buy at its close), a dip to 94 at 11:00 (exit).
        // Tuesday: flat at 99 with a bar at 102 at 09:30 (buy), held to the 15:15 square-off at 99. The
        // threshold holds from the first bar of the first day, and after each day's reset.
        QTest::newRow("threshold entries and exits")
            << QList<QVector<StoredCandle>>{flatDay(mon, 99, {{45, minuteBar(mon, 45, 99, 101.5, 99, 101)},
                                                              {46, minuteBar(mon, 46, 101, 101, 100.5, 100.8)},
                                                              {105, minuteBar(mon, 105, 99, 99, 93.5, 94)}}),
                                            flatDay(tue, 99, {{15, minuteBar(tue, 15, 99, 102, 99, 102)}})}
            << thresholdStrategy(100, 95) << 0
            << QStringList{"2024-03-04 10:00:00 101 > 2024-03-04 11:00:00 94 Signal Exit",
                           "2024-03-05 09:30:00 102 > 2024-03-05 15:15:00 99 EOD Loss"};
        QTest::newRow("a holding limit of one bar closes on the entry bar")
            << QList<QVector<StoredCandle>>{flatDay(mon, 99, {{10, minuteBar(mon, 10, 99, 101, 99, 101)},
                                                              {11, minuteBar(mon, 11, 101, 101, 100, 100.5)},
                                                              {12, minuteBar(mon, 12, 100.5, 101, 100, 100.7)}})}
            << thresholdStrategy(100, 0) << 1
            << QStringList{"2024-03-04 09:25:00 101 > 2024-03-04 09:25:00 101 Max Bars Exit",
                           "2024-03-04 09:26:00 100.5 > 2024-03-04 09:26:00 100.5 Max Bars Exit",
                           "2024-03-04 09:27:00 100.7 > 2024-03-04 09:27:00 100.7 Max Bars Exit"};
        // A long held into 15:15 closes at that bar's open (and the day ends there); on the next day a long
        // opened at 15:20 closes at the open of 15:21.
        QTest::newRow("square-off at 15:15")
            << QList<QVector<StoredCandle>>{flatDay(mon, 99, {{10, minuteBar(mon, 10, 99, 101, 99, 101)},
                                                              {360, minuteBar(mon, 360, 103, 103, 98, 98)},
                                                              {365, minuteBar(mon, 365, 98, 101, 98, 101)}}),
                                            flatDay(tue, 99, {{365, minuteBar(tue, 365, 98, 101, 98, 101)},
                                                              {366, minuteBar(tue, 366, 100.5, 101, 100, 100)}})}
            << thresholdStrategy(100, 0) << 0
            << QStringList{"2024-03-04 09:25:00 101 > 2024-03-04 15:15:00 103 EOD Profit",
                           "2024-03-05 15:20:00 101 > 2024-03-05 15:21:00 100.5 EOD Loss"};
    }

    void intradayTrades()
    {
        QFETCH(QList<QVector<StoredCandle>>, days);
        QFETCH(QJsonObject, strategy);
        QFETCH(int, maxBars);
        QFETCH(QStringList, trades);
        for (const QVector<StoredCandle>& day : days)
            fill(*store, "SYM", day);
        const BacktestRun o = runBacktest(store, days.first().first().date, days.last().first().date, strategy, true,
                              [maxBars](BacktestAgent& a) { a.setMaxBars(maxBars); });
        QVERIFY(o.finished);
        QCOMPARE(tradeText(o.trades), trades);
        QCOMPARE(o.trades.first().symbol, QString("SYM"));
        QCOMPARE(o.trades.first().sl, 0.0);  // no StopLoss block
        QCOMPARE(o.summary.total_trades, trades.size());
    }

    void dailyRsiTradesNextDay()
    {
        // Day candles close at base + 3.745 (rising days); bases 100, 101, 102, 103, 104, 103, 102, 101.
        const QStringList days = tradingDaysBetween("2024-03-04", "2024-03-13");
        const double bases[] = {100, 101, 102, 103, 104, 103, 102, 101};
        for (int i = 0; i < days.size(); ++i)
            fill(*store, "SYM", risingDay(days[i], bases[i]));
        // Daily RSI(3) above 60 buys, below 40 exits.
        const QJsonObject strategy =
            graph({block(1, "CandleClose"), block(2, "RSI", {{"period", 3}}), block(3, "Number", {{"value", 60}}),
                   block(4, "GreaterThan"), block(5, "BuyEntry"), block(6, "Number", {{"value", 40}}),
                   block(7, "LessThan"), block(8, "ExitRule")},
                  {edge(1, 2), edge(2, 4, 0), edge(3, 4, 1), edge(4, 5), edge(2, 7, 0), edge(6, 7, 1), edge(7, 8)});
        const BacktestRun o = runBacktest(store, days.first(), days.last(), strategy, false);
        QVERIFY(o.finished);
        // RSI needs four closes: the closes of days 1-4, 1-5 and 1-6 read 100, 100 and about 61.6 (the last
        // after one falling day); days 1-7 read about 39.1. Each buy fills at the next day's first open and
        // is squared off at the open of 15:16, the first bar after 15:15.
        QCOMPARE(tradeText(o.trades), (QStringList{"2024-03-08 09:15:00 104 > 2024-03-08 15:16:00 107.61 EOD Profit",
                                              "2024-03-11 09:15:00 103 > 2024-03-11 15:16:00 106.61 EOD Profit",
                                              "2024-03-12 09:15:00 102 > 2024-03-12 15:16:00 105.61 EOD Profit"}));
        QCOMPARE(o.trades[0].notes, QString("D-RSI(3):100.0"));
        QCOMPARE(o.trades[1].notes, QString("D-RSI(3):100.0"));
        QCOMPARE(o.trades[2].notes, QString("D-RSI(3):61.6"));
    }

    void noLookAheadIntoTheDay()
    {
        // Each day rises from its open, and each day opens above the previous close. "The day's close is
        // above this minute's close" would buy every morning and win, but only by knowing the close in
        // advance: yesterday's close, the only one known, is below every bar.
        const QStringList days = tradingDaysBetween("2024-03-04", "2024-03-08");
        for (int i = 0; i < days.size(); ++i)
            fill(*store, "SYM", risingDay(days[i], 100 + 10 * i));
        const QJsonObject strategy = graph({block(1, "CandleClose"), block(2, "CandleClose", {{"timeframe", 2}}),
                                            block(3, "GreaterThan"), block(4, "BuyEntry")},
                                           {edge(1, 3, 0), edge(2, 3, 1), edge(3, 4)});
        const BacktestRun o = runBacktest(store, days.first(), days.last(), strategy, true);
        QVERIFY(o.finished);
        QCOMPARE(o.trades.size(), 0);
    }

    void stopsTargetsAndTrailing_data()
    {
        QTest::addColumn<int>("side");
        QTest::addColumn<QJsonArray>("levels");
        QTest::addColumn<QJsonArray>("levelEdges");  // feeding the level blocks
        QTest::addColumn<bool>("trailing");
        QTest::addColumn<StoredCandle>("exitBar");
        QTest::addColumn<double>("exitPrice");
        QTest::addColumn<int>("reason");
        QTest::addColumn<double>("sl");
        QTest::addColumn<double>("target");
        QTest::addColumn<double>("points");
        const QJsonArray both{block(20, "StopLoss"), block(21, "Target")};
        // The exit bar is minute `at` of the day, with the given open, high, low and close.
        auto row = [&](const char* name, int side, bool trailing, int at, std::array<double, 4> ohlc, double exit,
                       int reason, double sl, double target, double points, const QJsonArray& levels = {},
                       const QJsonArray& levelEdges = {}) {
            QTest::newRow(name) << side << (levels.isEmpty() ? both : levels) << levelEdges << trailing
                                << minuteBar("2024-03-04", at, ohlc[0], ohlc[1], ohlc[2], ohlc[3]) << exit << reason
                                << sl << target << points;
        };
        namespace R = ExitReason;
        row("both reached: target wins", 1, false, 30, {100, 111, 96, 100}, 110, R::TargetHit, 97, 110, 10);
        row("stop at its level", 1, false, 30, {100, 100.5, 96.5, 99}, 97, R::StoplossHit, 97, 110, -3);
        row("gap below the stop fills at the stop", 1, false, 30, {90, 91, 89, 90}, 97, R::StoplossHit, 97, 110, -3);
        row("custom percents", 1, false, 30, {100, 102.5, 99.5, 102}, 102, R::TargetHit, 99, 102, 2,
            {block(20, "StopLoss", {{"percent", 1}}), block(21, "Target", {{"percent", 2}})});
        // Trailing (trigger 1 %, distance 0.5 %): a high of 102 moves the stop to 101.49, hit on the same bar.
        row("trailing stop", 1, true, 30, {101.6, 102, 101.4, 101.5}, 101.49, R::TrailingStopHit, 101.49, 110, 1.49);
        row("trailing on, not moved", 1, true, 30, {100, 100.5, 96, 97}, 97, R::StoplossHit, 97, 110, -3);
        row("low touches the stop exactly", 1, false, 30, {99, 99.5, 97, 98}, 97, R::StoplossHit, 97, 110, -3);
        row("square-off below the entry", 1, false, 360, {98, 98.5, 97.5, 98}, 98, R::EodLoss, 97, 110, -2);
        // A short from 100: its stop sits 3 % above the entry and its target 10 % below; it gains as the
        // price falls.
        row("short: high touches the stop", 2, false, 30, {101, 103, 100.5, 102}, 103, R::StoplossHit, 103, 90, -3);
        row("short: target below", 2, false, 30, {95, 96, 89, 91}, 90, R::TargetHit, 103, 90, 10);
        row("short: square-off below the entry", 2, false, 360, {98, 98.5, 97.5, 98}, 98, R::EodProfit, 103, 90, 2);
        // A low of 98 (1 % under the entry triggers) moves the stop down to 98 * 1.005 = 98.49; the bar's
        // high of 98.7 then hits it.
        row("short: trailing stop", 2, true, 30, {98.6, 98.7, 98, 98.6}, 98.49, R::TrailingStopHit, 98.49, 90, 1.51);
        // Any mode but 0 takes the level from the block's input, here Number blocks: a stop at 98.5 and a
        // target at 104 for the long, 101.5 and 95 for the short; the percents are not used.
        const auto fixed = [](int mode, double stop, double target) {
            return QJsonArray{block(20, "StopLoss", {{"mode", mode}, {"percent", 1}}), block(22, "Number", {{"value", stop}}),
                              block(21, "Target", {{"mode", mode}, {"percent", 1}}), block(23, "Number", {{"value", target}})};
        };
        const QJsonArray feeds{edge(22, 20), edge(23, 21)};
        row("mode 2: stop at the fed level", 1, false, 30, {99, 99.5, 98, 98.5}, 98.5, R::StoplossHit, 98.5, 104, -1.5,
            fixed(2, 98.5, 104), feeds);
        row("mode 2: target at the fed level", 1, false, 30, {101, 104.5, 100.5, 104}, 104, R::TargetHit, 98.5, 104, 4,
            fixed(2, 98.5, 104), feeds);
        row("mode 1: stop at the fed level", 1, false, 30, {99, 99.5, 98, 98.5}, 98.5, R::StoplossHit, 98.5, 104, -1.5,
            fixed(1, 98.5, 104), feeds);
        row("short, mode 2: stop at the fed level", 2, false, 30, {101, 101.6, 100.5, 101.5}, 101.5, R::StoplossHit,
            101.5, 95, -1.5, fixed(2, 101.5, 95), feeds);
        row("short, mode 2: target at the fed level", 2, false, 30, {96, 96.5, 94.5, 95}, 95, R::TargetHit, 101.5, 95,
            5, fixed(2, 101.5, 95), feeds);
    }

    void stopsTargetsAndTrailing()
    {
        QFETCH(int, side);
        QFETCH(QJsonArray, levels);
        QFETCH(QJsonArray, levelEdges);
        QFETCH(bool, trailing);
        QFETCH(StoredCandle, exitBar);
        QFETCH(double, exitPrice);
        QFETCH(double, sl);
        QFETCH(double, target);
        QFETCH(double, points);
        // Buy (or sell) at 100 on the 09:25 close; then the exit bar; the exit rule never fires.
        const QString d = "2024-03-04";
        const bool isLong = side == 1;
        const int exitIndex = (QTime::fromString(exitBar.time).msecsSinceStartOfDay() - QTime(9, 15).msecsSinceStartOfDay()) / 60000;
        fill(*store, "SYM", flatDay(d, isLong ? 99.5 : 100.5, {{10, minuteBar(d, 10, 99, 100, 99, 100)},
                                                            {11, minuteBar(d, 11, 100, 100.1, 99.9, 100)},
                                                            {exitIndex, exitBar}}));
        QJsonObject strategy = thresholdStrategy(99.5, 0, levels, levelEdges);
        if (!isLong) {
            QJsonArray blocks{block(1, "CandleClose", {{"timeframe", 2}}), block(2, "Number", {{"value", 100.25}}),
                              block(3, "LessThan"), block(4, "SellEntry")};
            for (const auto& b : levels)
                blocks.append(b);
            QJsonArray edges{edge(1, 3, 0), edge(2, 3, 1), edge(3, 4)};
            for (const auto& e : levelEdges)
                edges.append(e);
            strategy = graph(blocks, edges);
        }
        const BacktestRun o = runBacktest(store, d, d, strategy, true, [trailing](BacktestAgent& a) {
            a.setQty(3);
            a.setTrailingStop(trailing, 1.0, 0.5);
        });
        QVERIFY(o.finished);
        QVERIFY(o.trades.size() >= 1);
        const TradeRecord& t = o.trades.first();
        QCOMPARE(t.side, side);
        QCOMPARE(t.entry_price, 100.0);
        QCOMPARE(t.exit_time, exitBar.time);
        QVERIFY(qFuzzyCompare(t.exit_price, exitPrice));
        QTEST(t.exit_reason, "reason");
        QVERIFY(qFuzzyCompare(t.sl, sl));
        QVERIFY(qFuzzyCompare(t.target, target));
        QVERIFY2(qFuzzyCompare(t.points, points), qPrintable(QString::number(t.points)));
        QVERIFY(qFuzzyCompare(t.pnl, 3 * points));
    }

    void openPositionClosedAtEndOfRun_data()
    {
        QTest::addColumn<bool>("withDayCandles");
        QTest::addColumn<QString>("trade");
        QTest::newRow("day candle of the same date") << true << "2024-03-04 15:29:00 101 > 2024-03-04 15:30:00 100 EOD Loss";
        QTest::newRow("minute data only") << false << "2024-03-04 15:29:00 101 > 2024-03-04 15:30:00 101.2 EOD Profit";
    }

    void openPositionClosedAtEndOfRun()
    {
        QFETCH(bool, withDayCandles);
        QFETCH(QString, trade);
        // A buy on the last bar of the last day stays open; the run ends the next (empty) weekday.
        const QString d = "2024-03-04";
        QVector<StoredCandle> day = flatDay(d, 99, {{374, minuteBar(d, 374, 99, 101.2, 99, 101.2)}});
        fill(*store, "SYM", day, false);
        if (withDayCandles) {
            StoredCandle dc = dayCandleOf(day);
            dc.close = 100;  // what the day candle says wins over the last minute
            store->insertDayCandles("SYM", {dc});
        }
        // Entry price 101 from a Number on the entry block's price port.
        const BacktestRun o = runBacktest(store, d, "2024-03-05",
                              graph({block(1, "CandleClose", {{"timeframe", 2}}), block(2, "Number", {{"value", 101.1}}),
                                     block(3, "GreaterThan"), block(4, "BuyEntry", {{"priceSource", 8}}),
                                     block(5, "Number", {{"value", 101}})},
                                    {edge(1, 3, 0), edge(2, 3, 1), edge(3, 4, 0), edge(5, 4, 1)}),
                              true);
        QVERIFY(o.finished);
        QCOMPARE(tradeText(o.trades), QStringList{trade});
    }

    void progressEndsAtTheLastWeekday()
    {
        const QStringList days = tradingDaysBetween("2024-03-04", "2024-03-08");
        for (int i : {0, 2, 4})
            fill(*store, "SYM", randomDay(days[i], 100, quint32(i)));
        const BacktestRun o = runBacktest(store, "2024-03-02", "2024-03-10", thresholdStrategy(100, 0), true);  // a weekend at each end
        QVERIFY(o.finished);
        // The first and the last weekday are always reported; the days between at most a few times a second.
        QVERIFY(o.progress.size() >= 2 && o.progress.size() <= 5);
        QCOMPARE(o.progress.first(), (QList<QVariant>{1, 5, o.progress.first().at(2)}));
        QCOMPARE(o.progress.last(), (QList<QVariant>{5, 5, o.trades.size()}));
        QVERIFY(!o.trades.isEmpty());

        // A range of millions of weekdays is counted, not listed: the first report names them all.
        const BacktestRun h = runBacktest(store, "0001-01-01", "9999-12-31", thresholdStrategy(100, 0), true, [](BacktestAgent& a) {
            connect(&a, &BacktestAgent::progress, &a, [&a] { a.cancel(); }, Qt::DirectConnection);
        });
        QVERIFY(h.cancelled);
        QCOMPARE(h.progress.size(), 1);
        QCOMPARE(h.progress.first().at(1).toInt(), 2608615);
    }

    void cancelBeforeAndDuringRun()
    {
        const QStringList days = tradingDaysBetween("2024-03-04", "2024-03-15");
        for (int i = 0; i < days.size(); ++i)
            fill(*store, "SYM", randomDay(days[i], 100, quint32(i)));
        const BacktestRun before = runBacktest(store, days.first(), days.last(), thresholdStrategy(100, 0), false,
                                   [](BacktestAgent& a) { a.cancel(); });
        QVERIFY(before.cancelled && !before.finished);
        QVERIFY(before.progress.isEmpty());
        // Cancel while the first day is reported: the run stops before the second.
        const BacktestRun during = runBacktest(store, days.first(), days.last(), thresholdStrategy(100, 0), false, [](BacktestAgent& a) {
            connect(&a, &BacktestAgent::progress, &a, [&a](int done) {
                if (done == 1)
                    a.cancel();
            }, Qt::DirectConnection);
        });
        QVERIFY(during.cancelled && !during.finished);
        QCOMPARE(during.progress.size(), 1);
    }

    void errors_data()
    {
        QTest::addColumn<bool>("withStore");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("message");
        QTest::newRow("no store") << false << "2024-03-04" << "2024-03-05" << "No data store set";
        QTest::newRow("weekend only") << true << "2024-03-02" << "2024-03-03" << "No trading days in range";
        QTest::newRow("reversed range") << true << "2024-03-08" << "2024-03-04" << "No trading days in range";
        QTest::newRow("bad date") << true << "2024-02-30" << "2024-03-04" << "No trading days in range";
        QTest::newRow("nothing stored") << true << "2024-04-01" << "2024-04-05" << "No stored candles in range";
    }

    void errors()
    {
        QFETCH(bool, withStore);
        QFETCH(QString, from);
        QFETCH(QString, to);
        fill(*store, "SYM", randomDay("2024-03-04", 100, 1));
        const BacktestRun o = runBacktest(store, from, to, thresholdStrategy(100, 0), false, [withStore](BacktestAgent& a) {
            if (!withStore)
                a.setStore(nullptr);
        });
        QTEST(o.error, "message");
        QVERIFY(!o.finished);
    }

    void summaryStatistics()
    {
        auto trades = [](std::initializer_list<double> points) {
            QVector<TradeRecord> out;
            for (double p : points) {
                TradeRecord t;
                t.points = p;
                t.pnl = p * 3;
                out.append(t);
            }
            return out;
        };
        const BacktestSummary s = BacktestAgent::summarize("S", "a", "b", trades({10, -20, 5}));
        QCOMPARE((QList<int>{s.total_trades, s.wins, s.losses}), (QList<int>{3, 2, 1}));
        // Drawdown, points, money, profit factor, average win and loss.
        QCOMPARE((QVector<double>{s.max_drawdown, s.total_points, s.net_pnl, s.profit_factor, s.avg_win, s.avg_loss}),
                 (QVector<double>{20, -5, -15, 0.75, 7.5, 20}));
        QVERIFY(qFuzzyCompare(s.win_rate, 200.0 / 3));
        QVERIFY(qFuzzyCompare(s.expectancy, 2.0 / 3 * 7.5 - 20.0 / 3));
        QCOMPARE(s.equity_curve, QVector<double>({10, -10, -5}));

        const BacktestSummary flat = BacktestAgent::summarize("S", "a", "b", trades({0}));
        QCOMPARE(flat.wins, 1);  // a trade of 0 points is a win
        QCOMPARE(flat.profit_factor, 0.0);

        const BacktestSummary none = BacktestAgent::summarize("S", "a", "b", {});
        QCOMPARE((QVector<double>{double(none.total_trades), none.win_rate, none.expectancy}), QVector<double>(3, 0.0));
        QVERIFY(none.equity_curve.isEmpty());
        QCOMPARE(none.from, QString("a"));
    }

private:
    QTemporaryDir* dir = nullptr;
    SQLiteOHLCStore* store = nullptr;
};

QTEST_GUILESS_MAIN(TestBacktestAgent)
#include "tst_backtestagent.moc"
