// What the benchmarks that drive the main window offscreen share: a connector that only passes on
// the ticks it is handed, prompts answered without a modal loop (one would stall the benchmark),
// seams that keep every download on the machine, and the program around the benchmarks.
#pragma once

#include "brokers/IBroker.h"
#include "core/SettingsManager.h"
#include "symbols/SymbolRepository.h"
#include "ui/MainWindow.h"
#include "ui/UserPrompts.h"
#include "ui/dialogs/DialogPrompts.h"
#include "ui/dialogs/SymbolManager.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QTableWidget>

#include <functional>
#include <memory>

// Always connected, never sends anything but what `send` hands it.
class SilentBroker : public IBroker
{
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
    void critical(QWidget*, const QString&, const QString&) override {}
    QObject* error(QWidget*, const QString&) override { return nullptr; }
};

// The symbol manager's boxes.
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

inline QTableWidget* watchlistOf(MainWindow& w)
{
    for (QTableWidget* t : w.findChildren<QTableWidget*>()) {
        if (t->columnCount() == 10)
            return t;
    }
    return nullptr;
}

// The `i`-th tick of a feed that started at `start`: a price near 100 that moves with `i`.
inline TickData makeTick(const QString& token, int i, const QDateTime& start)
{
    TickData t;
    t.token = token;
    t.symbol = token;
    t.exchange = "NSE";
    t.ltp = 100.0 + (i % 97) * 0.05;
    t.open = 100.0;
    t.high = 105.0;
    t.low = 95.0;
    t.volume = 10000 + i;
    t.timestamp = start.addMSecs(i);
    return t;
}

inline void runFor(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// Seams of a window with quiet prompts and a SilentBroker as connector (stored in `*broker`
// when given). Nothing leaves the machine: instrument and master downloads go to a closed local
// port and fail at once.
inline MainWindowSeams quietSeams(SilentBroker** broker = nullptr)
{
    static const char* const providers[] = {"FlatTrade", "Zerodha", "Fyers", "TradeJini"};
    MainWindowSeams seams;
    seams.prompts = std::make_shared<QuietPrompts>();
    seams.brokerFactory = [broker](int, QObject* parent) -> IBroker* {
        auto* b = new SilentBroker(parent);
        if (broker)
            *broker = b;
        return b;
    };
    seams.prepareRepository = [](SymbolRepository* repo) {
        for (const char* name : providers)
            repo->setDownloadHost(QString::fromLatin1(name), QStringLiteral("http://127.0.0.1:1"));
        repo->setDownloadTimeout(1000);
    };
    seams.prepareSymbolManager = [](SymbolManager* manager) {
        static QuietDialogPrompts quiet;
        manager->setPrompts(&quiet);
        for (const char* name : providers)
            manager->setMasterHost(QString::fromLatin1(name), QStringLiteral("http://127.0.0.1:1"));
        manager->setDownloadTimeout(1000);
    };
    return seams;
}

// main() of a window benchmark: an offscreen application named `appName` with its own test
// settings, debug and info lines off (they would measure the terminal, not the window), then the
// benchmarks and `atExit` while the application still stands.
inline int runWindowBenchmarks(int argc, char** argv, const char* appName,
                               const std::function<void()>& atExit = {})
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName("TickvaneBench");
    QCoreApplication::setApplicationName(QString::fromLatin1(appName));
    registerMarketDataTypes();
    qSetMessagePattern(QString());
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false"));

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    if (atExit)
        atExit();
    return 0;
}
