// Indicators against plain textbook loops written here, on generated series, plus the worked examples.
#include "backtest/Indicators.h"

#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>
#include <cmath>

namespace {

// A seeded random walk of n closes, oldest first.
QVector<double> walk(int n, quint32 seed)
{
    QRandomGenerator rng(seed);
    QVector<double> v;
    double price = 1000.0;
    for (int i = 0; i < n; ++i) {
        price = std::max(1.0, price + (rng.generateDouble() - 0.5) * 8.0);
        v.append(price);
    }
    return v;
}

QVector<StoredCandle> candles(int n, quint32 seed)
{
    QRandomGenerator rng(seed);
    QVector<StoredCandle> out;
    double close = 500.0;
    for (int i = 0; i < n; ++i) {
        StoredCandle c;
        c.open = close + (rng.generateDouble() - 0.5) * 4.0;
        c.close = std::max(1.0, c.open + (rng.generateDouble() - 0.5) * 10.0);
        c.high = std::max(c.open, c.close) + rng.generateDouble() * 3.0;
        c.low = std::min(c.open, c.close) - rng.generateDouble() * 3.0;
        c.volume = int(rng.bounded(100000));
        close = c.close;
        out.append(c);
    }
    return out;
}

QVector<double> reversed(QVector<double> v)
{
    std::reverse(v.begin(), v.end());
    return v;
}

void compareSeries(const QVector<double>& actual, const QVector<double>& expected, double tolerance)
{
    QCOMPARE(actual.size(), expected.size());
    for (int i = 0; i < actual.size(); ++i) {
        const double scale = std::max(1.0, std::fabs(expected[i]));
        if (std::fabs(actual[i] - expected[i]) > tolerance * scale)
            QFAIL(qPrintable(QString("index %1: %2 != %3").arg(i).arg(actual[i], 0, 'g', 17).arg(expected[i], 0, 'g', 17)));
    }
}

// --- references, in chronological order (index 0 the oldest) ---

// Mean of the last `period` values up to i (fewer at the start).
QVector<double> refSma(const QVector<double>& c, int period)
{
    QVector<double> out(c.size());
    for (int i = 0; i < c.size(); ++i) {
        const int from = std::max(0, i - period + 1);
        double s = 0;
        for (int j = from; j <= i; ++j)
            s += c[j];
        out[i] = s / (i - from + 1);
    }
    return out;
}

// The engine's EMA: the first period + 1 values carry the (partial) SMA, then the usual recursion.
QVector<double> refEma(const QVector<double>& c, int period, double k)
{
    QVector<double> out = refSma(c, period);
    for (int i = period + 1; i < c.size(); ++i)
        out[i] = out[i - 1] + k * (c[i] - out[i - 1]);
    return out;
}

// Textbook Wilder RSI: simple averages of the first `period` changes, then Wilder smoothing.
double refWilderRsi(const QVector<double>& c, int period)
{
    double gain = 0, loss = 0;
    for (int i = 1; i <= period; ++i) {
        const double d = c[i] - c[i - 1];
        (d > 0 ? gain : loss) += std::fabs(d);
    }
    gain /= period;
    loss /= period;
    for (int i = period + 1; i < c.size(); ++i) {
        const double d = c[i] - c[i - 1];
        gain = (gain * (period - 1) + (d > 0 ? d : 0)) / period;
        loss = (loss * (period - 1) + (d < 0 ? -d : 0)) / period;
    }
    return loss == 0 ? 100.0 : 100.0 - 100.0 / (1.0 + gain / loss);
}

double tr(const QVector<StoredCandle>& c, int i)
{
    return std::max({c[i].high - c[i].low, std::fabs(c[i].high - c[i - 1].close), std::fabs(c[i].low - c[i - 1].close)});
}

// Textbook Wilder ATR: first value the mean of the first `period` true ranges.
QVector<double> refAtr(const QVector<StoredCandle>& c, int period)
{
    QVector<double> out(c.size(), 0.0);
    if (c.size() <= period)
        return out;
    double s = 0;
    for (int i = 1; i <= period; ++i)
        s += tr(c, i);
    out[period] = s / period;
    for (int i = period + 1; i < c.size(); ++i)
        out[i] = (out[i - 1] * (period - 1) + tr(c, i)) / period;
    return out;
}

// Textbook Wilder ADX: smoothed TR and DM, DX from the DIs, the first ADX the mean of the first
// `period` DX values (at 2p - 1), then Wilder smoothing. Positions before 2p are zero in the engine.
QVector<double> refAdx(const QVector<StoredCandle>& c, int period)
{
    const int n = c.size();
    QVector<double> out(n, 0.0);
    if (n <= 2 * period)
        return out;
    double str = 0, spdm = 0, smdm = 0;
    QVector<double> dx(n, 0.0);
    for (int i = 1; i < n; ++i) {
        const double upMove = c[i].high - c[i - 1].high;
        const double downMove = c[i - 1].low - c[i].low;
        const double pdm = (upMove > downMove && upMove > 0) ? upMove : 0;
        const double mdm = (downMove > upMove && downMove > 0) ? downMove : 0;
        if (i <= period) {
            str += tr(c, i);
            spdm += pdm;
            smdm += mdm;
        } else {
            str = str - str / period + tr(c, i);
            spdm = spdm - spdm / period + pdm;
            smdm = smdm - smdm / period + mdm;
        }
        if (i >= period) {
            const double pdi = 100 * spdm / str, mdi = 100 * smdm / str;
            dx[i] = 100 * std::fabs(pdi - mdi) / (pdi + mdi);
        }
    }
    double adx = 0;
    for (int i = period; i < 2 * period; ++i)
        adx += dx[i];
    adx /= period;
    for (int i = 2 * period; i < n; ++i) {
        adx = (adx * (period - 1) + dx[i]) / period;
        out[i] = adx;
    }
    return out;
}

}  // namespace

class TestIndicators : public QObject {
    Q_OBJECT

private slots:
    void workedExamples();
    void smaAndEmaMatchReferences_data();
    void smaAndEmaMatchReferences();
    void latestValuesEqualSeriesHeads();
    void rsiSeedingStepAndConvergence();
    void atrAndAdxMatchWilder_data();
    void atrAndAdxMatchWilder();
    void vwapBollingerMacd();
    void supertrendFlipsOnBandBreaks();
    void swingMarkers();
    void nonPositivePeriodsAreNeutral_data();
    void nonPositivePeriodsAreNeutral();
};

void TestIndicators::workedExamples()
{
    QCOMPARE(smaSeries({3, 2, 1}, 2), QVector<double>({2.5, 1.5, 1}));
    QCOMPARE(emaSeries({4, 3, 2, 1}, 3), smaSeries({4, 3, 2, 1}, 3));
    QCOMPARE(computeRsi({42.0}, 14), 50.0);
    QCOMPARE(computeRsi({5, 5, 5, 5}, 3), 50.0);
    QCOMPARE(computeRsi({5, 4, 3, 2, 1}, 3), 100.0);  // newest first: rising
    QCOMPARE(computeRsi({1, 2, 3, 4, 5}, 3), 0.0);
}

void TestIndicators::smaAndEmaMatchReferences_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("period");
    QTest::newRow("shorter than period") << 5 << 9;
    QTest::newRow("period + 1") << 10 << 9;
    QTest::newRow("period + 2") << 11 << 9;
    QTest::newRow("long, period 1") << 300 << 1;
    QTest::newRow("long, period 20") << 600 << 20;
    QTest::newRow("long, period 200") << 2000 << 200;
}

void TestIndicators::smaAndEmaMatchReferences()
{
    QFETCH(int, length);
    QFETCH(int, period);
    const QVector<double> chrono = walk(length, quint32(length * 31 + period));
    const QVector<double> newest = reversed(chrono);
    compareSeries(smaSeries(newest, period), reversed(refSma(chrono, period)), 1e-12);
    compareSeries(emaSeries(newest, period), reversed(refEma(chrono, period, 2.0 / (period + 1))), 1e-12);
    compareSeries(wilderSeries(newest, period), reversed(refEma(chrono, period, 1.0 / period)), 1e-12);
}

void TestIndicators::latestValuesEqualSeriesHeads()
{
    for (int n : {1, 2, 9, 10, 11, 100, 600}) {
        const QVector<double> v = reversed(walk(n, quint32(n)));
        for (int p : {1, 2, 9, 14, 200}) {
            QCOMPARE(emaLatest(v, p), emaSeries(v, p).first());
            QCOMPARE(smaLatest(v, p), smaSeries(v, p).first());
        }
    }
    QCOMPARE(emaLatest({}, 9), 0.0);
    QCOMPARE(smaLatest({}, 9), 0.0);
}

void TestIndicators::rsiSeedingStepAndConvergence()
{
    // Zero-seeded: after two changes of +1 and -1 with period 2, G = 0.25 and L = 0.5.
    QCOMPARE(computeRsi({10, 11, 10}, 2), 100.0 * 0.25 / 0.75);
    // Long series: the zero seed has decayed and the textbook value is reached.
    const QVector<double> chrono = walk(2000, 99);
    QVERIFY(std::fabs(computeRsi(reversed(chrono), 14) - refWilderRsi(chrono, 14)) < 1e-9);

    // The running step follows the same smoothing, zero seed included.
    const QVector<double> shortWalk = walk(50, 5);
    double gain = 0, loss = 0, last = -1;
    for (int i = 1; i < shortWalk.size(); ++i)
        last = rsiStep(shortWalk[i] - shortWalk[i - 1], 14, gain, loss);
    QVERIFY(std::fabs(last - computeRsi(reversed(shortWalk), 14)) < 1e-12);
    gain = loss = 0;
    QCOMPARE(rsiStep(0.0, 14, gain, loss), -1.0);
}

void TestIndicators::atrAndAdxMatchWilder_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("period");
    // The references give zeros before the first value (ATR at p, ADX at 2p): the short rows check them.
    QTest::newRow("empty") << 0 << 14;
    QTest::newRow("p") << 14 << 14;
    QTest::newRow("p + 1") << 15 << 14;
    QTest::newRow("2p") << 28 << 14;
    QTest::newRow("2p + 1") << 29 << 14;
    QTest::newRow("2p + 2") << 30 << 14;
    QTest::newRow("long") << 1000 << 14;
    QTest::newRow("period 1") << 50 << 1;
    QTest::newRow("period 5") << 200 << 5;
}

void TestIndicators::atrAndAdxMatchWilder()
{
    QFETCH(int, length);
    QFETCH(int, period);
    const QVector<StoredCandle> c = candles(length, quint32(length + period));
    compareSeries(atrSeries(c, period), refAtr(c, period), 1e-12);
    // Every value from the first one on, not only after the start-up error has decayed.
    compareSeries(adxSeries(c, period), refAdx(c, period), 1e-9);
}

void TestIndicators::vwapBollingerMacd()
{
    QVector<StoredCandle> c = candles(20, 3);
    for (auto& x : c)
        x.volume = 0;
    const QVector<double> vw = vwapSeries(c);
    for (int i = 0; i < c.size(); ++i)
        QCOMPARE(vw[i], (c[i].high + c[i].low + c[i].close) / 3.0);
    c[3].volume = 10;
    c[5].volume = 30;
    const double t3 = (c[3].high + c[3].low + c[3].close) / 3, t5 = (c[5].high + c[5].low + c[5].close) / 3;
    QVERIFY(std::fabs(vwapSeries(c)[7] - (10 * t3 + 30 * t5) / 40) < 1e-9);

    const QVector<double> v = walk(60, 12);
    const BollingerBands b = bollingerBands(v, 20, 2.0);
    QCOMPARE(b.middle[18], 0.0);
    for (int i = 19; i < v.size(); ++i) {
        double mean = 0, sq = 0;
        for (int j = i - 19; j <= i; ++j)
            mean += v[j] / 20;
        for (int j = i - 19; j <= i; ++j)
            sq += (v[j] - mean) * (v[j] - mean);
        const double sd = std::sqrt(sq / 19);  // sample deviation
        QVERIFY(std::fabs(b.middle[i] - mean) < 1e-9);
        QVERIFY(std::fabs(b.upper[i] - (mean + 2 * sd)) < 1e-9);
        QVERIFY(std::fabs(b.lower[i] - (mean - 2 * sd)) < 1e-9);
    }

    // MACD from an EMA reference seeded by simple means.
    const MacdSeries m = macdSeries(v, 12, 26, 9);
    auto ema = [&](int period) {
        QVector<double> e(v.size(), 0.0);
        double a = 0;
        for (int i = 0; i < period; ++i)
            a += v[i] / period;
        e[period - 1] = a;
        for (int i = period; i < v.size(); ++i)
            e[i] = a = a + 2.0 / (period + 1) * (v[i] - a);
        return e;
    };
    const QVector<double> fast = ema(12), slow = ema(26);
    QCOMPARE(m.macd[24], 0.0);
    for (int i = 25; i < v.size(); ++i)
        QVERIFY(std::fabs(m.macd[i] - (fast[i] - slow[i])) < 1e-9);
    double sig = 0;
    for (int i = 25; i <= 33; ++i)
        sig += m.macd[i] / 9;
    QVERIFY(std::fabs(m.signal[33] - sig) < 1e-9);
    QCOMPARE(m.signal[32], 0.0);
    QVERIFY(std::fabs(m.histogram[34] - (m.macd[34] - m.signal[34])) < 1e-12);
    QCOMPARE(macdSeries(v.mid(0, 25), 12, 26, 9).macd, QVector<double>(25, 0.0));
    QCOMPARE(macdSeries(v.mid(0, 20), 30, 10, 9).macd, QVector<double>(20, 0.0));  // fast beyond the input
}

void TestIndicators::supertrendFlipsOnBandBreaks()
{
    // Steady rise, then a collapse: the trend must turn down on the break of the lower band.
    QVector<StoredCandle> c;
    for (int i = 0; i < 30; ++i) {
        StoredCandle x;
        x.close = i < 20 ? 100 + i : 60 - i;
        x.open = x.close;
        x.high = x.close + 1;
        x.low = x.close - 1;
        c.append(x);
    }
    const SupertrendSeries s = supertrendSeries(c, 5, 2.0);
    QCOMPARE(s.line[4], 0.0);
    QVERIFY(s.up[19]);
    QVERIFY(s.line[19] < c[19].close);
    QVERIFY(!s.up[20]);
    QVERIFY(s.line[25] > c[25].close);
    QCOMPARE(supertrendSeries(c.mid(0, 5), 5, 2.0).line, QVector<double>(5, 0.0));
}

void TestIndicators::swingMarkers()
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

void TestIndicators::nonPositivePeriodsAreNeutral_data()
{
    QTest::addColumn<int>("period");
    QTest::newRow("zero") << 0;
    QTest::newRow("negative") << -5;
    QTest::newRow("most negative") << std::numeric_limits<int>::min();
}

void TestIndicators::nonPositivePeriodsAreNeutral()
{
    QFETCH(int, period);
    const QVector<double> v = walk(40, 1);
    const QVector<StoredCandle> c = candles(40, 2);
    const QVector<double> zeros(40, 0.0);
    QCOMPARE(computeRsi(v, period), 50.0);
    QCOMPARE(smaSeries(v, period), zeros);
    QCOMPARE(emaSeries(v, period), zeros);
    QCOMPARE(wilderSeries(v, period), zeros);
    QCOMPARE(emaLatest(v, period), 0.0);
    QCOMPARE(atrSeries(c, period), zeros);
    QCOMPARE(adxSeries(c, period), zeros);
    QCOMPARE(bollingerBands(v, period, 2).upper, zeros);
    QCOMPARE(macdSeries(v, period, 26, 9).macd, zeros);
    QCOMPARE(supertrendSeries(c, period, 3).line, zeros);
    double g = 1, l = 1;
    QCOMPARE(rsiStep(1.0, period, g, l), -1.0);
    // Huge periods must not overflow their index arithmetic either.
    QCOMPARE(emaSeries(v, std::numeric_limits<int>::max()), smaSeries(v, std::numeric_limits<int>::max()));
    QCOMPARE(adxSeries(c, std::numeric_limits<int>::max()), zeros);
    QCOMPARE(macdSeries(v, 12, std::numeric_limits<int>::max(), std::numeric_limits<int>::max()).macd, zeros);
}

QTEST_GUILESS_MAIN(TestIndicators)
#include "tst_indicators.moc"
