// The watchlist window offscreen: how long a table rebuild of 1000 priced rows holds the event
// loop and how many rows keep their prices through it, and how long the start-up load of a
// 100k-row cached instrument master holds the loop of a window already shown. Each figure is
// printed beside its aim; a window on an empty watchlist without a master is the baseline.
#include "LagProbe.h"
#include "QuietWindow.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTimer>

namespace {

constexpr int kRows = 1000;
constexpr double kAimBlockMs = 50;

// The start-up steps and the follow-up after a master load at a quick pace.
MainWindowSeams fastSeams(SilentBroker** broker = nullptr)
{
    MainWindowSeams seams = quietSeams(broker);
    seams.startupDelayMs = 50;
    seams.masterFollowUpMs = 50;
    return seams;
}

// Runs the event loop with a probe until `ms` have passed; the probe's largest lateness.
qint64 maxLagOver(int ms, const std::function<void()>& start)
{
    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    LagProbe probe(clock, [&](qint64 now) {
        if (now >= ms)
            loop.quit();
    });
    QTimer::singleShot(2 * LagProbe::kProbeMs, start);
    loop.exec();
    return probe.maxLagMs;
}

// A TradeJini window on 1000 named tokens, every row priced.
struct RebuildFixture {
    SettingsManager* settings = nullptr;
    SilentBroker* broker = nullptr;
    std::unique_ptr<MainWindow> window;
    QTableWidget* table = nullptr;
    QStringList tokens;
    QStringList otherTokens;

    RebuildFixture()
    {
        QSettings().clear();
        settings = new SettingsManager(qApp);
        settings->setProvider(SettingsManager::TradeJini);
        settings->setCurrentBroker("TradeJini");
        for (int i = 0; i < kRows; ++i) {
            tokens << QString::number(100000 + i);
            otherTokens << QString::number(500000 + i);
        }
        settings->setWatchlistForBroker("TradeJini", tokens);
        window = std::make_unique<MainWindow>(fastSeams(&broker));
        for (int i = 0; i < kRows; ++i) {
            window->repository()->addSymbol(QStringLiteral("SYM%1").arg(i), tokens[i], "NSE", "EQ");
            window->repository()->addSymbol(QStringLiteral("OTH%1").arg(i), otherTokens[i], "NSE", "EQ");
        }
        window->show();
        runFor(500);
        table = watchlistOf(*window);
    }
    ~RebuildFixture()
    {
        window.reset();
        delete settings;
    }

    void priceEveryRow()
    {
        const QDateTime now = QDateTime::currentDateTime();
        const QStringList current = settings->watchlistForBroker("TradeJini");
        for (const QString& token : current)
            broker->send(makeTick(token, 0, now));
        QElapsedTimer wait;
        wait.start();
        while (pricedRows() < table->rowCount() && wait.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    int pricedRows() const
    {
        int n = 0;
        for (int r = 0; r < table->rowCount(); ++r) {
            const QTableWidgetItem* item = table->item(r, 1);
            n += item && item->text() != QLatin1String("--");
        }
        return n;
    }
};

RebuildFixture* rebuildFixture = nullptr;

enum Change { Unchanged, AddOne, RemoveOne, NamesChange, ListReplaced };

// One iteration: every row priced, then one change that rebuilds the table, while a 5 ms probe
// timer records how late the event loop serves it.
void BM_WatchlistRebuild(benchmark::State& state)
{
    if (!rebuildFixture)
        rebuildFixture = new RebuildFixture;
    RebuildFixture& f = *rebuildFixture;
    const auto change = Change(state.range(0));
    int round = 0;
    double worstMs = 0, keptShare = 1;
    for (auto _ : state) {
        state.PauseTiming();
        const QStringList list = f.settings->watchlistForBroker("TradeJini");
        f.priceEveryRow();
        const int priced = f.pricedRows();
        state.ResumeTiming();
        ++round;
        const qint64 lag = maxLagOver(400, [&] {
            switch (change) {
            case Unchanged:
                emit f.settings->settingsChanged();  // an OK that changed nothing
                break;
            case AddOne:
                f.settings->addSymbolForBroker("TradeJini", f.otherTokens[round]);
                QMetaObject::invokeMethod(f.window.get(), "refreshWatchlistDisplay");
                break;
            case RemoveOne:
                f.settings->removeSymbolFromWatchlist(list[list.size() / 2]);
                QMetaObject::invokeMethod(f.window.get(), "refreshWatchlistDisplay");
                break;
            case NamesChange:
                // A new master names every token anew.
                f.window->repository()->clear();
                for (int i = 0; i < kRows; ++i)
                    f.window->repository()->addSymbol(
                        QStringLiteral("R%1SYM%2").arg(round).arg(i), f.tokens[i], "NSE", "EQ");
                emit f.window->repository()->symbolsReloaded();
                break;
            case ListReplaced:
                f.settings->setWatchlistForBroker("TradeJini", round % 2 ? f.otherTokens : f.tokens);
                break;
            }
        });
        worstMs = std::max(worstMs, double(lag));
        // Rows of instruments that stay in the list keep what they showed.
        const int expected = change == ListReplaced ? 0 : priced - (change == RemoveOne ? 1 : 0);
        if (expected > 0)
            keptShare = std::min(keptShare, double(f.pricedRows()) / expected);
    }
    state.counters["rows"] = f.table->rowCount();
    state.counters["block_ms"] = worstMs;
    state.counters["aim_block_ms"] = kAimBlockMs;
    state.counters["prices_kept"] = change == ListReplaced ? 0 : keptShare;
    state.counters["aim_prices_kept"] = change == ListReplaced ? 0 : 1;
}
BENCHMARK(BM_WatchlistRebuild)
    ->ArgName("change")
    ->Arg(Unchanged)
    ->Arg(AddOne)
    ->Arg(RemoveOne)
    ->Arg(NamesChange)
    ->Arg(ListReplaced)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// A fresh Zerodha cache of `rows` NSE instruments, fetched now.
void writeZerodhaCache(const QString& folder, int rows)
{
    QDir().mkpath(folder);
    QFile csv(folder + "/zerodha_nse_symbols.csv");
    csv.open(QIODevice::WriteOnly);
    csv.write("instrument_token,exchange_token,tradingsymbol,name,last_price,expiry,strike,tick_size,"
              "lot_size,instrument_type,segment,exchange\n");
    for (int i = 0; i < rows; ++i)
        csv.write(QByteArray::number(100000 + i * 7) + "," + QByteArray::number(400 + i) + ",NIFTY25JAN"
                  + QByteArray::number(17000 + i) + "CE,NIFTY,0,2025-01-30," + QByteArray::number(17000 + i)
                  + ",0.05,50,CE,NFO-OPT,NSE\n");
    csv.close();
    QFile meta(folder + "/zerodha_nse_symbols.csv.meta.json");
    meta.open(QIODevice::WriteOnly);
    // Fetched after the day's 08:00 cut-off that the freshness rule goes by.
    const QDateTime now = QDateTime::currentDateTime();
    const QDateTime fetched =
        now.time() >= QTime(8, 1) ? now : QDateTime(now.date().addDays(-1), QTime(8, 1));
    meta.write(QJsonDocument(QJsonObject{{"fetchedAt", fetched.toString(Qt::ISODate)}}).toJson());
}

// One iteration: a window is made, shown and left to start up for two seconds inside a running
// event loop. block_ms: the longest the loop was held, the window's construction included; that
// alone is construct_ms. Args: master rows (0 is the baseline without a master), and whether the
// watchlist's tokens are missing from the master.
void BM_StartupMasterLoad(benchmark::State& state)
{
    const int rows = int(state.range(0));
    const bool missing = state.range(1) != 0;
    // The window takes the application's first settings store: the rebuild window's goes.
    delete rebuildFixture;
    rebuildFixture = nullptr;
    double worstMs = 0, constructWorstMs = 0;
    int loaded = 0;
    for (auto _ : state) {
        state.PauseTiming();
        QSettings().clear();
        const QString home = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        QDir(home).removeRecursively();
        auto* settings = new SettingsManager(qApp);
        settings->setProvider(SettingsManager::Zerodha);
        settings->setCurrentBroker("Zerodha");
        // Tokens of the master, or tokens it lacks (the symbol manager then loads it again).
        settings->setWatchlistForBroker("Zerodha", missing ? QStringList{"9", "8", "7"}
                                                           : QStringList{"100000", "100007", "100014"});
        if (rows > 0)
            writeZerodhaCache(settings->appDataPath(), rows);
        state.ResumeTiming();
        std::unique_ptr<MainWindow> window;
        QElapsedTimer clock;
        clock.start();
        qint64 shownAt = -1;
        qint64 worst = 0;
        qint64 constructMs = 0;
        LagProbe* probe = nullptr;
        // The firing right after the window was made carries the construction itself.
        LagProbe lag(clock, [&](qint64 now) {
            if (shownAt >= 0)
                worst = std::max(worst, probe->lastLagMs);
            else if (window && window->isVisible())
                shownAt = now;
        });
        probe = &lag;
        QEventLoop loop;
        QTimer::singleShot(20, [&] {
            MainWindowSeams seams = fastSeams();
            seams.startupDelayMs = 2000;  // the load's own pace, not the tests'
            QElapsedTimer made;
            made.start();
            window = std::make_unique<MainWindow>(seams);
            window->show();
            constructMs = made.elapsed();
        });
        QTimer::singleShot(2500, &loop, &QEventLoop::quit);
        loop.exec();
        worstMs = std::max(worstMs, double(std::max(worst, constructMs)));
        constructWorstMs = std::max(constructWorstMs, double(constructMs));
        loaded = window->repository()->size();
        state.PauseTiming();
        window.reset();
        delete settings;
        state.ResumeTiming();
    }
    state.counters["master_rows"] = loaded;
    state.counters["construct_ms"] = constructWorstMs;
    state.counters["block_ms"] = worstMs;
    state.counters["aim_block_ms"] = kAimBlockMs;
}
BENCHMARK(BM_StartupMasterLoad)
    ->ArgNames({"rows", "missing"})
    ->Args({0, 0})
    ->Args({100000, 0})
    ->Args({100000, 1})
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    return runWindowBenchmarks(argc, argv, "Watchlist", [] {
        delete rebuildFixture;
        rebuildFixture = nullptr;
    });
}
