// Tick routing through the main window into a 1000-row watchlist, offscreen: raw routing rate
// against the bare store as baseline, and the event loop's lag under a paced 10 000 ticks/s feed.
#include "amibroker/CSVExporter.h"
#include "brokers/IBroker.h"
#include "core/DataManager.h"
#include "core/SettingsManager.h"
#include "symbols/SymbolRepository.h"
#include "ui/MainWindow.h"
#include "ui/UserPrompts.h"
#include "ui/dialogs/DialogPrompts.h"
#include "ui/dialogs/SymbolManager.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

constexpr int kRows = 1000;

class SilentBroker : public IBroker
{
    Q_OBJECT

public:
    using IBroker::IBroker;
    using IBroker::subscribeLiveData;
    void initialize(const QMap<QString, QString>&) override {}
    void connectToBroker() override {}
    void disconnectFromBroker() override {}
    void startLiveData() override {}
    void stopLiveData() override {}
    void subscribeLiveData(const QString&) override {}
    void unsubscribeLiveData(const QString&) override {}
    void requestHistoricalData(const QString&, const QDate&, const QDate&, const QString&) override {}
    void requestIntradayData(const QString&, const QString&) override {}
    bool isConnected() const override { return true; }
    QString lastError() const override { return {}; }
    void send(const TickData& t) { emit tickReceived(t); }
};

class QuietPrompts : public UserPrompts
{
public:
    QMessageBox::StandardButton question(QWidget*, const QString&, const QString&,
                                         QMessageBox::StandardButton) override
    {
        return QMessageBox::No;
    }
    void warning(QWidget*, const QString&, const QString&) override {}
    void information(QWidget*, const QString&, const QString&) override {}
    void error(QWidget*, const QString&) override {}
};

// The symbol manager's boxes, answered without a modal loop (one would stall the benchmark).
class QuietDialogPrompts : public DialogPrompts
{
public:
    void message(QWidget*, Kind, const QString&, const QString&, bool) override {}
    bool question(QWidget*, const QString&, const QString&, bool) override { return false; }
    bool confirm(QWidget*, const QString&, const QString&) override { return false; }
    bool getText(QWidget*, const QString&, const QString&, QString*) override { return false; }
    QString getExistingDirectory(QWidget*, const QString&, const QString&) override { return {}; }
    bool openUrl(const QUrl&) override { return false; }
};

struct Fixture {
    QTemporaryDir dir;
    SettingsManager* settings = nullptr;
    SilentBroker* broker = nullptr;
    std::unique_ptr<MainWindow> window;
    QVector<TickData> ticks;

    Fixture()
    {
        QSettings().clear();
        settings = new SettingsManager(qApp);
        settings->setProvider(SettingsManager::TradeJini);
        settings->setCurrentBroker("TradeJini");
        QStringList tokens;
        for (int i = 0; i < kRows; ++i) {
            tokens << QString::number(100000 + i);
            // Names are cached up front, as they are after the first minutes of a session.
            settings->cacheSymbolName(tokens.last(), QStringLiteral("SYM%1").arg(i));
        }
        settings->setWatchlistForBroker("TradeJini", tokens);
        settings->saveSettings();

        MainWindowSeams seams;
        seams.prompts = std::make_shared<QuietPrompts>();
        seams.brokerFactory = [this](int, QObject* parent) -> IBroker* {
            broker = new SilentBroker(parent);
            return broker;
        };
        seams.prepareRepository = [](SymbolRepository* repo) {
            repo->setDownloadHost("TradeJini", "http://127.0.0.1:1");
            repo->setDownloadTimeout(1000);
        };
        // Nothing leaves the machine: master downloads go to a closed local port and fail at once.
        seams.prepareSymbolManager = [](SymbolManager* manager) {
            static QuietDialogPrompts quiet;
            manager->setPrompts(&quiet);
            for (const char* name : {"FlatTrade", "Zerodha", "Fyers", "TradeJini"})
                manager->setMasterHost(QString::fromLatin1(name), QStringLiteral("http://127.0.0.1:1"));
            manager->setDownloadTimeout(1000);
        };
        window = std::make_unique<MainWindow>(seams);
        window->exporter()->setExportDir(dir.filePath("csv"));
        // The AmiBroker import itself (a pause on the GUI thread per batch) is the exporter's
        // cost, not the routing's; the CSV lines are still formatted and written.
        window->exporter()->setAutoImportEnabled(false);
        window->show();

        const QDateTime start = QDateTime::currentDateTime();
        for (int i = 0; i < 4 * kRows; ++i) {
            TickData t;
            t.token = tokens[i % kRows];
            t.symbol = t.token;
            t.exchange = "NSE";
            t.ltp = 100.0 + (i % 97) * 0.05;
            t.open = 100.0;
            t.high = 105.0;
            t.low = 95.0;
            t.volume = 10000 + i;
            t.timestamp = start.addMSecs(i);
            ticks << t;
        }
    }
    ~Fixture()
    {
        window.reset();
        delete settings;
    }
};

Fixture* fixture = nullptr;

void BM_StoreOnlyBaseline(benchmark::State& state)
{
    DataManager store;
    int i = 0;
    for (auto _ : state) {
        TickData t = fixture->ticks[i++ % fixture->ticks.size()];
        t.symbol = QStringLiteral("SYM");
        store.storeTick(t);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StoreOnlyBaseline);

void BM_TickRouting1000Rows(benchmark::State& state)
{
    int i = 0;
    for (auto _ : state) {
        fixture->broker->send(fixture->ticks[i++ % fixture->ticks.size()]);
        if ((i & 1023) == 0)
            QCoreApplication::processEvents();  // highlight clears and file flushes keep up
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TickRouting1000Rows);

// One iteration: one second of a feed paced at 10 000 ticks/s spread over the rows, while a
// 5 ms probe timer records how late the event loop serves it.
void BM_PacedFeedLag(benchmark::State& state)
{
    for (auto _ : state) {
        QEventLoop loop;
        QElapsedTimer clock;
        clock.start();
        qint64 sent = 0;
        qint64 maxLagMs = 0;
        qint64 lastProbe = 0;
        int next = 0;

        QTimer feed;
        feed.setTimerType(Qt::PreciseTimer);
        feed.setInterval(1);
        QObject::connect(&feed, &QTimer::timeout, [&] {
            // Catch up to the schedule: 10 ticks per elapsed millisecond.
            const qint64 due = clock.elapsed() * 10;
            while (sent < due) {
                fixture->broker->send(fixture->ticks[next++ % fixture->ticks.size()]);
                ++sent;
            }
            if (clock.elapsed() >= 1000)
                loop.quit();
        });
        QTimer probe;
        probe.setTimerType(Qt::PreciseTimer);
        probe.setInterval(5);
        QObject::connect(&probe, &QTimer::timeout, [&] {
            const qint64 now = clock.elapsed();
            if (lastProbe > 0)
                maxLagMs = std::max(maxLagMs, now - lastProbe - 5);
            lastProbe = now;
        });
        feed.start();
        probe.start();
        loop.exec();
        state.counters["ticks_per_s"] = double(sent) * 1000.0 / double(clock.elapsed());
        state.counters["max_lag_ms"] = double(maxLagMs);
    }
}
BENCHMARK(BM_PacedFeedLag)->Iterations(2)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName("TickvaneBench");
    QCoreApplication::setApplicationName("TickRouting");
    registerMarketDataTypes();
    // Per-tick debug lines would measure the terminal, not the routing.
    qSetMessagePattern(QString());
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false"));

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Fixture f;
    fixture = &f;
    benchmark::RunSpecifiedBenchmarks();
    fixture = nullptr;
    return 0;
}

#include "bench_tickrouting.moc"
