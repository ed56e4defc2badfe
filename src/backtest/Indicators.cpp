// Indicator series: RSI, SMA, EMA, Wilder, ATR, ADX, VWAP, Bollinger, MACD, supertrend, swing markers.
#include "backtest/Indicators.h"

#include <algorithm>
#include <cmath>

namespace {

// The single steps of the walks below. The strategy blocks' sliding forms (SlidingIndicator) repeat
// them operation for operation, so that their results are bit-for-bit those of a full walk.
inline double emaStep(double previous, double value, double k)
{
    return previous + (value - previous) * k;
}

inline void rsiStepRaw(double change, double p, double& gain, double& loss)
{
    const double keep = p - 1.0;
    gain = (std::max(change, 0.0) + gain * keep) / p;
    loss = (std::max(-change, 0.0) + loss * keep) / p;
}

inline double emaFactor(int period)
{
    return 2.0 / (static_cast<double>(period) + 1.0);
}

// The window sum of windowMean, in its order.
inline double windowSum(const double* newestFirst, int count)
{
    double sum = 0.0;
    for (int k = count - 1; k >= 0; --k)
        sum += newestFirst[k];
    return sum;
}

// A window sum in four lanes (no dependent chain of adds): the series' fresh sums need no given order.
double laneSum(const double* values, int count)
{
    double l0 = 0.0, l1 = 0.0, l2 = 0.0, l3 = 0.0;
    int k = 0;
    for (; k + 3 < count; k += 4) {
        l0 += values[k];
        l1 += values[k + 1];
        l2 += values[k + 2];
        l3 += values[k + 3];
    }
    for (; k < count; ++k)
        l0 += values[k];
    return (l0 + l1) + (l2 + l3);
}

// The means at positions n-1 down to stopAt of n values (newest first) into `out`, each windowMean's
// bits. The windows that reach the oldest value share one running sum, which adds in windowMean's order.
void smaWindows(const double* values, int n, int period, int stopAt, double* out)
{
    double sum = 0.0;
    for (int j = n - 1; j >= stopAt; --j) {
        const qint64 count = std::min<qint64>(period, static_cast<qint64>(n) - j);
        if (count < period) {
            sum += values[j];
            out[j] = sum / static_cast<double>(count);
        } else {
            out[j] = windowSum(values + j, period) / static_cast<double>(period);
        }
    }
}

// EMA seeded by the window means over the oldest period + 1 positions (positions n-1 down to
// n-period-1), then prev + (v - prev) * k toward the newest.
QVector<double> seededEma(const QVector<double>& values, int period, double k)
{
    const int n = values.size();
    QVector<double> out(n, 0.0);
    if (period < 1 || n == 0)
        return out;
    const qint64 lastSeeded = static_cast<qint64>(n) - period - 1;
    smaWindows(values.constData(), n, period, static_cast<int>(std::max<qint64>(lastSeeded, 0)), out.data());
    for (qint64 j = std::min<qint64>(lastSeeded - 1, n - 2); j >= 0; --j)
        out[j] = emaStep(out[j + 1], values[j], k);
    return out;
}

double trueRange(const QVector<StoredCandle>& c, int i)
{
    if (i == 0)
        return 0.0;
    const double prevClose = c[i - 1].close;
    return std::max({c[i].high - c[i].low, std::fabs(c[i].high - prevClose), std::fabs(c[i].low - prevClose)});
}

}  // namespace

double windowMean(double newest, const double* older, int count)
{
    return (windowSum(older, count - 1) + newest) / static_cast<double>(count);
}

double computeRsi(const QVector<double>& closes, int period)
{
    return computeRsi(closes.constData(), closes.size(), period);
}

double computeRsi(const double* closes, int n, int period)
{
    if (n < 2 || period < 1)
        return 50.0;
    double gain = 0.0, loss = 0.0;
    for (int i = n - 2; i >= 0; --i)
        rsiStepRaw(closes[i] - closes[i + 1], period, gain, loss);
    return gain + loss > 0.0 ? 100.0 * gain / (gain + loss) : 50.0;
}

double rsiStep(double change, int period, double& avgGain, double& avgLoss)
{
    if (period < 1)
        return -1.0;
    rsiStepRaw(change, period, avgGain, avgLoss);
    if (avgGain + avgLoss > 0.0)
        return 100.0 * avgGain / (avgGain + avgLoss);
    return -1.0;
}

QVector<double> smaSeries(const QVector<double>& values, int period)
{
    const int n = values.size();
    QVector<double> out(n, 0.0);
    if (period < 1 || n == 0)
        return out;
    const double* v = values.constData();
    const qint64 firstFull = static_cast<qint64>(n) - period;  // the oldest position with a full window
    smaWindows(v, n, period, static_cast<int>(std::max<qint64>(firstFull, 0)), out.data());
    // Newer windows from a running sum, summed afresh every `period` steps and whenever it has fallen
    // below half of the largest sum since: subtracting has then cancelled leading digits and the
    // rounding of the larger sums (a spike that has left, say) would show. In between, each step adds
    // at most a few roundings of the current sum, so the mean stays within about 7 * period units in
    // the last place of the exact one.
    const double p = period;
    double* o = out.data();
    for (qint64 j = firstFull - 1; j >= 0;) {
        double sum = laneSum(v + j, period);
        double peak = std::fabs(sum);
        o[j] = sum / p;
        const qint64 last = std::max<qint64>(j - period + 1, 0);
        for (--j; j >= last; --j) {
            sum = (sum + v[j]) - v[j + period];
            const double size = std::fabs(sum);
            if (peak > 2.0 * size)
                break;  // summed afresh at this position
            peak = std::max(peak, size);
            o[j] = sum / p;
        }
    }
    // The newest value is the one the strategy blocks read through smaLatest: summed afresh, so the
    // series agrees with it to the bit.
    if (firstFull > 0)
        o[0] = windowMean(v[0], v + 1, period);
    return out;
}

QVector<double> emaSeries(const QVector<double>& values, int period)
{
    if (period < 1)
        return QVector<double>(values.size(), 0.0);
    return seededEma(values, period, emaFactor(period));
}

QVector<double> wilderSeries(const QVector<double>& values, int period)
{
    if (period < 1)
        return QVector<double>(values.size(), 0.0);
    return seededEma(values, period, 1.0 / static_cast<double>(period));
}

double smaLatest(const QVector<double>& values, int period)
{
    return smaLatest(values.constData(), values.size(), period);
}

double emaLatest(const QVector<double>& values, int period)
{
    return emaLatest(values.constData(), values.size(), period);
}

double smaLatest(const double* values, int n, int period)
{
    if (period < 1 || n == 0)
        return 0.0;
    return windowMean(values[0], values + 1, static_cast<int>(std::min<qint64>(period, n)));
}

double emaLatest(const double* values, int n, int period)
{
    if (period < 1 || n == 0)
        return 0.0;
    const double k = emaFactor(period);
    // The newest seeded position; everything newer follows the recursion.
    const qint64 lastSeeded = std::max<qint64>(static_cast<qint64>(n) - period - 1, 0);
    const int seedAt = static_cast<int>(lastSeeded);
    double prev = windowMean(values[seedAt], values + seedAt + 1, static_cast<int>(std::min<qint64>(period, n - seedAt)));
    for (qint64 j = lastSeeded - 1; j >= 0; --j)
        prev = emaStep(prev, values[j], k);
    return prev;
}

QVector<double> atrSeries(const QVector<StoredCandle>& candles, int period)
{
    const int n = candles.size();
    QVector<double> out(n, 0.0);
    if (period < 1 || n <= period)
        return out;
    const double p = period;
    double sum = 0.0;
    for (int i = 1; i <= period; ++i)
        sum += trueRange(candles, i);
    out[period] = sum / p;
    for (int i = period + 1; i < n; ++i)
        out[i] = ((p - 1.0) * out[i - 1] + trueRange(candles, i)) / p;
    return out;
}

QVector<double> adxSeries(const QVector<StoredCandle>& candles, int period)
{
    const int n = candles.size();
    QVector<double> out(n, 0.0);
    if (period < 1 || n <= 2 * static_cast<qint64>(period))
        return out;
    const double p = period;
    auto directional = [](double t, double pl, double mi) {
        if (t <= 0.0)
            return 0.0;
        const double plusDi = 100.0 * pl / t;
        const double minusDi = 100.0 * mi / t;
        const double sum = plusDi + minusDi;
        return sum > 0.0 ? 100.0 * std::fabs(plusDi - minusDi) / sum : 0.0;
    };
    const int first = 2 * period;
    double t = 0.0, pl = 0.0, mi = 0.0, dxSum = 0.0;
    for (int i = 1; i < n; ++i) {
        const double tr = trueRange(candles, i);
        const double up = candles[i].high - candles[i - 1].high;
        const double down = candles[i - 1].low - candles[i].low;
        const double plusDm = up > down ? std::max(up, 0.0) : 0.0;
        const double minusDm = down > up ? std::max(down, 0.0) : 0.0;
        if (i <= period) {
            // Plain sums over the first `period` moves; DX starts at `period`.
            t += tr;
            pl += plusDm;
            mi += minusDm;
            if (i < period)
                continue;
        } else {
            t = t - t / p + tr;
            pl = pl - pl / p + plusDm;
            mi = mi - mi / p + minusDm;
        }
        const double dx = directional(t, pl, mi);
        if (i < first)
            dxSum += dx;
        else if (i == first)
            // Wilder's first ADX: the mean of the first `period` DX values carried one smoothing step
            // with DX[2p], so that no DX value is skipped.
            out[i] = ((p - 1.0) * (dxSum / p) + dx) / p;
        else
            out[i] = ((p - 1.0) * out[i - 1] + dx) / p;
    }
    return out;
}

QVector<double> vwapSeries(const QVector<StoredCandle>& candles)
{
    QVector<double> out(candles.size(), 0.0);
    double pv = 0.0;
    double vol = 0.0;
    for (int i = 0; i < candles.size(); ++i) {
        const StoredCandle& c = candles[i];
        const double typical = (c.high + c.low + c.close) / 3.0;
        pv += typical * c.volume;
        vol += c.volume;
        out[i] = vol > 0.0 ? pv / vol : typical;
    }
    return out;
}

BollingerBands bollingerBands(const QVector<double>& values, int period, double width)
{
    const int n = values.size();
    BollingerBands b{QVector<double>(n, 0.0), QVector<double>(n, 0.0), QVector<double>(n, 0.0)};
    if (period < 1 || period - 1 >= n)
        return b;
    for (int i = period - 1; i < n; ++i) {
        double sum = 0.0;
        for (int j = i - period + 1; j <= i; ++j)
            sum += values[j];
        const double mean = sum / period;
        double dev = 0.0;
        if (period > 1) {
            double sq = 0.0;
            for (int j = i - period + 1; j <= i; ++j)
                sq += (values[j] - mean) * (values[j] - mean);
            dev = std::sqrt(sq / (period - 1));
        }
        b.upper[i] = mean + width * dev;
        b.middle[i] = mean;
        b.lower[i] = mean - width * dev;
    }
    return b;
}

MacdSeries macdSeries(const QVector<double>& values, int fast, int slow, int signal)
{
    const int n = values.size();
    MacdSeries m{QVector<double>(n, 0.0), QVector<double>(n, 0.0), QVector<double>(n, 0.0)};
    // A fast period longer than the input would read past its end.
    if (fast < 1 || slow < 1 || signal < 1 || n < slow || n < fast)
        return m;
    const double kF = 2.0 / (fast + 1.0);
    const double kS = 2.0 / (slow + 1.0);
    const double kG = 2.0 / (signal + 1.0);
    double slowAvg = 0.0;
    for (int i = 0; i < slow; ++i)
        slowAvg += values[i];
    slowAvg /= slow;
    double fastAvg = 0.0;
    for (int i = 0; i < fast; ++i)
        fastAvg += values[i];
    fastAvg /= fast;
    for (int i = fast; i <= slow - 1; ++i)
        fastAvg = kF * values[i] + (1.0 - kF) * fastAvg;
    m.macd[slow - 1] = fastAvg - slowAvg;
    for (int i = slow; i < n; ++i) {
        fastAvg = kF * values[i] + (1.0 - kF) * fastAvg;
        slowAvg = kS * values[i] + (1.0 - kS) * slowAvg;
        m.macd[i] = fastAvg - slowAvg;
    }
    const qint64 start = static_cast<qint64>(slow) + signal - 2;
    if (start < n) {
        double sig = 0.0;
        for (qint64 i = slow - 1; i <= start; ++i)
            sig += m.macd[i];
        sig /= signal;
        m.signal[start] = sig;
        m.histogram[start] = m.macd[start] - sig;
        for (qint64 i = start + 1; i < n; ++i) {
            sig = kG * m.macd[i] + (1.0 - kG) * sig;
            m.signal[i] = sig;
            m.histogram[i] = m.macd[i] - sig;
        }
    }
    return m;
}

SupertrendSeries supertrendSeries(const QVector<StoredCandle>& candles, int period, double multiplier)
{
    const int n = candles.size();
    SupertrendSeries s{QVector<double>(n, 0.0), QVector<bool>(n, true)};
    if (period < 1 || n <= period)
        return s;
    const QVector<double> atr = atrSeries(candles, period);
    double upper = 0.0;
    double lower = 0.0;
    bool up = true;
    for (int i = period; i < n; ++i) {
        const StoredCandle& c = candles[i];
        const double mid = (c.high + c.low) / 2.0;
        const double basicUpper = mid + multiplier * atr[i];
        const double basicLower = mid - multiplier * atr[i];
        if (i == period) {
            upper = basicUpper;
            lower = basicLower;
        } else {
            const double prevClose = candles[i - 1].close;
            if (basicUpper < upper || prevClose > upper)
                upper = basicUpper;
            if (basicLower > lower || prevClose < lower)
                lower = basicLower;
        }
        if (!up && c.close > upper)
            up = true;
        else if (up && c.close < lower)
            up = false;
        s.up[i] = up;
        s.line[i] = up ? lower : upper;
    }
    return s;
}

QVector<StoredCandle> swingMarkers(const QMap<QString, StoredCandle>& candles)
{
    QVector<StoredCandle> out;
    const QVector<StoredCandle> bars = candles.values().toVector();
    const int n = bars.size();
    if (n < 2)
        return out;
    const int reach = 59;
    int highCandidate = -1;
    int lowCandidate = -1;
    bool highMarked = false;
    bool lowMarked = false;
    double prevHigh = bars[0].high;
    double prevLow = bars[0].low;
    for (int i = 1; i < n; ++i) {
        const int left = std::max(1, i - reach);
        const int right = std::min(n - 1, i + reach);
        const double hi = bars[i].high;
        const double lo = bars[i].low;

        bool isHigh = hi > prevHigh;
        for (int j = left; isHigh && j <= right; ++j) {
            if (j != i && bars[j].high > hi)
                isHigh = false;
        }
        if (isHigh) {
            highCandidate = i;
            highMarked = false;
        } else if (highCandidate >= 0 && !highMarked && bars[highCandidate].high > 1.03 * hi) {
            StoredCandle marked = bars[highCandidate];
            marked.spare = QStringLiteral("H");
            out.append(marked);
            highMarked = true;
        }

        bool isLow = lo < prevLow;
        for (int j = left; isLow && j <= right; ++j) {
            if (j != i && bars[j].low < lo)
                isLow = false;
        }
        if (isLow) {
            lowCandidate = i;
            lowMarked = false;
        } else if (lowCandidate >= 0 && !lowMarked && bars[lowCandidate].low < 1.03 * lo) {
            StoredCandle marked = bars[lowCandidate];
            marked.spare = QStringLiteral("L");
            out.append(marked);
            lowMarked = true;
        }

        prevHigh = hi;
        prevLow = lo;
    }
    return out;
}
