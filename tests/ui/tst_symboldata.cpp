// The window's instrument masters: the start-up load two seconds after construction, the
// on-demand load that presses the symbol manager's load button, and the Zerodha master check
// announced on the window's own stream.
#include "support/LogCapture.h"
#include "support/OfflineWindow.h"
#include "support/WebSocketTestServer.h"

#include <QJsonObject>
#include <QPushButton>
#include <QtTest>

class TestSymbolData : public QObject, protected WindowFixture
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(openHome("SymbolDataTest")); }
    void init() { freshState(); }
    void cleanup() { dropState(); }

    void startupLoad_data();
    void startupLoad();
    void onDemandLoadPressesLoadButton_data();
    void onDemandLoadPressesLoadButton();
    void zerodhaMasterCheck();

private:
    std::unique_ptr<MainWindow> makeWindow(int provider, const QString& zerodhaUrl = {})
    {
        settings->setProvider(provider);
        MainWindowSeams seams = recordingSeams();
        seams.zerodhaStreamUrl = zerodhaUrl;
        auto w = std::make_unique<MainWindow>(seams);
        prompts->shown.clear();
        return w;
    }
};

// ---------------------------------------------------------------------------------------------

void TestSymbolData::startupLoad_data()
{
    QTest::addColumn<int>("provider");
    QTest::addColumn<QStringList>("watchlist");
    QTest::addColumn<bool>("resolvable");
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<QString>("statusText");
    QTest::newRow("empty watchlist: nothing made")
        << 0 << QStringList() << false << "[Startup] No watchlist items for broker" << "";
    QTest::newRow("first token resolves: no load")
        << 0 << QStringList{"408065", "999"} << true
        << "[Startup] Symbol data already loaded, refreshing watchlist display" << "";
    QTest::newRow("Zerodha unresolved: silent NSE load")
        << 0 << QStringList{"408065"} << false << "[Startup] Force-loading Zerodha symbols (silent)"
        << "Loading Zerodha symbol data to convert tokens to symbol names...";
    QTest::newRow("Fyers unresolved: background load")
        << 7 << QStringList{"10999"} << false
        << "[Startup] Force-loading Fyers symbols (background, no UI)"
        << "Loading Fyers symbol data to convert tokens to symbol names...";
    QTest::newRow("Dhan unresolved: status only")
        << 3 << QStringList{"1333"} << false << "[Startup] Testing token"
        << "Loading Dhan symbol data to convert tokens to symbol names...";
}

void TestSymbolData::startupLoad()
{
    QFETCH(int, provider);
    QFETCH(QStringList, watchlist);
    QFETCH(bool, resolvable);
    QFETCH(QString, logLine);
    QFETCH(QString, statusText);
    const QString name = SettingsManager::providerName(provider);
    settings->setWatchlistForBroker(name, watchlist);
    LogCapture log;
    auto w = makeWindow(provider);
    if (resolvable)
        w->repository()->addSymbol("INFY", watchlist.first(), "NSE", "EQ");
    QTRY_VERIFY_WITH_TIMEOUT(log.contains(logLine), 6000);
    QCOMPARE(w->symbolManagerDialog() != nullptr, !watchlist.isEmpty());
    if (!statusText.isEmpty())
        QCOMPARE(windowStatus(*w), statusText);
    else
        QVERIFY(!windowStatus(*w).startsWith("Loading"));
    QVERIFY(!w->symbolManagerDialog() || !w->symbolManagerDialog()->isVisible());
}

void TestSymbolData::onDemandLoadPressesLoadButton_data()
{
    QTest::addColumn<int>("provider");
    QTest::addColumn<bool>("cached");
    QTest::addColumn<QString>("outcome");
    QTest::newRow("master cached")
        << int(SettingsManager::Fyers) << true << "Symbol data loading completed. Watchlist refreshed.";
    QTest::newRow("download fails") << int(SettingsManager::Zerodha) << false
                                    << "Symbol data loading failed. See the Symbol Manager for the reason.";
}

void TestSymbolData::onDemandLoadPressesLoadButton()
{
    QFETCH(int, provider);
    QFETCH(bool, cached);
    QFETCH(QString, outcome);
    const QString name = SettingsManager::providerName(provider);
    settings->setWatchlistForBroker(name, {"408065"});
    auto w = makeWindow(provider);
    LogCapture log;
    QMetaObject::invokeMethod(w.get(), "onLoadSymbolDataAction");
    SymbolManager* manager = w->symbolManagerDialog();
    QVERIFY(manager);
    QVERIFY(manager->isVisible());
    QCOMPARE(windowStatus(*w), QString("Loading %1 symbol data...").arg(name));
    if (cached) {
        QFile master(manager->cacheFilePath(name, "NSE"));
        QVERIFY(master.open(QIODevice::WriteOnly));
        master.write("10100000001,INFOSYS LTD,0,1,0.05,INE009A01021,0915-1530|1815-1915:,2024-03-15,"
                     "0,NSE:INFY-EQ,10,1,1594,INFY,1594,-1.0,XX,10100000001,None,0,0.0\n");
    }

    QTRY_VERIFY_WITH_TIMEOUT(log.contains("[Manual] Auto-clicking load button: \"Load Symbols\""), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(windowStatus(*w), outcome, 8000);
    QCOMPARE(manager->isVisible(), !cached);

    // A second request reuses the same dialog.
    QMetaObject::invokeMethod(w.get(), "onLoadSymbolDataAction");
    QCOMPARE(w->symbolManagerDialog(), manager);
}

void TestSymbolData::zerodhaMasterCheck()
{
    WebSocketTestServer server;
    QVERIFY(server.listen());
    settings->setZerodhaApiKey("zkey");
    settings->setZerodhaAccessToken("ztok");
    settings->setWatchlistForBroker("Zerodha", {"408065"});
    auto w = makeWindow(SettingsManager::Zerodha, server.baseUrl() + "/");
    QMetaObject::invokeMethod(w.get(), "onLoadSymbolDataAction");
    SymbolManager* manager = w->symbolManagerDialog();
    QVERIFY(manager);
    broker->reportConnected(true);
    QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
    QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), 1, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(w->findChild<QPushButton*>("stopLiveFeedBtn")->isEnabled(), 5000);

    const QString metaPath = manager->cacheMetaPath("Zerodha", "NSE");
    QVERIFY(QDir().mkpath(QFileInfo(metaPath).path()));
    manager->writeCacheMeta(metaPath, QJsonObject{{"etag", "E1"}});
    auto notice = [](const char* etag) {
        return QString(R"({"type":"instruments_meta","data":{"etag":"%1","count":5}})").arg(etag);
    };

    LogCapture log;
    const qint64 before = w->ticksReceived();
    server.sendText(notice("E1"));
    QTRY_VERIFY_WITH_TIMEOUT(log.contains("[WebSocket] instruments_meta processed"), 5000);
    QVERIFY(log.contains("[Symbol Sync] Local instrument master is up-to-date (etag matches)"));
    QVERIFY(!log.contains("Remote ETag differs"));
    QCOMPARE(w->ticksReceived(), before + 1);

    log.clear();
    server.sendText(notice("E2"));
    QTRY_VERIFY_WITH_TIMEOUT(log.contains("[WebSocket] instruments_meta processed"), 5000);
    QVERIFY(log.contains("[Symbol Sync] Remote ETag differs (local: \"E1\" , remote: \"E2\" ) - refreshing cache"));

    log.clear();
    QFile::remove(metaPath);
    server.sendText(notice("E2"));
    QTRY_VERIFY_WITH_TIMEOUT(log.contains("[WebSocket] instruments_meta processed"), 5000);
    QVERIFY(log.contains("[Symbol Sync] No local ETag present - starting silent download"));
    QCOMPARE(w->ticksReceived(), before + 3);
}

QTEST_MAIN(TestSymbolData)
#include "tst_symboldata.moc"
