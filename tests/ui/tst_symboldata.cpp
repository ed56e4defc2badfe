// The window's instrument masters: the start-up load after construction, the on-demand load that
// presses the symbol manager's load button, and the Zerodha master check announced on the
// window's own stream.
#include "support/LogCapture.h"
#include "support/OfflineWindow.h"
#include "support/TestFiles.h"
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

    void startupLoad_data()
    {
        QTest::addColumn<int>("provider");
        QTest::addColumn<QStringList>("watchlist");
        QTest::addColumn<bool>("resolvable");
        QTest::addColumn<QString>("statusText");  // empty: no load
        QTest::newRow("empty watchlist: nothing made") << 0 << QStringList() << false << "";
        QTest::newRow("first token resolves: no load") << 0 << QStringList{"408065", "999"} << true << "";
        QTest::newRow("Zerodha unresolved")
            << 0 << QStringList{"408065"} << false
            << "Loading Zerodha symbol data to convert tokens to symbol names...";
        QTest::newRow("Fyers unresolved")
            << 7 << QStringList{"10999"} << false
            << "Loading Fyers symbol data to convert tokens to symbol names...";
    }

    void startupLoad()
    {
        QFETCH(int, provider);
        QFETCH(QStringList, watchlist);
        QFETCH(bool, resolvable);
        QFETCH(QString, statusText);
        settings->setWatchlistForBroker(SettingsManager::providerName(provider), watchlist);
        auto w = makeWindow(provider, true, {}, resolvable ? watchlist.first() : QString());
        if (watchlist.isEmpty()) {
            // A precise timer of ten start-up pauses, started after the window's, ends after it.
            QTimer settled;
            settled.setSingleShot(true);
            settled.setTimerType(Qt::PreciseTimer);
            QSignalSpy done(&settled, &QTimer::timeout);
            settled.start(200);
            QVERIFY(done.wait(5000));
            QVERIFY(!w->symbolManagerDialog());
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(w->symbolManagerDialog(), 5000);
        if (!statusText.isEmpty())
            QTRY_COMPARE_WITH_TIMEOUT(windowStatus(*w), statusText, 5000);
        else
            QVERIFY(!windowStatus(*w).startsWith("Loading"));
        QVERIFY(!w->symbolManagerDialog()->isVisible());
    }

    void onDemandLoadPressesLoadButton_data()
    {
        QTest::addColumn<int>("provider");
        QTest::addColumn<bool>("cached");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QByteArray>("masterLine");
        const QByteArray fyersLine = "10100000001,INFOSYS LTD,0,1,0.05,INE009A01021,0915-1530|1815-1915:,2024-03-15,"
                                     "0,NSE:INFY-EQ,10,1,1594,INFY,1594,-1.0,XX,10100000001,None,0,0.0\n";
        const QByteArray zerodhaLine = "instrument_token,exchange_token,tradingsymbol,name,last_price,expiry,strike,"
                                       "tick_size,lot_size,instrument_type,segment,exchange\n"
                                       "408065,1594,INFY,INFOSYS,0,,0,0.05,1,EQ,NSE,NSE\n";
        QTest::newRow("Fyers master cached")
            << int(SettingsManager::Fyers) << true << "Symbol data loading completed. Watchlist refreshed." << fyersLine;
        // The dialog lists Fyers first: the load must still be the current broker's.
        QTest::newRow("Zerodha master cached")
            << int(SettingsManager::Zerodha) << true << "Symbol data loading completed. Watchlist refreshed." << zerodhaLine;
        QTest::newRow("download fails") << int(SettingsManager::Zerodha) << false
                                        << "Symbol data loading failed. See the Symbol Manager for the reason." << QByteArray();
    }

    void onDemandLoadPressesLoadButton()
    {
        QFETCH(int, provider);
        QFETCH(bool, cached);
        QFETCH(QString, outcome);
        const QString name = SettingsManager::providerName(provider);
        settings->setWatchlistForBroker(name, {"408065"});
        auto w = makeWindow(provider, false);
        QMetaObject::invokeMethod(w.get(), "onLoadSymbolDataAction");
        SymbolManager* manager = w->symbolManagerDialog();
        QVERIFY(manager);
        QVERIFY(manager->isVisible());
        QCOMPARE(windowStatus(*w), QString("Loading %1 symbol data...").arg(name));
        if (cached) {
            QFile master(manager->cacheFilePath(name, "NSE"));
            QVERIFY(master.open(QIODevice::WriteOnly));
            QFETCH(QByteArray, masterLine);
            master.write(masterLine);
        }
        // The outcome comes from the dialog's load button, which the window pressed.
        QTRY_COMPARE_WITH_TIMEOUT(windowStatus(*w), outcome, 8000);
        QCOMPARE(manager->isVisible(), !cached);

        // A second request reuses the same dialog.
        QMetaObject::invokeMethod(w.get(), "onLoadSymbolDataAction");
        QCOMPARE(w->symbolManagerDialog(), manager);
    }

    void zerodhaMasterCheck()
    {
        WebSocketTestServer server;
        QVERIFY(server.listen());
        settings->setZerodhaApiKey("zkey");
        settings->setZerodhaAccessToken("ztok");
        settings->setWatchlistForBroker("Zerodha", {"408065"});
        auto w = makeWindow(SettingsManager::Zerodha, false, server.baseUrl() + "/");
        QMetaObject::invokeMethod(w.get(), "onLoadSymbolDataAction");
        SymbolManager* manager = w->symbolManagerDialog();
        QVERIFY(manager);
        broker->reportConnected(true);
        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), 1, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(w->findChild<QPushButton*>("stopLiveFeedBtn")->isEnabled(), 5000);

        // An ETag only stands beside the master it was fetched with: the window's own loads, queued
        // after the subscriptions, rightly drop one that has none.
        const QString metaPath = manager->cacheMetaPath("Zerodha", "NSE");
        QVERIFY(QDir().mkpath(QFileInfo(metaPath).path()));
        QVERIFY(TestFiles::writeFile(manager->cacheFilePath("Zerodha", "NSE"),
                                     "instrument_token,exchange_token,tradingsymbol,name,last_price,expiry,strike,"
                                     "tick_size,lot_size,instrument_type,segment,exchange\n"
                                     "408065,1594,INFY,INFOSYS,0,,0,0.05,1,EQ,NSE,NSE\n"));
        // The download starts (and fails) out of sight: its announcement is all that shows.
        struct Case {
            const char* etag;
            bool kept;
            const char* outcome;
        };
        const Case cases[] = {
            {"E1", true, "[Symbol Sync] Local instrument master is up-to-date (etag matches)"},
            {"E2", true, "[Symbol Sync] Remote ETag differs (local: \"E1\" , remote: \"E2\" ) - refreshing cache"},
            {"E2", false, "[Symbol Sync] No local ETag present - starting silent download"},
        };
        const qint64 before = w->ticksReceived();
        for (const Case& c : cases) {
            QFile::remove(metaPath);
            if (c.kept)
                manager->writeCacheMeta(metaPath, QJsonObject{{"etag", "E1"}});
            LogCapture log;
            server.sendText(QString(R"({"type":"instruments_meta","data":{"etag":"%1","count":5}})").arg(c.etag));
            QTRY_VERIFY_WITH_TIMEOUT(log.contains("[WebSocket] instruments_meta processed"), 5000);
            QVERIFY2(log.contains(c.outcome), c.outcome);
        }
        QCOMPARE(w->ticksReceived(), before + 3);
    }

private:
    // Start-up steps at once for the start-up rows; otherwise they stay seconds away, out of
    // the way of the on-demand load. `known` is an instrument the repository holds from the start.
    std::unique_ptr<MainWindow> makeWindow(int provider, bool quickStartup,
                                           const QString& zerodhaStream = {}, const QString& known = {})
    {
        settings->setProvider(provider);
        MainWindowSeams seams = recordingSeams();
        seams.zerodhaStreamUrl = zerodhaStream;
        if (quickStartup)
            quickStartupSteps(seams);
        seams.masterFollowUpMs = 60000;  // the rebuild after a load would replace its status text
        seams.loadButtonDelayMs = 20;
        const auto offlineRepository = seams.prepareRepository;
        seams.prepareRepository = [offlineRepository, known](SymbolRepository* repo) {
            offlineRepository(repo);
            if (!known.isEmpty())
                repo->addSymbol("INFY", known, "NSE", "EQ");
        };
        auto w = std::make_unique<MainWindow>(seams);
        finishStartup(*w);
        prompts->shown.clear();
        return w;
    }
};

// ---------------------------------------------------------------------------------------------

QTEST_MAIN(TestSymbolData)
#include "tst_symboldata.moc"
