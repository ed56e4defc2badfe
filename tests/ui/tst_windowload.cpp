// The window under load: a settings burst, a failing feed that keeps reconnecting, and the
// start-up master download, each against real peers on 127.0.0.1.
#include "brokers/BrokerAPI.h"
#include "brokers/dhan/DhanBroker.h"
#include "support/HttpTestServer.h"
#include "support/LogCapture.h"
#include "support/OfflineWindow.h"
#include "support/RefusingHttpServer.h"
#include "ui/dialogs/SettingsDialog.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QtTest>

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
            repo->setDownloadTimeout(400);
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
