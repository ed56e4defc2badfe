// The frame of main-window tests: a window that never leaves 127.0.0.1 (instrument and master
// downloads go to a closed local port and fail at once, the symbol manager's boxes are answered),
// a recording connector for every provider, fresh settings per test, and the status line.
#pragma once

#include "core/MarketData.h"
#include "core/SettingsManager.h"
#include "support/RecordingBroker.h"
#include "support/ScriptedDialogPrompts.h"
#include "support/TestEnvironment.h"
#include "support/WindowPrompts.h"
#include "symbols/SymbolRepository.h"
#include "ui/MainWindow.h"
#include "ui/UserPrompts.h"
#include "ui/dialogs/SymbolManager.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QLabel>
#include <QPointer>
#include <QSettings>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTableWidget>

#include <memory>
#include <utility>

inline MainWindowSeams offlineWindowSeams(std::shared_ptr<UserPrompts> prompts)
{
    MainWindowSeams seams;
    seams.prompts = std::move(prompts);
    const QString closed = QStringLiteral("http://127.0.0.1:1");
    seams.prepareRepository = [closed](SymbolRepository* repo) {
        for (const char* name : {"FlatTrade", "Zerodha", "Fyers", "TradeJini", "Dhan", "Upstox"})
            repo->setDownloadHost(QString::fromLatin1(name), closed);
        repo->setDownloadTimeout(2000);
        repo->setUpstoxTimeout(2000);
    };
    seams.prepareSymbolManager = [closed](SymbolManager* manager) {
        static ScriptedDialogPrompts quiet;
        manager->setPrompts(&quiet);
        for (const char* name : {"FlatTrade", "Zerodha", "Fyers", "TradeJini"})
            manager->setMasterHost(QString::fromLatin1(name), closed);
        manager->setDownloadTimeout(2000);
    };
    return seams;
}

// The start-up steps and follow-ups run almost at once instead of seconds later.
inline void quickStartupSteps(MainWindowSeams& seams)
{
    seams.connectOnStartupDelayMs = 10;
    seams.startupDelayMs = 20;
    seams.masterFollowUpMs = 20;
    seams.loadButtonDelayMs = 20;
}

// Runs the event loop until the window's start-up download of a missing instrument master (to
// the closed port: it fails at once) is over, failure box included.
inline bool finishStartup(MainWindow& w)
{
    QDeadlineTimer deadline(10000);
    while (w.isDownloadingInstrumentMaster() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return !w.isDownloadingInstrumentMaster();
}

// The general status line: the permanent label right of the tick counter.
inline QString windowStatus(MainWindow& w)
{
    const QList<QLabel*> labels = w.statusBar()->findChildren<QLabel*>();
    for (int i = 0; i + 1 < labels.size(); ++i) {
        if (labels[i]->text().startsWith("Ticks: "))
            return labels[i + 1]->text();
    }
    return {};
}

// The watchlist: the ten-column table of the Market Feed page.
inline QTableWidget* watchlistTable(MainWindow& w)
{
    for (QTableWidget* t : w.findChildren<QTableWidget*>()) {
        if (t->columnCount() == 10)
            return t;
    }
    return nullptr;
}

// Mixed into a main-window test class (after QObject): the home, settings, boxes and connector.
class WindowFixture
{
protected:
    std::unique_ptr<TestEnvironment> env;
    SettingsManager* settings = nullptr;  // application-level, as in the program
    std::shared_ptr<WindowPrompts> prompts;
    QPointer<RecordingBroker> broker;  // the connector of the newest window
    QList<int> factoryCalls;           // providers the connector factory was asked for

    // For initTestCase: a home of its own, nothing shared with other runs on this machine.
    bool openHome(const char* application)
    {
        env = std::make_unique<TestEnvironment>();
        QCoreApplication::setOrganizationName("TickvaneTest");
        QCoreApplication::setApplicationName(QString::fromLatin1(application));
        registerMarketDataTypes();
        return env->isValid();
    }
    // For init: fresh settings and application data for every test.
    void freshState()
    {
        QSettings().clear();
        QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).removeRecursively();
        settings = new SettingsManager(qApp);
        prompts = std::make_shared<WindowPrompts>();
        factoryCalls.clear();
    }
    void dropState() { delete std::exchange(settings, nullptr); }
    // Offline seams whose connector factory makes a recording broker for any provider. Saving
    // first keeps the stored provider equal to the current one: no restart notice.
    MainWindowSeams recordingSeams()
    {
        settings->saveSettings();
        MainWindowSeams seams = offlineWindowSeams(prompts);
        seams.brokerFactory = [this](int provider, QObject* parent) -> IBroker* {
            factoryCalls << provider;
            broker = new RecordingBroker(parent);
            return broker;
        };
        return seams;
    }
};
