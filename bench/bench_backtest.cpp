// Backtest engine hot paths: indicator series, SQLite bulk load and day reads, the strategy bar pass.
#include "backtest/BacktestAgent.h"
#include "backtest/Indicators.h"
#include "backtest/SQLiteOHLCStore.h"
#include "backtest/StrategyEvaluator.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTime>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cmath>
#include <cstring>
#include <ctime>

namespace {

QVector<double> randomWalk(int n)
{
    QRandomGenerator rng(42);
    QVector<double> v(n);
    double p = 1000;
    for (int i = 0; i < n; ++i)
        v[i] = p = std::max(1.0, p + (rng.generateDouble() - 0.5) * 4);
    return v;
}

QVector<StoredCandle> randomCandles(int n)
{
    const QVector<double> closes = randomWalk(n);
    QVector<StoredCandle> c(n);
    for (int i = 0; i < n; ++i) {
        c[i].open = i ? closes[i - 1] : closes[i];
        c[i].close = closes[i];
        c[i].high = std::max(c[i].open, c[i].close) + 0.5;
        c[i].low = std::min(c[i].open, c[i].close) - 0.5;
        c[i].volume = 1000 + i % 500;
    }
    return c;
}

// A year of minute candles: 250 weekdays of 375 bars from 09:15.
QVector<StoredCandle> yearOfMinutes()
{
    QVector<StoredCandle> out;
    const QStringList days = tradingDaysBetween("2024-01-01", "2024-12-31").mid(0, 250);
    const QVector<double> closes = randomWalk(days.size() * 375);
    QStringList times;
    for (int m = 0; m < 375; ++m)
        times.append(QTime(9, 15).addSecs(60 * m).toString("HH:mm:ss"));
    int k = 0;
    for (const QString& d : days) {
        for (const QString& t : times) {
            StoredCandle c;
            c.date = d;
            c.time = t;
            c.open = c.close = closes[k++];
            c.high = c.close + 0.5;
            c.low = c.close - 0.5;
            c.volume = 1000;
            out.append(c);
        }
    }
    return out;
}

constexpr int kSeries = 1000000;

void BM_MemcpyBaseline(benchmark::State& state)
{
    const QVector<double> v = randomWalk(kSeries);
    QVector<double> out(kSeries);
    for (auto _ : state) {
        std::memcpy(out.data(), v.constData(), sizeof(double) * kSeries);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kSeries);
}
BENCHMARK(BM_MemcpyBaseline)->Unit(benchmark::kMillisecond);

template <typename F>
void seriesBench(benchmark::State& state, F f)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(f());
    state.SetItemsProcessed(state.iterations() * kSeries);
}

void BM_Sma200(benchmark::State& s) { const auto v = randomWalk(kSeries); seriesBench(s, [&] { return smaSeries(v, 200); }); }
void BM_Ema9(benchmark::State& s) { const auto v = randomWalk(kSeries); seriesBench(s, [&] { return emaSeries(v, 9); }); }
void BM_Wilder14(benchmark::State& s) { const auto v = randomWalk(kSeries); seriesBench(s, [&] { return wilderSeries(v, 14); }); }
void BM_Rsi14(benchmark::State& s) { const auto v = randomWalk(kSeries); seriesBench(s, [&] { return computeRsi(v, 14); }); }
void BM_Atr14(benchmark::State& s) { const auto c = randomCandles(kSeries); seriesBench(s, [&] { return atrSeries(c, 14); }); }
void BM_Adx14(benchmark::State& s) { const auto c = randomCandles(kSeries); seriesBench(s, [&] { return adxSeries(c, 14); }); }
void BM_Vwap(benchmark::State& s) { const auto c = randomCandles(kSeries); seriesBench(s, [&] { return vwapSeries(c); }); }
BENCHMARK(BM_Sma200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ema9)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Wilder14)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Rsi14)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Atr14)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Adx14)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Vwap)->Unit(benchmark::kMillisecond);

// The same rows through the store (QtSql) and through the SQLite C API with the same schema, pragmas
// and one prepared statement in one transaction: the ratio is what the Qt layer costs.
void BM_InsertYearThroughStore(benchmark::State& state)
{
    const QVector<StoredCandle> rows = yearOfMinutes();
    for (auto _ : state) {
        state.PauseTiming();
        QTemporaryDir dir;
        SQLiteOHLCStore store;
        store.open(dir.path());
        state.ResumeTiming();
        const int n = store.insertMinuteCandles("BENCH", rows);
        if (n != rows.size())
            state.SkipWithError("not every row was inserted");
    }
    state.SetItemsProcessed(state.iterations() * rows.size());
}
BENCHMARK(BM_InsertYearThroughStore)->Unit(benchmark::kMillisecond);

void BM_InsertYearRawSqlite(benchmark::State& state)
{
    const QVector<StoredCandle> rows = yearOfMinutes();
    for (auto _ : state) {
        state.PauseTiming();
        QTemporaryDir dir;
        sqlite3* db = nullptr;
        sqlite3_open(QString(dir.path() + "/1min.db").toUtf8().constData(), &db);
        sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-32768;"
                         "CREATE TABLE IF NOT EXISTS minute_candles (symbol TEXT NOT NULL, date TEXT NOT NULL,"
                         " time TEXT NOT NULL, open REAL NOT NULL, high REAL NOT NULL, low REAL NOT NULL,"
                         " close REAL NOT NULL, volume INTEGER NOT NULL DEFAULT 0,"
                         " PRIMARY KEY (symbol, date, time));"
                         "CREATE INDEX IF NOT EXISTS idx_min_sym_date ON minute_candles(symbol, date);",
                     nullptr, nullptr, nullptr);
        state.ResumeTiming();
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db,
                           "INSERT OR IGNORE INTO minute_candles (symbol, date, time, open, high, low, close, volume)"
                           " VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                           -1, &st, nullptr);
        for (const StoredCandle& c : rows) {
            const QByteArray date = c.date.toUtf8(), time = c.time.toUtf8();
            sqlite3_bind_text(st, 1, "BENCH", -1, SQLITE_STATIC);
            sqlite3_bind_text(st, 2, date.constData(), date.size(), SQLITE_TRANSIENT);
            sqlite3_bind_text(st, 3, time.constData(), time.size(), SQLITE_TRANSIENT);
            sqlite3_bind_double(st, 4, c.open);
            sqlite3_bind_double(st, 5, c.high);
            sqlite3_bind_double(st, 6, c.low);
            sqlite3_bind_double(st, 7, c.close);
            sqlite3_bind_int(st, 8, c.volume);
            sqlite3_step(st);
            sqlite3_reset(st);
        }
        sqlite3_finalize(st);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        state.PauseTiming();
        sqlite3_close(db);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * rows.size());
}
BENCHMARK(BM_InsertYearRawSqlite)->Unit(benchmark::kMillisecond);

void BM_ReadOneDay(benchmark::State& state)
{
    QTemporaryDir dir;
    SQLiteOHLCStore store;
    store.open(dir.path());
    const QVector<StoredCandle> rows = yearOfMinutes();
    store.insertMinuteCandles("BENCH", rows);
    const QStringList days = tradingDaysBetween("2024-01-01", "2024-12-31").mid(0, 250);
    int i = 0;
    for (auto _ : state) {
        const QVector<StoredCandle> bars = store.loadMinuteCandles("BENCH", days[i++ % days.size()]);
        if (bars.size() != 375)
            state.SkipWithError("short day");
    }
    state.SetItemsProcessed(state.iterations() * 375);
}
BENCHMARK(BM_ReadOneDay)->Unit(benchmark::kMicrosecond);

// Ten blocks: 1M close, daily close, a 1M EMA(9) and a 5M RSI(14), comparisons, AND, entry, stop, exit.
QJsonObject tenBlockGraph(bool indicators)
{
    auto block = [](int id, const char* type, QJsonObject params = {}) {
        return QJsonObject{{"id", id}, {"type", type}, {"params", params}};
    };
    auto edge = [](int from, int to, int port) {
        return QJsonObject{{"fromBlock", from}, {"fromPort", 0}, {"toBlock", to}, {"toPort", port}};
    };
    return QJsonObject{
        {"strategyTimeframe", 2},
        {"blocks", QJsonArray{block(1, "CandleClose"), indicators ? block(2, "EMA", {{"period", 9}}) : block(2, "Percent", {{"percent", 99}}),
                              indicators ? block(3, "RSI", {{"period", 14}, {"timeframe", 4}})
                                         : block(3, "CandleHigh", {{"timeframe", 4}}), block(4, "Number", {{"value", 50}}),
                              block(5, "GreaterThan"), block(6, "CrossedAbove"), block(7, "AND"),
                              block(8, "BuyEntry", {{"priceSource", 5}}), block(9, "StopLoss"), block(10, "ExitRule")}},
        {"connections", QJsonArray{edge(1, 2, 0), edge(1, 3, 0), edge(3, 5, 0), edge(4, 5, 1), edge(1, 6, 0),
                                   edge(2, 6, 1), edge(5, 7, 0), edge(6, 7, 1), edge(7, 8, 0), edge(2, 9, 0),
                                   edge(5, 10, 0)}}};
}

// Arg 1: with a 1M EMA(9) and a 5M RSI(14) whose histories are never reset (they slide at their
// 600-value cap); arg 0: the same graph shape with plain blocks in their place, the evaluator's own cost.
void BM_BarPassTenBlocks(benchmark::State& state)
{
    const QVector<StoredCandle> rows = yearOfMinutes();
    StrategyEvaluator ev;
    ev.loadGraph(tenBlockGraph(state.range(0) != 0));
    int i = 0;
    for (auto _ : state) {
        const StoredCandle& c = rows[i++ % rows.size()];
        ev.evaluateBar(c, c.time);
        benchmark::DoNotOptimize(ev.buySignal);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BarPassTenBlocks)->Arg(1)->Arg(0);

// A generated year of minute bars (and their day candles) for one symbol in a file store.
struct YearStore {
    QTemporaryDir dir;
    SQLiteOHLCStore store;
    QStringList days;
    YearStore()
    {
        store.open(dir.path());
        const QVector<StoredCandle> rows = yearOfMinutes();
        store.insertMinuteCandles("BENCH", rows);
        QVector<StoredCandle> daily;
        for (int d = 0; d < rows.size() / 375; ++d) {
            StoredCandle c = rows[d * 375];
            c.time = "00:00:00";
            for (int m = 0; m < 375; ++m) {
                const StoredCandle& r = rows[d * 375 + m];
                c.high = std::max(c.high, r.high);
                c.low = std::min(c.low, r.low);
                c.close = r.close;
            }
            daily.append(c);
            days.append(c.date);
        }
        store.insertDayCandles("BENCH", daily);
    }
};

// CPU seconds of the whole process. The replays run on the agent's thread while this one sleeps in
// wait(), so the difference is the replay's own work, whatever else shares the machine.
double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// One whole agent run (SQLite reads, day and bar passes, positions), timed by its CPU seconds.
void replayYear(benchmark::State& state, const QJsonObject& strategy, bool intraday)
{
    static YearStore year;
    for (auto _ : state) {
        BacktestAgent agent;
        agent.setStore(&year.store);
        agent.setSymbol("BENCH");
        agent.setDateRange(year.days.first(), year.days.last());
        agent.setIntraday(intraday);
        agent.setStrategy(strategy);
        const double start = processCpuSeconds();
        agent.start();
        agent.wait();
        state.SetIterationTime(processCpuSeconds() - start);
    }
    state.SetItemsProcessed(state.iterations() * year.days.size() * 375);
}

// Intraday mode: the bar-level histories start afresh each day.
void BM_ReplayYearIntraday(benchmark::State& state)
{
    replayYear(state, tenBlockGraph(state.range(0) != 0), true);
}
BENCHMARK(BM_ReplayYearIntraday)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseManualTime();

// The same indicators in daily mode, in a position all day: the bar-level histories are never reset, so
// they run at their 600-value cap and slide with every bar. Arg 0: plain blocks in their place.
QJsonObject persistingGraph(bool indicators)
{
    auto block = [](int id, const char* type, QJsonObject params = {}) {
        return QJsonObject{{"id", id}, {"type", type}, {"params", params}};
    };
    auto edge = [](int from, int to, int port) {
        return QJsonObject{{"fromBlock", from}, {"fromPort", 0}, {"toBlock", to}, {"toPort", port}};
    };
    return QJsonObject{
        {"strategyTimeframe", 1},
        {"blocks", QJsonArray{block(1, "CandleClose", {{"timeframe", 2}}), indicators ? block(2, "EMA", {{"period", 9}, {"timeframe", 2}}) : block(2, "Percent", {{"percent", 99}}),
                              indicators ? block(3, "RSI", {{"period", 14}, {"timeframe", 4}})
                                         : block(3, "CandleHigh", {{"timeframe", 4}}), block(4, "Number", {{"value", 101}}),
                              block(5, "GreaterThan"), block(6, "CrossedAbove"), block(7, "AND"), block(8, "ExitRule"),
                              block(9, "Number", {{"value", 1}}), block(10, "Number", {{"value", 0}}),
                              block(11, "GreaterThan"), block(12, "BuyEntry")}},
        {"connections", QJsonArray{edge(1, 2, 0), edge(1, 3, 0), edge(3, 5, 0), edge(4, 5, 1), edge(1, 6, 0),
                                   edge(2, 6, 1), edge(5, 7, 0), edge(6, 7, 1), edge(7, 8, 0), edge(9, 11, 0),
                                   edge(10, 11, 1), edge(11, 12, 0)}}};
}

void BM_ReplayYearDailyPersisting(benchmark::State& state)
{
    replayYear(state, persistingGraph(state.range(0) != 0), false);
}
BENCHMARK(BM_ReplayYearDailyPersisting)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseManualTime();

// The SQLite share of the replay: every day's minute and day candles read back.
void BM_ReadYearDayByDay(benchmark::State& state)
{
    static YearStore year;
    for (auto _ : state) {
        for (const QString& d : year.days) {
            benchmark::DoNotOptimize(year.store.loadMinuteCandles("BENCH", d));
            benchmark::DoNotOptimize(year.store.loadDayCandles("BENCH", d, d));
        }
    }
    state.SetItemsProcessed(state.iterations() * year.days.size() * 375);
}
BENCHMARK(BM_ReadYearDayByDay)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
