// Indicators on short series whose values were worked out by hand (the working is in the comments).
#include "backtest/Indicators.h"
#include "backtest/SlidingIndicator.h"

#include <QtTest>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

StoredCandle hlc(double high, double low, double close, qint32 volume = 0)
{
    StoredCandle c;
    c.open = close;
    c.high = high;
    c.low = low;
    c.close = close;
    c.volume = volume;
    return c;
}

// Oldest first. True ranges from the second candle: 2, 3, 3, 5, 8.
QVector<StoredCandle> workedCandles()
{
    return {hlc(10, 8, 9), hlc(11, 9, 10), hlc(13, 10, 12), hlc(12, 9, 10), hlc(15, 11, 14), hlc(10, 6, 7)};
}

bool near(double a, double b)
{
    return std::fabs(a - b) <= 1e-9 * std::max(1.0, std::fabs(b));
}

void compareNear(const QVector<double>& actual, const QVector<double>& expected)
{
    QCOMPARE(actual.size(), expected.size());
    for (int i = 0; i < actual.size(); ++i) {
        if (!near(actual[i], expected[i]))
            QFAIL(qPrintable(QString("index %1: %2 != %3").arg(i).arg(actual[i], 0, 'g', 17).arg(expected[i], 0, 'g', 17)));
    }
}

// Newest first: n prices in paise steps around 1000, a spike of `spike` at position `at` (none when 0).
QVector<double> prices(int n, double spike = 0, int at = 0)
{
    QVector<double> v(n);
    for (int i = 0; i < n; ++i)
        v[i] = 1000.0 + ((i * 7919) % 2003) * 0.05 - 50.0 + (i % 3) * 0.01;
    if (spike != 0)
        v[at] = spike;
    return v;
}

}  // namespace

class TestIndicators : public QObject {
    Q_OBJECT

private slots:
    void movingAverages()
    {
        // Newest first. SMA(3) of 2, 4, 6, 8 (oldest first): 2, (2+4)/2, (2+4+6)/3, (4+6+8)/3.
        compareNear(smaSeries({8, 6, 4, 2}, 3), {6, 4, 3, 2});
        compareNear(smaSeries({3, 2, 1}, 2), {2.5, 1.5, 1});
        // EMA(2) of 2, 4, 6, 8, 10: the oldest three take the running SMA(2): 2, 3, 5; then k = 2/3:
        // 5 + (8 - 5) * 2/3 = 7 and 7 + (10 - 7) * 2/3 = 9. Wilder's k = 1/2 gives 6.5 and 8.25.
        compareNear(emaSeries({10, 8, 6, 4, 2}, 2), {9, 7, 5, 3, 2});
        compareNear(wilderSeries({10, 8, 6, 4, 2}, 2), {8.25, 6.5, 5, 3, 2});
        QCOMPARE(emaLatest({10, 8, 6, 4, 2}, 2), 9.0);
        QCOMPARE(smaLatest({10, 8, 6, 4, 2}, 2), 9.0);
        // Up to period + 1 values an EMA is the SMA.
        compareNear(emaSeries({4, 3, 2, 1}, 3), {3, 2, 1.5, 1});
        QCOMPARE(emaLatest({}, 9), 0.0);
        QCOMPARE(smaLatest({}, 9), 0.0);
    }

    void smaIsTheMeanOfItsWindow_data()
    {
        QTest::addColumn<QVector<double>>("values");
        QTest::addColumn<int>("period");
        QTest::newRow("a spike gone from the window") << QVector<double>{1, 1, 1, 1e17} << 2;
        QTest::newRow("huge values of both signs gone") << QVector<double>{3, 5, 1e300, -1e300, 7} << 2;
        QTest::newRow("SMA(1) is the newest price") << prices(600) << 1;
        QTest::newRow("ordinary prices") << prices(600) << 50;
        QTest::newRow("a full history window") << prices(600) << 600;
        QTest::newRow("a spike long gone") << prices(600, 1e15, 300) << 20;
        QTest::newRow("a spike just gone") << prices(600, 1e15, 7) << 7;
        QTest::newRow("SMA(2)") << prices(30) << 2;
        QTest::newRow("SMA(5)") << prices(250) << 5;
        QTest::newRow("SMA(14)") << prices(600) << 14;
        QTest::newRow("SMA(200)") << prices(600) << 200;
    }

    // Every form (the latest value, the series, the sliding form, the EMA's seed) gives the mean of the
    // window's own values: within 1e-12 of the exact mean, and bit for bit the same in every form.
    void smaIsTheMeanOfItsWindow()
    {
        QFETCH(QVector<double>, values);
        QFETCH(int, period);
        auto exactMean = [&](int j) {
            const int window = std::min(period, values.size() - j);
            long double sum = 0;
            for (int i = j; i < j + window; ++i)
                sum += values[i];
            return double(sum / window);
        };
        const double expected = exactMean(0);
        const double latest = smaLatest(values, period);
        QVERIFY2(std::fabs(latest - expected) <= (period == 1 ? 0 : 1e-12) * std::fabs(expected),
                 qPrintable(QString("%1 != %2").arg(latest, 0, 'g', 17).arg(expected, 0, 'g', 17)));
        const QVector<double> series = smaSeries(values, period);
        QVERIFY2(std::memcmp(&series[0], &latest, sizeof latest) == 0,
                 qPrintable(QString("%1 != %2").arg(series[0], 0, 'g', 17).arg(latest, 0, 'g', 17)));
        for (int j = 0; j < values.size(); ++j)
            QVERIFY2(std::fabs(series[j] - exactMean(j)) <= 1e-12 * std::fabs(exactMean(j)), qPrintable(QString::number(j)));
        SlidingIndicator sliding(SlidingIndicator::Kind::Sma, period);
        BlockHistory history;
        double slid = 0;
        for (int i = values.size() - 1; i >= 0; --i)
            slid = sliding.push(history, values[i]);
        QCOMPARE(slid, latest);
        // With period + 1 values the newest EMA value is its seed, the newest window's mean.
        if (values.size() > period) {
            const QVector<double> seedOnly = values.mid(0, period + 1);
            QCOMPARE(emaLatest(seedOnly, period), latest);
            QCOMPARE(emaSeries(seedOnly, period).first(), latest);
        }
    }

    void rsi()
    {
        // Averages start at zero. Closes 1, 2, 4, 3 with period 3: changes +1, +2, -1 give
        // G = 1/3, (2 + 2/3) / 3 = 8/9, (8/9 * 2) / 3 = 16/27 and L = 0, 0, 1/3 = 9/27: RSI = 16/25 = 64.
        QVERIFY(near(computeRsi({3, 4, 2, 1}, 3), 64.0));
        // Closes 10, 11, 10 with period 2: G = 0.5 then 0.25, L = 0 then 0.5.
        QVERIFY(near(computeRsi({10, 11, 10}, 2), 100.0 / 3));
        QCOMPARE(computeRsi({42.0}, 14), 50.0);
        QCOMPARE(computeRsi({5, 5, 5, 5}, 3), 50.0);
        QCOMPARE(computeRsi({5, 4, 3, 2, 1}, 3), 100.0);
        QCOMPARE(computeRsi({1, 2, 3, 4, 5}, 3), 0.0);
        double gain = 0, loss = 0;
        QCOMPARE(rsiStep(1.0, 2, gain, loss), 100.0);
        QVERIFY(near(rsiStep(-1.0, 2, gain, loss), 100.0 / 3));
        gain = loss = 0;
        QCOMPARE(rsiStep(0.0, 14, gain, loss), -1.0);
    }

    void atrAndAdx()
    {
        const QVector<StoredCandle> c = workedCandles();
        // ATR(2): (2 + 3) / 2 = 2.5, then (2.5 + 3) / 2, (2.75 + 5) / 2, (3.875 + 8) / 2.
        compareNear(atrSeries(c, 2), {0, 0, 2.5, 2.75, 3.875, 5.9375});
        compareNear(atrSeries(c.mid(0, 2), 2), {0, 0});
        // ADX(2) over the first five candles. +DM 1, 2, 0, 3 and -DM 0, 0, 1, 0. Sums at 2: TR 5, +DM 3,
        // -DM 0, so DX 100. At 3: TR 5 - 2.5 + 3 = 5.5, +DM 1.5, -DM 1: DX = 100 * 0.5 / 2.5 = 20. At 4:
        // TR 7.75, +DM 3.75, -DM 0.5: DX = 100 * 3.25 / 4.25 = 1300/17. ADX = (60 + 1300/17) / 2 = 1160/17.
        compareNear(adxSeries(c.mid(0, 5), 2), {0, 0, 0, 0, 1160.0 / 17});
        compareNear(adxSeries(c.mid(0, 4), 2), {0, 0, 0, 0});
    }

    void vwapBollingerMacd()
    {
        // Typical prices 10, 12, 9 with volumes 0, 10, 30: the first has no volume yet, then 120 / 10,
        // then (120 + 270) / 40.
        compareNear(vwapSeries({hlc(12, 8, 10, 0), hlc(14, 10, 12, 10), hlc(11, 8, 8, 30)}), {10, 12, 9.75});

        // Bollinger(3, 2) of 1, 2, 3, 5: at 2 the mean is 2 and the sample deviation 1; at 3 the mean is
        // 10/3 and the variance (16 + 1 + 25) / 9 / 2 = 7/3.
        const BollingerBands b = bollingerBands({1, 2, 3, 5}, 3, 2.0);
        const double sd = std::sqrt(7.0 / 3);
        compareNear(b.middle, {0, 0, 2, 10.0 / 3});
        compareNear(b.upper, {0, 0, 4, 10.0 / 3 + 2 * sd});
        compareNear(b.lower, {0, 0, 0, 10.0 / 3 - 2 * sd});
        compareNear(bollingerBands({7, 9}, 1, 2.0).upper, {7, 9});  // one value: no deviation

        // MACD(2, 3, 2) of 1, 2, 3, 4, 6. Slow seed mean(1, 2, 3) = 2; fast seed mean(1, 2) = 1.5 moved to
        // 2/3 * 3 + 1/3 * 1.5 = 2.5. MACD at 2: 0.5. At 3: fast 3.5, slow 3. At 4: fast 31/6, slow 4.5.
        // Signal from 3: mean(0.5, 0.5), then 2/3 * 2/3 + 1/3 * 0.5 = 11/18.
        const MacdSeries m = macdSeries({1, 2, 3, 4, 6}, 2, 3, 2);
        compareNear(m.macd, {0, 0, 0.5, 0.5, 2.0 / 3});
        compareNear(m.signal, {0, 0, 0, 0.5, 11.0 / 18});
        compareNear(m.histogram, {0, 0, 0, 0, 1.0 / 18});
        compareNear(macdSeries({1, 2}, 2, 3, 2).macd, {0, 0});
        compareNear(macdSeries({1, 2, 3}, 5, 2, 2).macd, {0, 0, 0});  // fast longer than the input
    }

    void supertrendFlipsOnBandBreak()
    {
        // Period 2, multiplier 1, ATR as above. At 2: bands 11.5 -/+ 2.5, up, line 9. At 3: the upper band
        // tightens to 13.25, the lower stays 9. At 4: the lower rises to 9.125. At 5 the close of 7 breaks
        // it: down, and the line is the upper band, reset to 8 + 5.9375 because the previous close (14) was
        // above the old one.
        const SupertrendSeries s = supertrendSeries(workedCandles(), 2, 1.0);
        compareNear(s.line, {0, 0, 9, 9, 9.125, 13.9375});
        QCOMPARE(s.up, (QVector<bool>{true, true, true, true, true, false}));
        compareNear(supertrendSeries(workedCandles().mid(0, 2), 2, 1.0).line, {0, 0});
    }

    void swingMarkers()
    {
        QMap<QString, StoredCandle> map;
        const double hl[5][2] = {{20, 19}, {10, 9}, {15, 14}, {12, 11}, {14, 13}};
        for (int i = 0; i < 5; ++i) {
            StoredCandle c;
            c.date = QString("2024-03-0%1").arg(i + 1);
            c.high = hl[i][0];
            c.low = hl[i][1];
            map.insert(c.date, c);
        }
        const QVector<StoredCandle> marks = ::swingMarkers(map);
        QCOMPARE(marks.size(), 2);
        QCOMPARE(marks[0].date, QString("2024-03-02"));
        QCOMPARE(marks[0].spare, QString("L"));
        QCOMPARE(marks[1].date, QString("2024-03-03"));
        QCOMPARE(marks[1].spare, QString("H"));
        QCOMPARE(map.first().spare, QString());  // the input is only read
        QVERIFY(::swingMarkers({}).isEmpty());
        QVERIFY(::swingMarkers({{"a", map.first()}}).isEmpty());
    }

    void nonPositivePeriodsAreNeutral_data()
    {
        QTest::addColumn<int>("period");
        QTest::newRow("zero") << 0;
        QTest::newRow("negative") << -5;
        QTest::newRow("most negative") << std::numeric_limits<int>::min();
    }

    void nonPositivePeriodsAreNeutral()
    {
        QFETCH(int, period);
        const QVector<double> v{5, 4, 6, 3, 7, 2};
        const QVector<StoredCandle> c = workedCandles();
        const QVector<double> zeros(6, 0.0);
        QCOMPARE(computeRsi(v, period), 50.0);
        QCOMPARE(smaSeries(v, period), zeros);
        QCOMPARE(emaSeries(v, period), zeros);
        QCOMPARE(wilderSeries(v, period), zeros);
        QCOMPARE(emaLatest(v, period), 0.0);
        QCOMPARE(atrSeries(c, period), zeros);
        QCOMPARE(adxSeries(c, period), zeros);
        QCOMPARE(bollingerBands(v, period, 2).upper, zeros);
        QCOMPARE(macdSeries(v, period, 3, 2).macd, zeros);
        QCOMPARE(supertrendSeries(c, period, 3).line, zeros);
        double g = 1, l = 1;
        QCOMPARE(rsiStep(1.0, period, g, l), -1.0);
        // Huge periods must not overflow their index arithmetic either.
        QCOMPARE(emaSeries(v, std::numeric_limits<int>::max()), smaSeries(v, std::numeric_limits<int>::max()));
        QCOMPARE(adxSeries(c, std::numeric_limits<int>::max()), zeros);
        QCOMPARE(macdSeries(v, 2, std::numeric_limits<int>::max(), std::numeric_limits<int>::max()).macd, zeros);
    }
};

QTEST_GUILESS_MAIN(TestIndicators)
#include "tst_indicators.moc"
