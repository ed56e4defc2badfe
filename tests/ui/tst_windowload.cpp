// The window under load: a settings burst, a failing feed that keeps reconnecting, and the
// start-up master download, each against real peers on 127.0.0.1.
#include "brokers/BrokerAPI.h"
#include "brokers/dhan/DhanBroker.h"
#include "support/HttpTestServer.h"
#include "support/LogCapture.h"
#include "support/OfflineWindow.h"
#include "support/RefusingHttpServer.h"
#include "support/TestFiles.h"
#include "ui/dialogs/SettingsDialog.h"

#include <QDeadlineTimer>
#include <QDialogButtonBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QScopeGuard>
#include <QSemaphore>
#include <QtTest>

#include <functional>

namespace {

// Runs a settings dialog by pressing its OK button instead of a modal loop.
class AcceptingPrompts : public WindowPrompts
{
public:
    int execDialog(QDialog* dialog) override
    {
        ++dialogsRun;
        auto* buttons = dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
        if (buttons)
            buttons->button(QDialogButtonBox::Ok)->click();
        return dialog->result();
    }
};

// A modal box the user has not answered yet: while "Instrument Masters Incomplete" is open, the
// box's own event loop runs until the test's condition holds (or a bounded time passes), and
// whether it held is recorded. Other boxes are answered at once.
class PendingMastersBox : public WindowPrompts
{
public:
    std::function<bool()> awaited;
    bool heldWhileOpen = false;
    QString statusWhileOpen;
    std::function<QString()> status;

    void warning(QWidget* parent, const QString& title, const QString& text) override
    {
        WindowPrompts::warning(parent, title, text);
        if (title != QLatin1String("Instrument Masters Incomplete") || !awaited)
            return;
        if (status)
            statusWhileOpen = status();
        QDeadlineTimer deadline(5000);
        while (!awaited() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        heldWhileOpen = awaited();
    }
};

// Cached FlatTrade masters, fetched after the broker's last cut-off whatever the hour the test runs
// at, for the given exchanges: one RELIANCE row each, tokens 1, 2, ... (BSE's is 500325 when
// `bseToken` is set).
bool writeFreshFlatTradeCache(const QString& folder, const QStringList& exchanges, bool bseToken = false)
{
    if (!QDir().mkpath(folder))
        return false;
    const QDateTime current = QDateTime::currentDateTime();
    const QTime cutoff = SymbolRepository::cacheCutoff("FlatTrade");
    const QDateTime fetchedAt = current.time() >= cutoff ? current
                                                         : QDateTime(current.date().addDays(-1), cutoff.addSecs(3600));
    const QByteArray meta = QJsonDocument(QJsonObject{{"fetchedAt", fetchedAt.toString(Qt::ISODate)}}).toJson();
    int token = 1;
    for (const QString& exchange : exchanges) {
        const QString path = folder + "/flattrade_" + exchange.toLower() + "_symbols.csv";
        const QByteArray number = bseToken && exchange == "BSE" ? QByteArray("500325") : QByteArray::number(token++);
        const QByteArray row = exchange.toUtf8() + ',' + number + ",1,RELIANCE,RELIANCE\n";
        if (!TestFiles::writeFile(path, "Exchange,Token,LotSize,Symbol,TradingSymbol\n" + row)
            || !TestFiles::writeFile(path + ".meta.json", meta))
            return false;
    }
    return true;
}

} // namespace

class TestWindowLoad : public QObject, public WindowFixture
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(openHome("WindowLoadTest")); }
    void init() { freshState(); }
    void cleanup() { dropState(); }

    void settingsOkSubscribesOnceAndDownloadsEachMasterOnce()
    {
        HttpTestServer masters;
        QVERIFY(masters.listen());
        masters.setReply("GET", "/instruments/NSE", HttpTestServer::Reply::silent());
        settings->setProvider(SettingsManager::Zerodha);
        settings->setCurrentBroker("Zerodha");
        settings->setZerodhaApiKey("key");
        settings->setZerodhaApiSecret("secret");
        settings->setZerodhaAccessToken("token");
        settings->setWatchlistForBroker("Zerodha", {"738561", "2953217"});
        prompts = std::make_shared<AcceptingPrompts>();
        MainWindowSeams seams = recordingSeams();
        seams.settingsDialog = [](SettingsManager* s, QWidget* parent) {
            return new SettingsDialog(s, parent);
        };
        const auto offlineManager = seams.prepareSymbolManager;
        seams.prepareSymbolManager = [&](SymbolManager* manager) {
            offlineManager(manager);
            manager->setMasterHost("Zerodha", masters.baseUrl());
        };
        auto w = std::make_unique<MainWindow>(seams);
        QVERIFY(finishStartup(*w));
        prompts->shown.clear();
        broker->connected = true;
        // The start-up load of the NSE master is on its way (the host holds it) when OK is pressed.
        QMetaObject::invokeMethod(w.get(), "autoLoadSymbolData");
        QTRY_COMPARE_WITH_TIMEOUT(masters.requestsTo("/instruments/NSE").size(), 1, 5000);
        broker->calls.clear();

        LogCapture log;
        QSignalSpy changed(settings, &SettingsManager::settingsChanged);
        QMetaObject::invokeMethod(w.get(), "onSettingsAction");
        QVERIFY(changed.count() > 20);
        QCOMPARE(windowStatus(*w), QString("Settings updated successfully"));
        // The burst's subscription asks for the master, and the symbol manager's load button runs
        // while the first download still waits: it joins that download.
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("is already downloading; waiting for it"), 5000);
        QCOMPARE(broker->subscribeLists().size(), 1);
        QCOMPARE(broker->subscribeLists().first(), QString("738561,2953217"));
        QCOMPARE(masters.requestsTo("/instruments/NSE").size(), 1);
        QCOMPARE(masters.requestCount(), 1);
        QCOMPARE(prompts->texts("warning"), QStringList());
    }

    void failingFeedReconnectsWithoutPilingBoxes()
    {
        RefusingHttpServer feed("HTTP/1.1 503 Service Unavailable");
        QVERIFY(feed.listen());
        settings->setProvider(SettingsManager::Dhan);
        settings->setCurrentBroker("Dhan");
        settings->setDhanAccessToken("dhan-token");
        settings->setDhanClientId("1100");
        settings->saveSettings();
        MainWindowSeams seams = offlineWindowSeams(prompts);
        QPointer<DhanBroker> dhan;
        seams.brokerFactory = [&](int, QObject* parent) -> IBroker* {
            dhan = new DhanBroker(parent);
            dhan->setScripMasterBaseUrl("http://127.0.0.1:1");
            dhan->setFeedBaseUrl(feed.wsUrl());
            dhan->setReconnectWaitRange(20, 20);
            return dhan;
        };
        auto w = std::make_unique<MainWindow>(seams);
        QVERIFY(finishStartup(*w));
        prompts->shown.clear();

        // The feed keeps reconnecting and failing: each failure reaches the status line, none
        // opens a box.
        QSignalSpy errors(dhan.data(), &IBroker::errorOccurred);
        QTRY_VERIFY_WITH_TIMEOUT(errors.count() >= 3, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(windowStatus(*w).startsWith("Stream not connected: Dhan feed connection error: "), 5000);
        QVERIFY(windowStatus(*w).contains("503"));
        QCOMPARE(prompts->texts("error"), QStringList());
        w->brokerFacade()->implementation()->disconnectFromBroker();

        // An error the rule does not count as the stream's gets one box while that box is open.
        // Once the box is closed the next one shows again.
        const QString text = "Could not find security ID for symbol: XYZ";
        for (int i = 0; i < 5; ++i)
            emit dhan->errorOccurred(text);
        QTRY_COMPARE_WITH_TIMEOUT(windowStatus(*w), "Error: " + text, 5000);
        QCOMPARE(prompts->texts("error"), QStringList{text});
        prompts->closeErrorBoxes();
        emit dhan->errorOccurred(text);
        QTRY_COMPARE_WITH_TIMEOUT(prompts->texts("error").size(), 2, 5000);
    }

    void startupDownloadRunsBehindVisibleWindow()
    {
        // No cached master and a host that answers nothing: the window is on screen and serving
        // events while the download waits, and all six files share one time budget.
        HttpTestServer host;
        QVERIFY(host.listen());
        for (const char* exchange : {"NSE", "BSE", "NFO", "MCX", "BCD", "CDS"})
            host.setReply("GET", QStringLiteral("/instruments/") + exchange, HttpTestServer::Reply::silent());
        settings->setProvider(SettingsManager::Zerodha);
        settings->setCurrentBroker("Zerodha");
        MainWindowSeams seams = recordingSeams();
        const auto offlineRepository = seams.prepareRepository;
        seams.prepareRepository = [&](SymbolRepository* repo) {
            offlineRepository(repo);
            repo->setDownloadHost("Zerodha", host.baseUrl());
            // Long enough that a busy machine still reads the first request before the budget ends.
            repo->setDownloadTimeout(1500);
        };
        auto w = std::make_unique<MainWindow>(seams);
        w->show();
        QVERIFY(w->isDownloadingInstrumentMaster());

        // Seen from inside the download's wait: the first request, then a timer the event loop
        // serves while the download still waits.
        bool visibleAtRequest = false;
        bool servedWhileDownloading = false;
        connect(&host, &HttpTestServer::requestReceived, this, [&] {
            visibleAtRequest = w->isVisible() && w->isDownloadingInstrumentMaster();
            QTimer::singleShot(0, this, [&] { servedWhileDownloading = w->isDownloadingInstrumentMaster(); });
        });
        QVERIFY(finishStartup(*w));
        QVERIFY(visibleAtRequest);
        QVERIFY(servedWhileDownloading);
        QCOMPARE(host.requestCount(), 1);  // the budget went to the first file
        QCOMPARE(prompts->kinds(), QStringList{"warning"});
        QCOMPARE(prompts->shown.first().title, QString("Symbol Download Failed"));
        QCOMPARE(prompts->shown.first().text,
                 QString("Failed to download symbol masters. The application may not work correctly."
                         "\n\nPlease check your internet connection and restart the application."));
    }

    void cachedMasterLoadEndingLateSubscribesAgain()
    {
        // The connector is up while the cached master is still being read: the first subscription
        // has only the stand-in key, and the end of the load brings the right one.
        settings->setProvider(SettingsManager::FlatTrade);
        settings->setCurrentBroker("FlatTrade");
        settings->setWatchlistForBroker("FlatTrade", {"500325"});
        QVERIFY(writeFreshFlatTradeCache(settings->appDataPath(), {"NSE", "BSE", "NFO", "MCX"}, true));
        QSemaphore gate;
        const auto open = qScopeGuard([&gate] { gate.release(); });
        MainWindowSeams seams = recordingSeams();
        seams.autoSubscribeDelayMs = 0;
        const auto offlineRepository = seams.prepareRepository;
        seams.prepareRepository = [&](SymbolRepository* repo) {
            offlineRepository(repo);
            repo->setCacheReadGate([&gate] { gate.tryAcquire(1, 10000); });
        };
        auto w = std::make_unique<MainWindow>(seams);
        QVERIFY(broker);
        broker->reportConnected(true);
        QTRY_COMPARE_WITH_TIMEOUT(broker->subscribeLists().size(), 1, 5000);
        QCOMPARE(broker->subscribeLists().first(), QString("NSE|500325"));
        QVERIFY(w->isDownloadingInstrumentMaster());

        gate.release();
        QTRY_COMPARE_WITH_TIMEOUT(broker->subscribeLists().last(), QString("BSE|500325"), 5000);
        QVERIFY(broker->calls.contains("unsubscribe:NSE|500325"));
        QVERIFY(finishStartup(*w));
        QCOMPARE(prompts->kinds(), QStringList());
    }

    void startupDownloadNamesTheMissingMasters()
    {
        // No cached master; two of the six files are refused. The rest load, and the status line
        // and one box name the two that did not.
        HttpTestServer host;
        QVERIFY(host.listen());
        const QStringList exchanges{"NSE", "BSE", "NFO", "MCX", "BCD", "CDS"};
        for (int i = 0; i < exchanges.size(); ++i) {
            const QByteArray row = QByteArray::number(1000 + i) + ",1,SYM" + QByteArray::number(i) + ",Name," + exchanges[i].toUtf8() + "\n";
            host.setReply("GET", "/instruments/" + exchanges[i],
                          HttpTestServer::Reply::bytes("instrument_token,exchange_token,tradingsymbol,name,exchange\n" + row));
        }
        host.setReply("GET", "/instruments/NFO", HttpTestServer::Reply::json("{}", 503));
        host.setReply("GET", "/instruments/CDS", HttpTestServer::Reply::json("{}", 404));
        settings->setProvider(SettingsManager::Zerodha);
        settings->setCurrentBroker("Zerodha");
        MainWindowSeams seams = recordingSeams();
        const auto offlineRepository = seams.prepareRepository;
        seams.prepareRepository = [&](SymbolRepository* repo) {
            offlineRepository(repo);
            repo->setDownloadHost("Zerodha", host.baseUrl());
        };
        auto w = std::make_unique<MainWindow>(seams);
        QVERIFY(finishStartup(*w));
        QCOMPARE(w->repository()->size(), 4);
        QCOMPARE(windowStatus(*w), QString("Zerodha instrument masters missing: NFO, CDS - downloaded again at the next load"));
        QTRY_COMPARE_WITH_TIMEOUT(prompts->kinds(), QStringList{"warning"}, 5000);
        QCOMPARE(prompts->shown.first().title, QString("Instrument Masters Incomplete"));
        QCOMPARE(prompts->shown.first().text,
                 QString("The NFO, CDS instrument masters of Zerodha could not be downloaded, so their instruments "
                         "cannot be found or subscribed.\n\nThey are downloaded again at the next load."));
    }

    void refreshAfterCacheLoadSubscribesWhileTheBoxIsOpen()
    {
        // NSE and MCX come from the cache; BSE and NFO have no file and are fetched just after.
        // BSE arrives and holds the watchlist's item, NFO is refused. The item's subscription moves
        // from its stand-in key to the BSE token without waiting for the user to answer the box
        // about NFO.
        settings->setProvider(SettingsManager::FlatTrade);
        settings->setCurrentBroker("FlatTrade");
        settings->setWatchlistForBroker("FlatTrade", {"500325"});
        QVERIFY(writeFreshFlatTradeCache(settings->appDataPath(), {"NSE", "MCX"}));
        HttpTestServer host;
        QVERIFY(host.listen());
        host.setReply("GET", "/scripmaster/BSE_Equity.csv",
                      HttpTestServer::Reply::bytes("Exchange,Token,LotSize,Symbol,TradingSymbol\nBSE,500325,1,RELIANCE,RELIANCE\n"));
        host.setReply("GET", "/scripmaster/Nfo_Equity_Derivatives.csv", HttpTestServer::Reply::json("{}", 503));
        auto box = std::make_shared<PendingMastersBox>();
        prompts = box;
        MainWindowSeams seams = recordingSeams();
        seams.autoSubscribeDelayMs = 0;
        QPointer<SymbolRepository> repository;
        const auto offlineRepository = seams.prepareRepository;
        seams.prepareRepository = [&](SymbolRepository* repo) {
            offlineRepository(repo);
            repo->setDownloadHost("FlatTrade", host.baseUrl());
            repository = repo;
        };
        auto w = std::make_unique<MainWindow>(seams);
        QVERIFY(broker && repository);
        QSignalSpy reloaded(repository.data(), &SymbolRepository::symbolsReloaded);
        box->status = [&] { return windowStatus(*w); };
        box->awaited = [&] {
            return !reloaded.isEmpty() && !broker->subscribeLists().isEmpty()
                && broker->subscribeLists().last() == QLatin1String("BSE|500325");
        };
        broker->reportConnected(true);
        QVERIFY(finishStartup(*w));
        QTRY_COMPARE_WITH_TIMEOUT(box->kinds(), QStringList{"warning"}, 10000);
        QVERIFY(box->heldWhileOpen);
        QCOMPARE(box->statusWhileOpen,
                 QString("FlatTrade instrument masters missing: NFO - downloaded again at the next load"));
        QVERIFY(broker->subscribeLists().contains("NSE|500325"));  // the stand-in, before BSE came
        QVERIFY(broker->calls.contains("unsubscribe:NSE|500325"));
        QCOMPARE(host.requestCount(), 2);
        QVERIFY(w->repository()->findByExchangeToken("BSE", "500325").isFound());
    }

    void itemsWithoutKeysAreNamedOnce_data()
    {
        QTest::addColumn<int>("provider");
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<QString>("notice");
        QTest::newRow("AngelOne, names instead of tokens")
            << int(SettingsManager::AngelOne) << QStringList{"RELIANCE", "TCS"}
            << "Nothing subscribed on AngelOne: RELIANCE, TCS - not a token number";
        QTest::newRow("TradeJini, no master")
            << int(SettingsManager::TradeJini) << QStringList{"2885"}
            << "Nothing subscribed on TradeJini: 2885 - no token and exchange found in the instrument master";
    }

    void itemsWithoutKeysAreNamedOnce()
    {
        QFETCH(int, provider);
        QFETCH(QStringList, items);
        QFETCH(QString, notice);
        const QString name = SettingsManager::providerName(provider);
        settings->setProvider(provider);
        settings->setCurrentBroker(name);
        settings->setWatchlistForBroker(name, items);
        MainWindowSeams seams = recordingSeams();
        quickStartupSteps(seams);
        seams.autoSubscribeDelayMs = 0;
        auto w = std::make_unique<MainWindow>(seams);
        QVERIFY(finishStartup(*w));
        LogCapture log;
        broker->reportConnected(true);
        QTRY_COMPARE_WITH_TIMEOUT(windowStatus(*w), notice, 5000);
        QCOMPARE(broker->subscribeLists(), QStringList{QString()});
        // Asked again, the window keeps the notice up but does not log it again.
        emit settings->settingsChanged();
        QTRY_COMPARE_WITH_TIMEOUT(broker->subscribeLists().size(), 2, 5000);
        QCOMPARE(windowStatus(*w), notice);
        QCOMPARE(log.count(QtWarningMsg, notice), 1);
    }

    // The broker came up before the start-up step: that step starts no load for AngelOne, so its
    // "Loading" text would stand for good over the notice that says what to fix.
    void startupStepKeepsTheNothingSubscribedNotice()
    {
        settings->setProvider(SettingsManager::AngelOne);
        settings->setCurrentBroker("AngelOne");
        settings->setWatchlistForBroker("AngelOne", {"RELIANCE"});
        MainWindowSeams seams = recordingSeams();
        seams.startupDelayMs = 60 * 60 * 1000;  // run below, after the subscription
        seams.autoSubscribeDelayMs = 0;
        auto w = std::make_unique<MainWindow>(seams);
        QVERIFY(finishStartup(*w));
        broker->reportConnected(true);
        const QString notice("Nothing subscribed on AngelOne: RELIANCE - not a token number");
        QTRY_COMPARE_WITH_TIMEOUT(windowStatus(*w), notice, 5000);
        QMetaObject::invokeMethod(w.get(), "autoLoadSymbolData");
        QCOMPARE(windowStatus(*w), notice);
    }

    void noMasterLoadWithoutOne_data()
    {
        QTest::addColumn<int>("provider");
        QTest::addColumn<bool>("byMenu");  // the user's Load Symbol Data, else two settings OKs
        QTest::newRow("TradeJini, OK") << int(SettingsManager::TradeJini) << false;
        QTest::newRow("TradeJini, menu") << int(SettingsManager::TradeJini) << true;
        QTest::newRow("Dhan, menu") << int(SettingsManager::Dhan) << true;
    }

    void noMasterLoadWithoutOne()
    {
        // The symbol manager offers no master for these brokers: nothing is downloaded (its load
        // button would fetch another broker's), nothing opens, and the log says so once.
        QFETCH(int, provider);
        QFETCH(bool, byMenu);
        const QString name = SettingsManager::providerName(provider);
        HttpTestServer masters;
        QVERIFY(masters.listen());
        settings->setProvider(provider);
        settings->setCurrentBroker(name);
        settings->setWatchlistForBroker(name, {"2885", "11536"});
        MainWindowSeams seams = recordingSeams();
        quickStartupSteps(seams);
        const auto offlineManager = seams.prepareSymbolManager;
        seams.prepareSymbolManager = [&](SymbolManager* manager) {
            offlineManager(manager);
            for (const char* broker : {"FlatTrade", "Zerodha", "Fyers"})
                manager->setMasterHost(broker, masters.baseUrl());
        };
        auto w = std::make_unique<MainWindow>(seams);
        QVERIFY(finishStartup(*w));
        QTRY_VERIFY_WITH_TIMEOUT(w->symbolManagerDialog(), 5000);
        prompts->shown.clear();  // the start-up download's failure
        broker->connected = true;
        LogCapture log;
        const QString said = byMenu ? "[Manual] The Symbol Manager has no symbol data to load for " + name
                                    : "[MainWindow] The Symbol Manager has no symbol data to load for " + name;
        for (int i = 0; i < 2; ++i) {
            if (byMenu)
                QMetaObject::invokeMethod(w.get(), "onLoadSymbolDataAction");
            else
                emit settings->settingsChanged();
            QTRY_VERIFY_WITH_TIMEOUT(log.contains(said), 5000);
        }
        QCOMPARE(log.count(said), byMenu ? 2 : 1);  // each click answered, repeated OKs not
        QVERIFY(!w->symbolManagerDialog()->isVisible());
        QCOMPARE(masters.requestCount(), 0);
        QCOMPARE(prompts->kinds(), QStringList());
    }
};

QTEST_MAIN(TestWindowLoad)
#include "tst_windowload.moc"
