// The main window as a trader uses it: built per provider around a recording broker, the
// watchlist, ticks landing in rows, the store and the exporter, connecting, backfill requests
// and the AmiBroker switch-on.
#include "amibroker/AmiBrokerPlugin.h"
#include "amibroker/CSVExporter.h"
#include "backtest/SQLiteOHLCStore.h"
#include "brokers/BrokerAPI.h"
#include "brokers/HistoricalDownloader.h"
#include "brokers/LiveFeeder.h"
#include "brokers/tradejini/TradeJiniBroker.h"
#include "core/DataManager.h"
#include "platform/AutomationBackend.h"
#include "support/CandleFixture.h"
#include "support/FakeAutomation.h"
#include "support/HttpTestServer.h"
#include "support/LogCapture.h"
#include "support/OfflineWindow.h"
#include "support/StrategyGraph.h"
#include "ui/AlertWindow.h"
#include "ui/ElidedLabel.h"

#include <QComboBox>
#include <QDateEdit>
#include <QHeaderView>
#include <QHelpEvent>
#include <QJsonArray>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QToolTip>
#include <QtTest>

namespace {

// n daily bars from 5 January 2026 at 09:15, each price level `first` + day.
QList<OHLCData> dailyBars(const QString& symbol, int n, double first)
{
    QList<OHLCData> bars;
    for (int i = 0; i < n; ++i) {
        OHLCData b;
        b.symbol = symbol;
        b.timestamp = QDateTime(QDate(2026, 1, 5 + i), QTime(9, 15));
        b.open = b.high = b.low = b.close = first + i;
        bars << b;
    }
    return bars;
}

}  // namespace

class TestMainWindow : public QObject, protected WindowFixture
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(openHome("MainWindowTest") && tempDir.isValid()); }
    void init()
    {
        freshState();
        csvDir = std::make_unique<QTemporaryDir>();
    }
    void cleanup() { dropState(); }

    void constructionPerProvider_data()
    {
        QTest::addColumn<int>("provider");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QStringList>("keys");
        const QStringList direct{"initialize", "connect"};
        const QStringList waits{"initialize", "downloadInstrumentList"};
        QTest::newRow("Zerodha") << 0 << direct
                                 << QStringList{"access_token", "api_key", "api_secret", "ws_url"};
        QTest::newRow("FlatTrade") << 1 << direct << QStringList{"access_token", "client_id", "ws_url"};
        QTest::newRow("TradeJini") << 2 << direct << QStringList{"accessToken", "apiKey", "clientId"};
        QTest::newRow("Dhan") << 3 << waits << QStringList{"access_token", "client_id"};
        QTest::newRow("AngelOne") << 4 << waits
                                  << QStringList{"api_key", "client_code", "feed_token", "jwt_token"};
        QTest::newRow("Upstox") << 5 << direct
                                << QStringList{"access_token", "api_key", "api_secret"};
        QTest::newRow("Custom API") << 6 << QStringList() << QStringList();
        QTest::newRow("Fyers") << 7 << direct
                               << QStringList{"access_token", "app_id", "client_id", "ws_url"};
        QTest::newRow("unknown") << 42 << QStringList() << QStringList();
    }
    void constructionPerProvider()
    {
        QFETCH(int, provider);
        QFETCH(QStringList, calls);
        QFETCH(QStringList, keys);
        settings->setProvider(provider);
        settings->setTradeJiniAccessToken("tj-token");
        settings->setFyersClientId("FY-1");
        auto w = makeWindow();

        if (calls.isEmpty()) {
            QVERIFY(factoryCalls.isEmpty());
            QVERIFY(!w->brokerFacade()->implementation());
            return;
        }
        QCOMPARE(factoryCalls, QList<int>{provider});
        QCOMPARE(w->brokerFacade()->implementation(), broker.data());
        QCOMPARE(broker->calls, calls);
        QCOMPARE(broker->configs.first().keys(), keys);
        if (provider == 2)
            QCOMPARE(broker->configs.first().value("accessToken"), QString("tj-token"));
        if (provider == 7) {
            QCOMPARE(broker->configs.first().value("client_id"), QString("FY-1"));
            QVERIFY(broker->configs.first().value("ws_url").endsWith("/versova"));
        }
        // Brokers that wait for their instrument list connect on each list that arrives.
        emit broker->instrumentListDownloaded();
        QCOMPARE(broker->calls.count("connect"), 1);
        // The current broker follows the provider.
        QCOMPARE(settings->currentBroker(), SettingsManager::providerName(provider));
    }
    void formAndFace()
    {
        settings->setProvider(SettingsManager::CustomAPI);
        auto w = makeWindow();
        auto* tabs = w->findChild<QTabWidget*>("tabWidget");
        QCOMPARE(tabs->count(), 1);
        // The removed pages stay in the tree, and the backfill pickers found by name are the
        // toolbar's, not the hidden page's namesakes.
        QVERIFY(w->findChild<QWidget*>("historicalDataTab"));
        auto* from = w->findChild<QDateEdit*>("fromDateEdit");
        QCOMPARE(from->displayFormat(), QString("dd-MM-yyyy"));
        QCOMPARE(from->parentWidget()->objectName(), QString("liveToolbar"));
        QVERIFY(w->findChild<QPushButton*>("startLiveFeedBtn")->isEnabled());
        QVERIFY(!w->findChild<QPushButton*>("stopLiveFeedBtn")->isEnabled());

        // The About box and the Backtest notice both go through the prompts.
        QMetaObject::invokeMethod(w.get(), "onAboutAction");
        w->findChild<QPushButton*>("backtestBtn")->click();
        // The "Custom API" has no instrument master, so its start raised no download-failure box.
        QCOMPARE(prompts->kinds(), (QStringList{"about", "information"}));
        QVERIFY(prompts->shown[0].text.contains("<b>Version 6.2.9</b> (Build B0420.02)"));
    }
    void settingsStoreFromApplication()
    {
        // The application's store, also one level down, is the window's; without one it makes its own.
        settings->setProvider(SettingsManager::CustomAPI);
        QCOMPARE(makeWindow()->settingsManager(), settings);
        {
            QObject holder(qApp);
            settings->setParent(&holder);
            QCOMPARE(makeWindow()->settingsManager(), settings);
            settings->setParent(nullptr);
        }
        auto w = makeWindow();
        settings->setParent(qApp);
        QVERIFY(w->settingsManager() != settings);
        QCOMPARE(w->settingsManager()->parent(), w.get());
    }
    void alertWindowClosesOnOk()
    {
        // Its showing from the window is covered with the Zerodha feed; here its own OK button.
        QPointer<AlertWindow> alert = new AlertWindow("Token Expired", "Please authenticate again.");
        alert->setAttribute(Qt::WA_DeleteOnClose);
        alert->show();
        QSignalSpy accepted(alert.data(), &QDialog::accepted);
        QTest::mouseClick(alert->findChild<QPushButton*>(), Qt::LeftButton);
        QCOMPARE(accepted.count(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(alert.isNull(), 5000);
    }
    void teardownSavesAndReleasesPlugin()
    {
        settings->setProvider(SettingsManager::TradeJini);
        auto w = makeWindow();
        QVERIFY(AmiBrokerPlugin::instance());
        settings->setWatchlist({"2885", "1594"});  // in memory only until a save
        w.reset();
        QVERIFY(!AmiBrokerPlugin::instance());
        QVERIFY(!broker);  // the connector went with the window
        SettingsManager reread;
        QCOMPARE(reread.watchlist(), (QStringList{"2885", "1594"}));
    }
    void defaultConnectorFactory()
    {
        // Without a factory seam the window builds the connectors that exist and says so for the rest.
        settings->setProvider(SettingsManager::TradeJini);
        settings->saveSettings();
        MainWindowSeams seams = offlineWindowSeams(prompts);
        {
            MainWindow w(seams);
            QVERIFY(qobject_cast<TradeJiniBroker*>(w.brokerFacade()->implementation()));
        }
        // The factory alone (no window, so nothing connects): one connector class per provider.
        const QMap<int, QByteArray> classes{{0, "ZerodhaBroker"}, {1, "FlatTradeBroker"},
                                            {2, "TradeJiniBroker"}, {3, "DhanBroker"},
                                            {4, "AngelOneBroker"}, {5, "UpstoxBroker"},
                                            {7, "FyersBroker"}};
        for (auto it = classes.begin(); it != classes.end(); ++it) {
            QObject parent;
            IBroker* made = MainWindow::createDefaultBroker(it.key(), &parent);
            QVERIFY(made);
            QCOMPARE(QByteArray(made->metaObject()->className()), it.value());
            QCOMPARE(made->parent(), &parent);
        }
        QObject parent;
        LogCapture log;
        QVERIFY(!MainWindow::createDefaultBroker(SettingsManager::CustomAPI, &parent));
        QVERIFY(log.contains(QtWarningMsg, "[MainWindow] No connector available for provider: \"Custom API\""));
    }
    void teardownWhileBacktestRuns_data()
    {
        // Where the worker is when the window closes varies from run to run: a few runs make a
        // wrong teardown order show under AddressSanitizer far more often than one.
        QTest::addColumn<int>("attempt");
        for (int i = 1; i <= 3; ++i)
            QTest::newRow(qPrintable(QString("run %1").arg(i))) << i;
    }
    void teardownWhileBacktestRuns()
    {
        // Candles for a four-week job in the window's own candle store.
        {
            const QString folder =
                QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/backtest";
            QVERIFY(QDir().mkpath(folder));
            SQLiteOHLCStore store;
            QVERIFY(store.open(folder));
            for (QDate d(2024, 3, 4); d <= QDate(2024, 3, 29); d = d.addDays(1)) {
                if (d.dayOfWeek() > 5)
                    continue;
                const auto day = CandleFixture::randomDay(d.toString(Qt::ISODate), 100, quint32(d.day()));
                for (const char* symbol : {"AAA", "BBB", "CCC", "DDD"})
                    QCOMPARE(store.insertMinuteCandles(symbol, day), 375);
            }
        }
        // The callback service answers at once, so the worker goes on reading day after day.
        HttpTestServer callbacks;
        QVERIFY(callbacks.listen());
        callbacks.setReply("POST", "/api/backtest/progress/T1", HttpTestServer::Reply::json("{}"));
        callbacks.setReply("POST", "/api/backtest/ingest/T1", HttpTestServer::Reply::json("{}"));

        settings->setProvider(SettingsManager::CustomAPI);
        auto w = makeWindow();
        using namespace StrategyGraph;
        const QJsonObject strategy = graph(
            {block(1, "CandleClose"), block(2, "EMA", {{"period", 9}}), block(3, "CrossedAbove"),
             block(4, "BuyEntry"), block(5, "StopLoss", {{"percent", 0.2}}),
             block(6, "Target", {{"percent", 0.2}})},
            {edge(1, 2), edge(1, 3), edge(2, 3, 1), edge(3, 4)}, 2);
        w->handleBacktestJob(QJsonObject{{"type", "backtest_job"}, {"job_id", "T1"}, {"from", "2024-03-04"},
                                         {"to", "2024-03-29"}, {"interval", "1m"}, {"strategy", strategy},
                                         {"symbols", QJsonArray{"AAA", "BBB", "CCC", "DDD"}},
                                         {"callback_base", callbacks.baseUrl()}});
        QTRY_VERIFY_WITH_TIMEOUT(callbacks.requestCount() >= 1, 15000);
        // Closing now must stop the worker before the store it reads goes away.
        w.reset();
    }

    void watchlistRows()
    {
        useBroker(SettingsManager::TradeJini, {"2885", "12345678901234", "ABCDEFGHIJKLMN", ""});
        auto w = makeWindow();
        w->repository()->addSymbol("RELIANCE", "2885", "NSE", "EQ");
        emit w->repository()->symbolsReloaded();

        QTableWidget* t = watchlistTable(*w);
        QCOMPARE(t->rowCount(), 4);
        struct Row {
            QString name;
            bool grey;
        };
        const Row expected[] = {{"RELIANCE", false}, {"Token_901234", true}, {"ABCDEFGHIJKLMN", true},
                                {"", true}};
        for (int r = 0; r < 4; ++r) {
            QTableWidgetItem* item = t->item(r, 0);
            QCOMPARE(item->text(), expected[r].name);
            QCOMPARE(item->foreground().color() == QColor(128, 128, 128), expected[r].grey);
            QCOMPARE(item->toolTip().isEmpty(), !expected[r].grey);
            QCOMPARE(t->item(r, 1)->text(), QString("--"));
        }
        QCOMPARE(t->item(1, 0)->data(Qt::UserRole).toString(), QString("12345678901234"));
        QVERIFY(rowButton(*w, 0, "Load History")->isEnabled());
        QVERIFY(!rowButton(*w, 3, "Load History")->isEnabled());  // empty token
        QCOMPARE(rowButton(*w, 0, "Remove")->property("watchlistToken").toString(), QString("2885"));
    }
    void addRemoveClear()
    {
        settings->setProvider(SettingsManager::TradeJini);
        auto w = makeWindow();
        w->repository()->addSymbol("RELIANCE", "2885", "NSE", "EQ");
        w->repository()->addSymbol("INFY", "1594", "NSE", "EQ");
        QTableWidget* t = watchlistTable(*w);
        QCOMPARE(t->rowCount(), 0);

        addToWatchlist(*w, "RELIANCE", "2885");
        addToWatchlist(*w, "INFY", "1594");
        QCOMPARE(windowStatus(*w), QString("✓ 'INFY' (NSE) added to watchlist"));
        addToWatchlist(*w, "RELIANCE", "2885");
        QCOMPARE(windowStatus(*w), QString("'RELIANCE' (NSE) is already in your watchlist."));
        QCOMPARE(t->rowCount(), 2);
        // Adding writes the file at once.
        QCOMPARE(SettingsManager().watchlistForBroker("TradeJini"), (QStringList{"2885", "1594"}));

        // Remove asks; No keeps the row, Yes removes it and saves.
        prompts->answers = {QMessageBox::No, QMessageBox::Yes};
        rowButton(*w, 0, "Remove")->click();
        QCOMPARE(t->rowCount(), 2);
        rowButton(*w, 0, "Remove")->click();
        QCOMPARE(t->rowCount(), 1);
        QCOMPARE(prompts->shown.last().text, QString("Remove RELIANCE from watchlist?"));
        QCOMPARE(windowStatus(*w), QString("Removed RELIANCE from watchlist."));
        QCOMPARE(SettingsManager().watchlistForBroker("TradeJini"), QStringList{"1594"});
        // The connector's stream drops it at once.
        QTRY_COMPARE(broker->calls.filter("unsubscribe:").size(), 1);
        QVERIFY(broker->calls.filter("unsubscribe:").first().contains("2885"));

        // Clear All empties the lists and writes the file at once: a crash right after it must
        // not bring the symbols back.
        prompts->answers = {QMessageBox::Yes};
        toolbarButton(*w, "Clear All")->click();
        QCOMPARE(t->rowCount(), 0);
        QVERIFY(settings->watchlist().isEmpty());
        QVERIFY(SettingsManager().watchlistForBroker("TradeJini").isEmpty());
        QVERIFY(SettingsManager().watchlist().isEmpty());
    }
    void removeTakesTheExactKey()
    {
        // Upstox keys are mixed case; an upper-cased key matched nothing and the row stayed
        // while the status line said it was removed.
        useBroker(SettingsManager::Upstox, {"NSE_INDEX|Nifty 50", "NSE_EQ|INE002A01018"});
        settings->saveSettings();
        auto w = makeWindow();
        QTableWidget* t = watchlistTable(*w);
        QCOMPARE(t->rowCount(), 2);
        prompts->answers = {QMessageBox::Yes};
        rowButton(*w, 0, "Remove")->click();
        QCOMPARE(t->rowCount(), 1);
        QCOMPARE(t->item(0, 0)->data(Qt::UserRole).toString(), QString("NSE_EQ|INE002A01018"));
        QCOMPARE(windowStatus(*w), QString("Removed NSE_INDEX|Nifty 50 from watchlist."));
        QCOMPARE(SettingsManager().watchlistForBroker("Upstox"), QStringList{"NSE_EQ|INE002A01018"});
        QCOMPARE(SettingsManager().watchlist(), QStringList{"NSE_EQ|INE002A01018"});

        // The key left the lists before the table caught up: nothing to remove, and it says so.
        settings->setWatchlistForBroker("Upstox", {});
        prompts->answers = {QMessageBox::Yes};
        rowButton(*w, 0, "Remove")->click();
        QCOMPARE(windowStatus(*w),
                 QString("NSE_EQ|INE002A01018 was not found in the watchlist; nothing was removed."));
        QCOMPARE(t->rowCount(), 0);
    }
    void contextMenuClearAsksTwice()
    {
        useBroker(SettingsManager::TradeJini, {"2885"});
        auto w = makeWindow();
        QTableWidget* t = watchlistTable(*w);
        QCOMPARE(t->rowCount(), 1);

        prompts->menuChoice = "⚙️ Open Symbol Manager";
        emit t->customContextMenuRequested(QPoint(5, 5));
        QCOMPARE(windowStatus(*w), QString("Use the 'Quick Add' search box above to find and add symbols "
                                     "to your watchlist."));

        prompts->menuChoice = "🗑️ Clear All";
        prompts->answers = {QMessageBox::Yes, QMessageBox::No};
        emit t->customContextMenuRequested(QPoint(5, 5));
        QCOMPARE(t->rowCount(), 1);  // the second question said No
        prompts->answers = {QMessageBox::Yes, QMessageBox::Yes};
        emit t->customContextMenuRequested(QPoint(5, 5));
        QCOMPARE(t->rowCount(), 0);
    }

    void tickUpdatesRow_data()
    {
        QTest::addColumn<double>("ltp");
        QTest::addColumn<double>("open");
        QTest::addColumn<double>("volume");
        QTest::addColumn<QStringList>("cells");  // columns 1..7
        QTest::addColumn<QColor>("colour");
        const QColor green(0, 150, 0), red(200, 0, 0);
        QTest::newRow("up") << 102.5 << 100.0 << 1234.0
                            << QStringList{"102.50", "2.50", "2.50%", "100.00", "103.50", "99.00",
                                           "1,234"}
                            << green;
        QTest::newRow("down") << 98.0 << 100.0 << 0.0
                              << QStringList{"98.00", "-2.00", "-2.00%", "100.00", "99.00", "99.00",
                                             "-"}
                              << red;
        QTest::newRow("no open: no change") << 55.25 << 0.0 << 2500000.0
                                               << QStringList{"55.25", "--", "--", "--",
                                                              "56.25", "--", "2,500,000"}
                                               << green;
    }
    void tickUpdatesRow()
    {
        QFETCH(double, ltp);
        QFETCH(double, open);
        QFETCH(double, volume);
        QFETCH(QStringList, cells);
        QFETCH(QColor, colour);
        useBroker(SettingsManager::TradeJini, {"2885"});
        settings->cacheSymbolName("2885", "RELIANCE");
        auto w = makeWindow();

        TickData t = tick("2885", ltp, open);
        t.volume = volume;
        emit broker->tickReceived(t);

        // The row shows the tick at the next paint.
        QTableWidget* tb = watchlistTable(*w);
        QTRY_COMPARE_WITH_TIMEOUT(tb->item(0, 8)->text(), QString("10:15:30"), 5000);
        QCOMPARE(tb->item(0, 0)->text(), QString("RELIANCE"));
        for (int c = 1; c <= 7; ++c)
            QCOMPARE(tb->item(0, c)->text(), cells.at(c - 1));
        for (int c = 1; c <= 3; ++c)
            QCOMPARE(tb->item(0, c)->foreground().color(), colour);
        QCOMPARE(tb->item(0, 4)->background().color(), QColor(255, 255, 200, 100));
        QTRY_COMPARE_WITH_TIMEOUT(tb->item(0, 4)->data(Qt::BackgroundRole), QVariant(), 5000);

        // Stored and exported under the display name.
        const TickData stored = w->dataStore()->latestTick("RELIANCE");
        QCOMPARE(stored.ltp, ltp);
        QCOMPARE(stored.token, QString("2885"));
        QVERIFY(!w->dataStore()->hasSymbol("2885"));
    }
    void tickRoutingEdges()
    {
        useBroker(SettingsManager::TradeJini, {"26000", "2885", "2885"});
        auto w = makeWindow();
        QTableWidget* tb = watchlistTable(*w);
        w->repository()->addSymbol("NIFTY 50", "26000", "NSE", "INDEX");

        emit broker->tickReceived(tick("26000", 22000, 21900));
        QTRY_COMPARE_WITH_TIMEOUT(tb->item(0, 7)->text(), QString("-"), 5000);  // an index: no volume

        // Brokers name a tick by exchange and symbol besides its token: the token finds the row.
        TickData named = tick("2885", 2500, 2490);
        named.symbol = "NSE:RELIANCE";
        emit broker->tickReceived(named);
        QTRY_COMPARE_WITH_TIMEOUT(tb->item(1, 1)->text(), QString("2500.00"), 5000);
        QCOMPARE(tb->item(2, 1)->text(), QString("--"));  // only the first row with the token

        // A token with no row is counted but changes no row and stores nothing.
        emit broker->tickReceived(tick("999", 10, 9));
        QCOMPARE(w->ticksReceived(), qint64(3));
        QVERIFY(!w->dataStore()->hasSymbol("999"));
        // The status bar's counter follows, on its own timer.
        QTRY_VERIFY_WITH_TIMEOUT(statusLabels(*w).contains("Ticks: 3"), 5000);

        // Once AmiBroker has imported the file the store is emptied.
        QVERIFY(w->dataStore()->hasSymbol("2885"));
        emit w->exporter()->importCompleted();
        QVERIFY(!w->dataStore()->hasSymbol("2885"));
    }
    void firstTicksTeachNamesRowByRow()
    {
        // The first tick of each token finds its name in the instrument list only and caches it:
        // that row shows the name, and neither the table nor the subscription is made again.
        QStringList tokens;
        for (int i = 0; i < 200; ++i)
            tokens << QString::number(1000 + i);
        useBroker(SettingsManager::TradeJini, tokens);
        auto w = makeWindow();
        for (int i = 0; i < 200; ++i)
            w->repository()->addSymbol(QString("SYM%1").arg(i), tokens[i], "NSE", "EQ");
        broker->reportConnected(true);
        QTRY_COMPARE_WITH_TIMEOUT(broker->subscribeLists().size(), 1, 5000);
        QTableWidget* tb = watchlistTable(*w);
        QPointer<QWidget> firstRowButtons = tb->cellWidget(0, 9);

        QSignalSpy changed(settings, &SettingsManager::settingsChanged);
        for (int i = 0; i < 200; ++i)
            emit broker->tickReceived(tick(tokens[i], 100 + i, 100));
        // A burst on one row: the row ends on the newest tick, the store keeps every one.
        emit broker->tickReceived(tick(tokens[7], 300, 100));
        emit broker->tickReceived(tick(tokens[7], 301, 100));
        QCOMPARE(changed.count(), 200);  // one name cached per token, once

        QTRY_COMPARE_WITH_TIMEOUT(tb->item(199, 1)->text(), QString("299.00"), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(tb->item(7, 1)->text(), QString("301.00"), 5000);
        for (int i = 0; i < 200; i += 37) {
            QCOMPARE(tb->item(i, 0)->text(), QString("SYM%1").arg(i));
            QCOMPARE(settings->symbolDisplayName(tokens[i]), QString("SYM%1").arg(i));
            if (i != 7)
                QCOMPARE(tb->item(i, 1)->text(), QString::number(100 + i) + ".00");
        }
        QCOMPARE(w->dataStore()->tickCount("SYM7"), 3);
        QVERIFY(firstRowButtons);  // the same rows: no rebuild
        QCOMPARE(broker->subscribeLists().size(), 1);
    }
    void rebuildKeepsPrices_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QStringList>("after");  // the rows' tokens after the change
        QTest::addColumn<QString>("firstName");  // the name row 0 shows after it
        QTest::addColumn<bool>("sameButtons");   // row 0 keeps its button widget
        QTest::newRow("settings OK") << "ok" << QStringList{"11", "22", "33"} << "AAA" << true;
        QTest::newRow("added") << "add" << QStringList{"11", "22", "33", "44"} << "AAA" << true;
        QTest::newRow("removed from the middle") << "remove" << QStringList{"11", "33"} << "AAA" << true;
        QTest::newRow("reordered") << "list" << QStringList{"33", "11", "22"} << "33" << false;
        QTest::newRow("first replaced") << "list" << QStringList{"44", "22", "33"} << "44" << true;
        QTest::newRow("new master") << "names" << QStringList{"11", "22", "33"} << "NEWAAA" << true;
    }
    void rebuildKeepsPrices()
    {
        // Rows of instruments that stay show their last tick through a rebuild; a new row waits
        // for its first, and its buttons act on it.
        QFETCH(QString, change);
        QFETCH(QStringList, after);
        QFETCH(QString, firstName);
        QFETCH(bool, sameButtons);
        useBroker(SettingsManager::TradeJini, {"11", "22", "33"});
        auto w = makeWindow();
        w->repository()->addSymbol("AAA", "11", "NSE", "EQ");
        emit w->repository()->symbolsReloaded();
        QTableWidget* t = watchlistTable(*w);
        const QHash<QString, double> ltp{{"11", 101}, {"22", 202}, {"33", 303}};
        for (auto it = ltp.cbegin(); it != ltp.cend(); ++it)
            emit broker->tickReceived(tick(it.key(), it.value(), 100));
        QTRY_COMPARE_WITH_TIMEOUT(t->item(2, 1)->text(), QString("303.00"), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(t->item(0, 1)->text(), QString("101.00"), 5000);
        QPointer<QWidget> firstButtons = t->cellWidget(0, 9);

        if (change == "ok")
            emit settings->settingsChanged();
        else if (change == "add")
            addToWatchlist(*w, "D", "44");
        else if (change == "remove")
            settings->removeSymbolFromWatchlist("22");
        else if (change == "list")
            settings->setWatchlistForBroker("TradeJini", after);
        else if (change == "names") {
            w->repository()->clear();
            w->repository()->addSymbol("NEWAAA", "11", "NSE", "EQ");
            emit w->repository()->symbolsReloaded();
        }
        QTRY_COMPARE_WITH_TIMEOUT(t->rowCount(), after.size(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(t->item(0, 0)->text(), firstName, 5000);
        for (int r = 0; r < after.size(); ++r) {
            const QString token = after[r];
            QCOMPARE(t->item(r, 0)->data(Qt::UserRole).toString(), token);
            for (const char* button : {"Load History", "Remove"})
                QCOMPARE(rowButton(*w, r, button)->property("watchlistToken").toString(), token);
            const QString price = ltp.contains(token) ? QString::number(ltp[token], 'f', 2) : "--";
            QTRY_COMPARE_WITH_TIMEOUT(t->item(r, 1)->text(), price, 5000);
            QCOMPARE(t->item(r, 2)->text(), ltp.contains(token) ? QString::number(ltp[token] - 100, 'f', 2) : "--");
            QCOMPARE(t->item(r, 8)->text(), ltp.contains(token) ? QString("10:15:30") : "--");
        }
        QCOMPARE(t->cellWidget(0, 9) == firstButtons.data(), sameButtons);
        rowButton(*w, 0, "Remove")->click();  // answered No
        QCOMPARE(prompts->texts("question").last(), "Remove " + firstName + " from watchlist?");
        rowButton(*w, 0, "Load History")->click();
        QTRY_COMPARE_WITH_TIMEOUT(broker->history.size(), 1, 10000);
        QCOMPARE(broker->history[0].symbol, after[0]);
    }
    void rowMovedBeforeItsFirstPaint()
    {
        // A tick lands in a row and the watchlist is reordered before the row painted it: the
        // row, now elsewhere, still shows that tick and the name the tick brought. A row that
        // never had a tick keeps the name the master gives it.
        useBroker(SettingsManager::TradeJini, {"11", "22", "33"});
        settings->cacheSymbolName("11", "AAA");  // known from an earlier session only
        auto w = makeWindow();
        w->repository()->addSymbol("BBB", "22", "NSE", "EQ");
        emit w->repository()->symbolsReloaded();
        QTableWidget* t = watchlistTable(*w);
        QTRY_COMPARE_WITH_TIMEOUT(t->item(1, 0)->text(), QString("BBB"), 5000);
        QCOMPARE(t->item(0, 0)->text(), QString("11"));  // rows are named from the master

        emit broker->tickReceived(tick("11", 101, 100));
        settings->setWatchlistForBroker("TradeJini", {"33", "22", "11"});
        QVERIFY(QMetaObject::invokeMethod(w.get(), "refreshWatchlistDisplay"));

        QCOMPARE(t->item(2, 0)->data(Qt::UserRole).toString(), QString("11"));
        QTRY_COMPARE_WITH_TIMEOUT(t->item(2, 1)->text(), QString("101.00"), 5000);
        QCOMPARE(t->item(2, 0)->text(), QString("AAA"));
        QCOMPARE(t->item(1, 0)->text(), QString("BBB"));
        QCOMPARE(t->item(1, 1)->text(), QString("--"));
        QCOMPARE(t->item(0, 0)->text(), QString("33"));
        rowButton(*w, 2, "Remove")->click();  // answered No
        QCOMPARE(prompts->texts("question").last(), QString("Remove AAA from watchlist?"));
    }
    void defaultSizeShowsEveryColumn()
    {
        useBroker(SettingsManager::TradeJini, {"2885", "1594"});
        auto w = makeWindow();
        w->resize(1000, 700);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QTableWidget* t = watchlistTable(*w);
        QTRY_VERIFY_WITH_TIMEOUT(rowButton(*w, 1, "Remove"), 5000);
        // Both row buttons lie inside the table's visible width: nothing to scroll to.
        QTRY_COMPARE_WITH_TIMEOUT(t->horizontalScrollBar()->maximum(), 0, 5000);
        QVERIFY(rowButtonsInView(*w, 2));
        QCOMPARE(t->columnViewportPosition(0), 0);
        // The room comes from the name, volume and time columns: the prices keep theirs, and a
        // five-digit price is never cut short in them.
        const QList<int> widths{120, 80, 70, 80, 70, 70, 70, 100, 80};
        const auto pricesFit = [&] {
            for (int col : {1, 4, 5, 6})
                if (t->columnWidth(col) < widths[col])
                    return false;
            return cutCells(t, {1, 4, 5, 6}).isEmpty();
        };
        emit broker->tickReceived(tick("2885", 12345.65, 12340.05));
        emit broker->tickReceived(tick("1594", 12345.65, 12340.05));
        QTRY_COMPARE_WITH_TIMEOUT(t->item(1, 1)->text(), QString("12345.65"), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(pricesFit(), 5000);
        // Where the font wants more than the table can give, the price columns share what
        // there is.
        QVERIFY(qAbs(t->columnWidth(4) - t->columnWidth(6)) <= 1);
        QVERIFY(t->columnWidth(0) < 120);

        // With room to spare the columns have their own widths, five-digit prices whole, and
        // Actions takes the rest.
        w->resize(1400, 700);
        QTRY_COMPARE_WITH_TIMEOUT(t->columnWidth(0), 120, 5000);
        // Wider only where a value or the bold header needs it ("% Change" in most fonts).
        for (int col : {0, 2, 3, 7, 8}) {
            const int need = widestText(t, col);
            if (need <= widths[col])
                QCOMPARE(t->columnWidth(col), widths[col]);
            else
                QVERIFY(t->columnWidth(col) >= need && t->columnWidth(col) <= need + 20);
        }
        QVERIFY(pricesFit());
        QVERIFY(t->columnWidth(9) >= 200);

        // A disabled Stop Feed has its own grey; an enabled Clear All keeps its own colour.
        auto* stop = w->findChild<QPushButton*>("stopLiveFeedBtn");
        QVERIFY(!stop->isEnabled());
        QCOMPARE(stop->grab().toImage().pixelColor(6, stop->height() / 2), QColor("#bdbdbd"));
        QPushButton* clear = toolbarButton(*w, "Clear All");
        QVERIFY(clear->isEnabled());
        QCOMPARE(clear->grab().toImage().pixelColor(6, clear->height() / 2), QColor("#9e9e9e"));
    }
    void rowsOnScreenHaveButtons()
    {
        // Rows far off screen get their buttons when they are scrolled near it.
        QStringList tokens;
        for (int i = 0; i < 400; ++i)
            tokens << QString::number(5000 + i);
        useBroker(SettingsManager::TradeJini, tokens);
        auto w = makeWindow();
        w->resize(1000, 700);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QTableWidget* t = watchlistTable(*w);
        t->scrollToBottom();
        QTRY_VERIFY_WITH_TIMEOUT(rowButton(*w, 399, "Remove"), 5000);
        QCOMPARE(rowButton(*w, 399, "Load History")->property("watchlistToken").toString(), QString("5399"));
        t->scrollToItem(t->item(200, 0), QAbstractItemView::PositionAtCenter);
        QTRY_VERIFY_WITH_TIMEOUT(rowButton(*w, 200, "Remove"), 5000);
    }

    // Symbols added one by one: the tenth and the hundredth rows widen the row numbers, which
    // lays the table out again while the new row is being inserted. Every row's buttons act on
    // that row's symbol and are enabled, wherever the table was scrolled and however narrow.
    void addedRowsButtonsActOnTheirSymbol_data()
    {
        QTest::addColumn<int>("before");  // rows the watchlist starts with
        QTest::addColumn<int>("added");
        QTest::addColumn<int>("width");
        QTest::newRow("twelve from none") << 0 << 12 << 1000;
        QTest::newRow("past the hundredth, scrolled down") << 95 << 8 << 1000;
        QTest::newRow("narrow window") << 5 << 7 << 640;
    }
    void addedRowsButtonsActOnTheirSymbol()
    {
        QFETCH(int, before);
        QFETCH(int, added);
        QFETCH(int, width);
        QStringList tokens;
        for (int i = 0; i < before; ++i)
            tokens << QString::number(7000 + i);
        useBroker(SettingsManager::TradeJini, tokens);
        auto w = makeWindow();
        w->resize(width, 700);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QTableWidget* t = watchlistTable(*w);
        for (int i = before; i < before + added; ++i) {
            t->scrollToBottom();
            addToWatchlist(*w, QStringLiteral("SYM%1").arg(i), QString::number(7000 + i));
            QCoreApplication::processEvents();
            tokens << QString::number(7000 + i);
        }
        QCOMPARE(t->rowCount(), before + added);
        for (int r = std::max(0, before - 3); r < tokens.size(); ++r) {
            t->scrollToItem(t->item(r, 0));
            QTRY_VERIFY_WITH_TIMEOUT(rowButton(*w, r, "Load History"), 5000);
            QPushButton* load = rowButton(*w, r, "Load History");
            QVERIFY2(load->isEnabled(), qPrintable(QStringLiteral("row %1").arg(r)));
            QCOMPARE(load->property("watchlistToken").toString(), tokens[r]);
            QCOMPARE(rowButton(*w, r, "Remove")->property("watchlistToken").toString(), tokens[r]);
            // The queue spaces its requests: only the rows that widened the numbers, and the last.
            if (r != 9 && r != 99 && r != tokens.size() - 1)
                continue;
            const int asked = broker->history.size();
            load->click();
            QTRY_COMPARE_WITH_TIMEOUT(broker->history.size(), asked + 1, 10000);
            QCOMPARE(broker->history.last().symbol, tokens[r]);
            broker->answerRequest(asked, dailyBars(tokens[r], 1, 100));  // the queue moves on
        }
    }

    // Every price and change reads whole at the default size, six-digit prices included: a cut
    // price reads as another price. The room comes from the name, volume and time, whose cut
    // cells read whole on hover; a wider window shows them whole before the Actions column
    // widens, and a value that outgrows its column has it widened at the next fit.
    void columnsFitTheirValues()
    {
        useBroker(SettingsManager::TradeJini, {"2885", "1333", "35001", "11536"});
        settings->cacheSymbolName("2885", "MRF");
        settings->cacheSymbolName("1333", "HDFCBANK");
        settings->cacheSymbolName("35001", "NIFTY24DEC24500CE");
        settings->cacheSymbolName("11536", "BAJAJHFL24DEC1200PE");  // 19 characters
        auto w = makeWindow();
        w->resize(1000, 700);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QTableWidget* t = watchlistTable(*w);
        QTRY_VERIFY_WITH_TIMEOUT(rowButton(*w, 3, "Remove"), 5000);

        TickData mrf = tick("2885", 122845.55, 121000.05);  // a change of 1845.50
        mrf.volume = 123456789;
        TickData hdfc = tick("1333", 1650.25, 1641.10);
        hdfc.volume = 98765432;
        emit broker->tickReceived(mrf);
        emit broker->tickReceived(hdfc);
        emit broker->tickReceived(tick("35001", 245.5, 230));
        emit broker->tickReceived(tick("11536", 88.05, 90));
        QTRY_COMPARE_WITH_TIMEOUT(t->item(0, 2)->text(), QString("1845.50"), 5000);
        QCOMPARE(t->item(0, 1)->text(), QString("122845.55"));
        QCOMPARE(t->item(0, 7)->text(), QString("123,456,789"));

        // At 1000 px: prices, changes and headers whole, both buttons in view, the name or volume
        // cut, and Actions no wider than its own width while anything is cut.
        QTRY_COMPARE_WITH_TIMEOUT(cutCells(t, {1, 2, 3, 4, 5, 6}), QStringList(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(t->horizontalScrollBar()->maximum(), 0, 5000);
        QVERIFY(rowButtonsInView(*w, 4));
        const QStringList cut = cutCells(t, {0, 7, 8}).filter(QRegularExpression("^\\d"));
        QVERIFY(!cut.isEmpty());
        QVERIFY(t->columnWidth(9) <= 200);

        // A cut cell reads whole on hover; a whole one has nothing to add.
        const QStringList where = cut.first().split(QLatin1Char(':')).first().split(QLatin1Char(','));
        QTableWidgetItem* cutItem = t->item(where.at(0).toInt(), where.at(1).toInt());
        QCOMPARE(hoverText(t, cutItem), cutItem->text());
        QCOMPARE(hoverText(t, t->item(0, 1)), QString());

        // At 1366 px every value and every name up to 20 characters is whole, and the room left
        // goes to Actions.
        w->resize(1366, 768);
        QTRY_COMPARE_WITH_TIMEOUT(cutCells(t), QStringList(), 5000);
        QVERIFY(rowButtonsInView(*w, 4));
        QVERIFY(t->columnWidth(9) >= 200);

        // A seven-digit price (and change) widens its columns at the next fit, within a second
        // or so; the room comes from the name first.
        const int ltpWidth = t->columnWidth(1);
        mrf.ltp = 1228455.55;
        mrf.high = 1228456.55;
        emit broker->tickReceived(mrf);
        QTRY_COMPARE_WITH_TIMEOUT(t->item(0, 2)->text(), QString("1107455.50"), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(cutCells(t, {1, 2, 3, 4, 5, 6}), QStringList(), 5000);
        QVERIFY(t->columnWidth(1) > ltpWidth);
        QVERIFY(rowButtonsInView(*w, 4));
    }

    void connectCredentialCheck_data()
    {
        QTest::addColumn<int>("provider");
        QTest::addColumn<QStringList>("values");  // setter names to fill with "x" (or " ")
        QTest::addColumn<QString>("message");     // empty: the connect goes ahead
        QTest::newRow("Fyers without token") << 7 << QStringList{"fyersClientId"}
                                             << "Please configure Fyers Client ID and Access Token in Settings first.\n"
                                                "The settings dialog has no Fyers page: enter fyersClientId and fyersAppId "
                                                "in the [API] group of the settings file (Tickvane.conf), then press "
                                                "Authenticate to get the access token.";
        QTest::newRow("Fyers complete") << 7 << QStringList{"fyersClientId", "fyersAccessToken"} << "";
        QTest::newRow("Zerodha without key") << 0 << QStringList{"zerodhaAccessToken"}
                                             << "Please configure Zerodha API Key and Access Token in "
                                                "Settings first.\nGo to Settings > API Provider > Zerodha Kite to "
                                                "enter your credentials.";
        QTest::newRow("FlatTrade without token")
            << 1 << QStringList{"flatTradeApiKey"}
            << "Please configure FlatTrade API Key and Access Token in Settings first.\nGo to "
               "Settings > API Provider > FlatTrade to authenticate.";
        QTest::newRow("TradeJini blank token counts") << 2 << QStringList{"tradeJiniAccessToken "} << "";
        QTest::newRow("TradeJini without token")
            << 2 << QStringList{}
            << "Please configure TradeJini Access Token in Settings first.\nGo to Settings > "
               "API Provider > TradeJini to authenticate.";
        QTest::newRow("Dhan needs the general key") << 3 << QStringList{"dhanAccessToken"}
                                                    << "Please configure API key in settings first";
        QTest::newRow("Upstox with general key") << 5 << QStringList{"apiKey"} << "";
        QTest::newRow("Custom API without key") << 6 << QStringList{}
                                                << "Please configure API key in settings first";
    }
    void connectCredentialCheck()
    {
        QFETCH(int, provider);
        QFETCH(QStringList, values);
        QFETCH(QString, message);
        settings->setProvider(provider);
        using Setter = void (SettingsManager::*)(const QString&);
        static const QHash<QString, Setter> setters{
            {"fyersClientId", &SettingsManager::setFyersClientId},
            {"fyersAccessToken", &SettingsManager::setFyersAccessToken},
            {"zerodhaAccessToken", &SettingsManager::setZerodhaAccessToken},
            {"flatTradeApiKey", &SettingsManager::setFlatTradeApiKey},
            {"tradeJiniAccessToken", &SettingsManager::setTradeJiniAccessToken},
            {"dhanAccessToken", &SettingsManager::setDhanAccessToken},
            {"apiKey", &SettingsManager::setApiKey},
        };
        for (const QString& v : values) {
            // A trailing blank in the name asks for a value of one blank, which counts as present.
            const QString name = v.trimmed();
            QVERIFY2(setters.contains(name), qPrintable(name));
            (settings->*setters.value(name))(v.endsWith(' ') ? QStringLiteral(" ") : QStringLiteral("x"));
        }
        auto w = makeWindow();
        prompts->shown.clear();
        if (broker)
            broker->calls.clear();

        QMetaObject::invokeMethod(w.get(), "onConnectAction");
        if (!message.isEmpty()) {
            QCOMPARE(prompts->kinds(), QStringList{"error"});
            QCOMPARE(prompts->shown.first().text, message);
            QCOMPARE(windowStatus(*w), "Error: " + message);
            QCOMPARE(statusLabels(*w).first(), QString("Disconnected"));
            if (broker)
                QVERIFY(broker->calls.isEmpty());
            return;
        }
        QVERIFY(prompts->shown.isEmpty());
        const QString name = SettingsManager::providerName(provider);
        // "Connected" only once the connector says its connection is up.
        QCOMPARE(windowStatus(*w), QString("Connecting to %1...").arg(name));
        QCOMPARE(settings->currentBroker(), name);
        QVERIFY(statusLabels(*w).contains("Broker: " + name));
        QVERIFY(statusLabels(*w).contains("Connecting..."));
        if (broker) {
            QCOMPARE(broker->calls.mid(0, 2), (QStringList{"initialize", "connect"}));
            broker->reportConnected(true);
            QCOMPARE(statusLabels(*w).first(), QString("Connected"));
        }
    }
    void connectReinitialisesWithoutSecondConnect()
    {
        settings->setProvider(SettingsManager::TradeJini);
        settings->setTradeJiniAccessToken("old");
        auto w = makeWindow();
        broker->connected = true;
        broker->calls.clear();
        settings->setTradeJiniAccessToken("fresh");  // a login since start
        QMetaObject::invokeMethod(w.get(), "onConnectAction");
        QCOMPARE(broker->calls.count("initialize"), 1);
        QCOMPARE(broker->calls.count("connect"), 0);
        QCOMPARE(broker->configs.last().value("accessToken"), QString("fresh"));

        QMetaObject::invokeMethod(w.get(), "onDisconnectAction");
        QCOMPARE(broker->calls.count("disconnect"), 1);
        QCOMPARE(windowStatus(*w), QString("Disconnected from data provider"));
    }
    void brokerSignalsReachStatus_data()
    {
        QTest::addColumn<QString>("signal");  // "up", "down" (after up), else the text of an error
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("box");
        QTest::newRow("connected") << "up" << "Connected to TradeJini" << false;
        QTest::newRow("disconnected") << "down" << "Disconnected from TradeJini" << false;
        QTest::newRow("token error") << "Access token not configured" << "Stream not connected: Access token not configured" << false;
        QTest::newRow("websocket error, any case") << "WEBSOCKET URL not configured" << "Stream not connected: WEBSOCKET URL not configured" << false;
        QTest::newRow("stream error") << "Stream closed" << "Stream not connected: Stream closed" << false;
        QTest::newRow("plain error") << "Dhan client ID not configured" << "Error: Dhan client ID not configured" << true;
    }
    void brokerSignalsReachStatus()
    {
        QFETCH(QString, signal);
        QFETCH(QString, status);
        QFETCH(bool, box);
        settings->setProvider(SettingsManager::TradeJini);
        auto w = makeWindow();
        prompts->shown.clear();
        if (signal == "up" || signal == "down") {
            const bool up = signal == "up";
            emit broker->connectionStatusChanged(true);
            if (!up)
                emit broker->connectionStatusChanged(false);
            QCOMPARE(w->findChild<QPushButton*>("startLiveFeedBtn")->isEnabled(), !up);
            QCOMPARE(w->findChild<QPushButton*>("stopLiveFeedBtn")->isEnabled(), up);
            if (!up) {
                QCOMPARE(statusLabels(*w).first(), QString("Disconnected"));
                QCOMPARE(w->statusBar()->findChildren<QLabel*>().first()->styleSheet(), QString("color: red;"));
            }
        } else {
            emit broker->errorOccurred(signal);
            QVERIFY(prompts->shown.isEmpty());  // handled from the event loop, not inside the emission
        }
        QTRY_COMPARE_WITH_TIMEOUT(windowStatus(*w), status, 5000);
        QCOMPARE(prompts->kinds(), box ? QStringList{"error"} : QStringList());
    }

    void connectorHistoryFailureToldAsItsErrors_data()
    {
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("box");
        QTest::newRow("plain") << "Historical data request failed for SBIN: Internal error"
                               << "Error: Historical data request failed for SBIN: Internal error" << true;
        // A word of the stream's problems sends it to the status line, as any such error.
        const QString token = "Zerodha history error for SBIN: Incorrect api_key or access_token";
        QTest::newRow("token") << token << "Stream not connected: " + token << false;
    }

    // The failure of a request the connector was asked for by the history queue reaches the window
    // with its tag, and is told once, as the connector's errors always were told.
    void connectorHistoryFailureToldAsItsErrors()
    {
        QFETCH(QString, error);
        QFETCH(QString, status);
        QFETCH(bool, box);
        settings->setProvider(SettingsManager::TradeJini);
        auto w = makeWindow();
        prompts->shown.clear();
        QSignalSpy failed(w->downloader(), &HistoricalDownloader::downloadFailed);
        w->downloader()->downloadHistoricalData("SBIN", QDate(2024, 3, 1), QDate(2024, 3, 1), "day");
        QVERIFY(!broker->history.isEmpty() && broker->history.last().tag != 0);
        broker->failRequest(broker->history.size() - 1, error);
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.at(0).at(2).toString(), error);
        QTRY_COMPARE_WITH_TIMEOUT(windowStatus(*w), status, 5000);
        QCoreApplication::processEvents();
        QCOMPARE(prompts->kinds(), box ? QStringList{"error"} : QStringList());
    }

    void backfillRestoreAndStore()
    {
        settings->setProvider(SettingsManager::Zerodha);
        settings->setHistoricalTimeframe("15minute");
        settings->setHistoricalDateRange("Custom Range");
        settings->setHistoricalFromDate(QDate(2025, 1, 2));
        auto w = makeWindow();
        auto* tf = w->findChild<QComboBox*>("timeframeCombo");
        auto* dr = w->findChild<QComboBox*>("dateRangeCombo");
        auto* from = w->findChild<QDateEdit*>("fromDateEdit");
        QCOMPARE(tf->currentText(), QString("15 Minutes"));
        QCOMPARE(dr->currentText(), QString("Custom Range"));
        QCOMPARE(from->date(), QDate(2025, 1, 2));
        QVERIFY(!from->isHidden());
        // Restoring wrote nothing back.
        QCOMPARE(settings->historicalTimeframe(), QString("15minute"));

        dr->setCurrentIndex(dr->findText("Last 30 Days"));
        QVERIFY(from->isHidden());
        QCOMPARE(settings->historicalDateRange(), QString("Last 30 Days"));
        tf->setCurrentIndex(tf->findData("day"));
        QCOMPARE(settings->historicalTimeframe(), QString("day"));
        dr->setCurrentIndex(dr->findData(-1));
        from->setDate(QDate(2025, 5, 6));
        QCOMPARE(settings->historicalFromDate(), QDate(2025, 5, 6));
    }
    void loadHistoryQueuesRequest_data()
    {
        QTest::addColumn<QString>("range");
        QTest::addColumn<QDate>("from");  // the custom range's ends
        QTest::addColumn<QDate>("to");
        QTest::addColumn<QDate>("askedFrom");  // none: refused with a warning
        QTest::addColumn<QDate>("askedTo");
        const QDate today = QDate::currentDate();
        const QDate day(2026, 2, 1);
        QTest::newRow("last 30 days") << "Last 30 Days" << QDate() << QDate() << today.addDays(-30) << today;
        QTest::newRow("custom, one day") << "Custom Range" << day << day << day << day;
        QTest::newRow("custom, reversed") << "Custom Range" << day << day.addMonths(-1) << QDate() << QDate();
    }
    void loadHistoryQueuesRequest()
    {
        QFETCH(QString, range);
        QFETCH(QDate, from);
        QFETCH(QDate, to);
        QFETCH(QDate, askedFrom);
        QFETCH(QDate, askedTo);
        useBroker(SettingsManager::Zerodha, {"738561"});
        settings->setHistoricalTimeframe("day");
        settings->setHistoricalDateRange(range);
        settings->setHistoricalFromDate(from);
        settings->setHistoricalToDate(to);
        auto w = makeWindow();
        w->repository()->addSymbol("RELIANCE", "738561", "NSE", "EQ");
        prompts->shown.clear();
        rowButton(*w, 0, "Load History")->click();
        if (!askedFrom.isValid()) {
            QCOMPARE(prompts->kinds(), QStringList{"warning"});
            QCOMPARE(prompts->shown[0].text, QString("Invalid date range: From date is after To date."));
            return;
        }
        QVERIFY(windowStatus(*w).startsWith("Backfill requested for RELIANCE (request: req_"));
        QTRY_COMPARE_WITH_TIMEOUT(broker->history.size(), 1, 10000);
        QCOMPARE(broker->history[0].from, askedFrom);
        QCOMPARE(broker->history[0].to, askedTo);
        QCOMPARE(broker->history[0].interval, QString("day"));
    }
    // A connector that refuses the request within the call: the window tells the failure, and
    // "requested" does not stand over it.
    void loadHistoryRefusedAtOnce()
    {
        useBroker(SettingsManager::Zerodha, {"738561"});
        settings->setHistoricalTimeframe("day");
        settings->setHistoricalDateRange("Last 30 Days");
        auto w = makeWindow();
        w->repository()->addSymbol("RELIANCE", "738561", "NSE", "EQ");
        const QString refused = "Zerodha history error for 738561: not in the instrument list";
        broker->refuseHistoryWith = refused;
        prompts->shown.clear();
        rowButton(*w, 0, "Load History")->click();
        QCOMPARE(broker->history.size(), 1);  // asked, and refused before the click returned
        QVERIFY2(!windowStatus(*w).contains("Backfill requested"), qPrintable(windowStatus(*w)));
        QTRY_COMPARE_WITH_TIMEOUT(prompts->texts("error"), QStringList{refused}, 5000);
        QCOMPARE(windowStatus(*w), "Error: " + refused);
        QTRY_VERIFY_WITH_TIMEOUT(!w->downloader()->isDownloading(), 5000);
    }
    // History failures of one kind open one box until a download works again; a request given up
    // by the queue's watchdog is told like the others, an error of the connector once, by itself.
    void historyBoxAgainAfterGoodDownload()
    {
        useBroker(SettingsManager::Zerodha, {"738561"});
        settings->setHistoricalTimeframe("day");
        settings->setHistoricalDateRange("Last 30 Days");
        auto w = makeWindow();
        w->repository()->addSymbol("RELIANCE", "738561", "NSE", "EQ");
        HistoricalDownloader* queue = w->downloader();
        queue->setPacingInterval(10);
        QSignalSpy timedOut(queue, &HistoricalDownloader::downloadTimedOut);
        prompts->shown.clear();
        const auto load = [&](int timeoutMs) {
            queue->setRequestTimeout(timeoutMs);
            const int before = broker->history.size();
            rowButton(*w, 0, "Load History")->click();
            QTRY_COMPARE_WITH_TIMEOUT(broker->history.size(), before + 1, 10000);
        };
        const QString lost = "No history for RELIANCE: Historical data request timed out: no reply within 50 ms";

        load(50);
        QVERIFY(timedOut.wait(10000));
        QCOMPARE(prompts->texts("error"), QStringList{lost});
        QCOMPARE(windowStatus(*w), "Error: " + lost);
        prompts->closeErrorBoxes();  // read and closed: an open box alone would hold back its twin
        QTRY_VERIFY_WITH_TIMEOUT(!queue->isDownloading(), 10000);
        load(50);
        QVERIFY(timedOut.wait(10000));
        QCOMPARE(prompts->texts("error").size(), 1);  // the same kind again: the status line only
        QCOMPARE(windowStatus(*w), "Error: " + lost);

        QTRY_VERIFY_WITH_TIMEOUT(!queue->isDownloading(), 10000);
        load(60000);
        broker->answerRequest(2, dailyBars("738561", 2, 100));
        QVERIFY2(windowStatus(*w).startsWith("Wrote 2 historical records for "), qPrintable(windowStatus(*w)));
        QTRY_VERIFY_WITH_TIMEOUT(!queue->isDownloading(), 10000);
        load(50);
        QVERIFY(timedOut.wait(10000));
        QCOMPARE(prompts->texts("error"), (QStringList{lost, lost}));

        // An error of the connector ends the running request; the window tells the error, once.
        prompts->closeErrorBoxes();
        QTRY_VERIFY_WITH_TIMEOUT(!queue->isDownloading(), 10000);
        load(60000);
        broker->answerRequest(4, dailyBars("738561", 1, 100));
        QTRY_VERIFY_WITH_TIMEOUT(!queue->isDownloading(), 10000);
        load(60000);
        const QString refused = "Zerodha history error for 738561: Too many requests (NetworkException, HTTP 429)";
        broker->sendError(refused);
        QTRY_COMPARE_WITH_TIMEOUT(prompts->texts("error").size(), 3, 10000);
        QCOMPARE(prompts->texts("error").last(), refused);
        QCoreApplication::processEvents();
        QCOMPARE(prompts->texts("error").size(), 3);
        QCOMPARE(timedOut.size(), 3);
        QVERIFY(queue->activeSymbols().isEmpty());
    }

    void historyReplyExported()
    {
        settings->setProvider(SettingsManager::Upstox);
        auto w = makeWindow();
        w->repository()->addSymbol("INFY", "NSE_EQ|INE009A01021", "NSE", "EQ");
        QList<OHLCData> bars = dailyBars("NSE_EQ|INE009A01021", 3, 100);
        for (OHLCData& b : bars) {
            b.high += 10;
            b.low -= 10;
            b.close += 5;
            b.volume = 1000;
        }
        emit broker->historicalDataReceived("NSE_EQ|INE009A01021", bars);
        // Nothing can import here: the text says where the records went.
        QCOMPARE(windowStatus(*w), "Wrote 3 historical records for INFY to "
                                       + QDir::toNativeSeparators(w->exporter()->liveDataFilePath()));
        // The bars reach AmiBroker's file under the trading symbol, not the instrument key.
        auto exported = [&w] {
            QFile f(w->exporter()->liveDataFilePath());
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        };
        QTRY_COMPARE_WITH_TIMEOUT(exported().count("INFY,"), 3, 5000);
        QVERIFY(exported().contains("105.00") && exported().contains("107.00"));
        QVERIFY(!exported().contains("INE009A01021"));

        // With auto-import off only the count is reported.
        w->exporter()->setAutoImportEnabled(false);
        emit broker->historicalDataReceived("X", bars.mid(0, 2));
        QCOMPARE(windowStatus(*w), QString("Downloaded 2 records for X - preparing import..."));
    }

    void historyResultStaysReadable()
    {
        settings->setProvider(SettingsManager::Upstox);
        auto w = makeWindow();
        w->resize(1000, 700);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        w->repository()->addSymbol("SBIN", "NSE_EQ|INE062A01020", "NSE", "EQ");
        const QList<OHLCData> bars = dailyBars("NSE_EQ|INE062A01020", 6, 800);
        emit broker->historicalDataReceived("NSE_EQ|INE062A01020", bars);
        const QString wrote = windowStatus(*w);
        QVERIFY2(wrote.startsWith("Wrote 6 historical records for SBIN to "), qPrintable(wrote));

        // The feed's counter, after every tick, leaves the result on the line.
        emit w->feeder()->statusChanged("Running - 1 symbol, 41 updates");
        emit w->feeder()->statusChanged("Running - 1 symbol, 42 updates");
        QCOMPARE(windowStatus(*w), wrote);

        // The line is too narrow for the path: hovering shows the whole text.
        ElidedLabel* line = nullptr;
        for (ElidedLabel* label : w->statusBar()->findChildren<ElidedLabel*>()) {
            if (label->text() == wrote)
                line = label;
        }
        QVERIFY(line && line->isElided());
        QCOMPARE(line->hoverText(), wrote);
        const QPoint at(2, line->height() / 2);
        QHelpEvent hover(QEvent::ToolTip, at, line->mapToGlobal(at));
        QCoreApplication::sendEvent(line, &hover);
        QTRY_COMPARE_WITH_TIMEOUT(QToolTip::text(), wrote, 5000);
        QToolTip::hideText();

        // Once something else took the line, the counter shows again.
        prompts->menuChoice = "🔄 Refresh Symbols";
        emit watchlistTable(*w)->customContextMenuRequested(QPoint(5, 5));
        QCOMPARE(windowStatus(*w), QString("Watchlist refreshed."));
        emit w->feeder()->statusChanged("Running - 1 symbol, 43 updates");
        QCOMPARE(windowStatus(*w), QString("Running - 1 symbol, 43 updates"));
    }

    void testAmiBrokerButton_data()
    {
        QTest::addColumn<bool>("answers");
        QTest::newRow("AmiBroker answers") << true;
        QTest::newRow("no automation server") << false;
    }
    void testAmiBrokerButton()
    {
        QFETCH(bool, answers);
        settings->setProvider(SettingsManager::CustomAPI);
        auto w = makeWindow();
        std::shared_ptr<AutomationBackend> backend = createPlatformAutomationBackend();
        if (answers) {
            auto fake = std::make_shared<FakeAutomationBackend>();
            fake->setupApplication = [](FakeAutomationObject& app) {
                app.onProperty = [](const QString& name) {
                    return name == "Path" ? QVariant("C:/AmiBroker") : QVariant();
                };
            };
            backend = fake;
        }
        w->exporter()->setAutomationBackend(backend);
        w->exporter()->setAutoImportEnabled(false);

        auto* test = w->findChild<QPushButton*>("testAmiBrokerBtn");
        QVERIFY(test);
        QCOMPARE(test->text(), QString("Test AmiBroker"));
        prompts->shown.clear();
        test->click();
        QCOMPARE(prompts->shown.size(), 1);
        QCOMPARE(prompts->shown.first().kind, QString(answers ? "information" : "warning"));
        QCOMPARE(prompts->shown.first().title, QString("AmiBroker Test"));
        QCOMPARE(w->exporter()->isAutoImportEnabled(), answers);
        if (answers) {
            const QString found = "C:/AmiBroker\\Broker.exe";
            QVERIFY(prompts->shown.first().text.contains(found));
            QCOMPARE(SettingsManager().amiBrokerPath(), found);
        } else {
            QVERIFY(SettingsManager().amiBrokerPath().isEmpty());
        }
    }

    void amiBrokerPathSwitchesExportOn()
    {
        settings->setProvider(SettingsManager::CustomAPI);
        settings->setAmiBrokerPath(tempDir.path());  // an existing folder counts
        auto w = makeWindow();
        auto* label = w->findChild<QLabel*>("csvStatusLabel");
        auto* edit = w->findChild<QLineEdit*>("amiBrokerPathEdit");
        QVERIFY(label && edit);
        // The stored path reaches the field shortly after start and switches the export on.
        QTRY_COMPARE_WITH_TIMEOUT(edit->text(), tempDir.path(), 5000);
        QCOMPARE(label->text(), QString("Status: Auto-importing to AmiBroker"));
        QVERIFY(label->styleSheet().contains("#2e7d32"));
        QVERIFY(w->exporter()->isExportActive());
        QVERIFY(w->exporter()->isAutoImportEnabled());
        QCOMPARE(windowStatus(*w),
                 QString("AmiBroker integration enabled. Live data will be auto-imported."));

        edit->setText(tempDir.filePath("no-such-amibroker.exe"));
        QCOMPARE(label->text(), QString("Status: Not configured"));
        QVERIFY(label->styleSheet().contains("#f44336"));
        w->exporter()->setExportEnabled(false);
        edit->setText(tempDir.path());
        QCOMPARE(label->text(), QString("Status: Auto-importing to AmiBroker"));  // switched on again
    }

private:
    static QStringList statusLabels(MainWindow& w)
    {
        QStringList texts;
        for (QLabel* l : w.statusBar()->findChildren<QLabel*>())
            texts << l->text();
        return texts;
    }
    static void addToWatchlist(MainWindow& w, const QString& name, const QString& token)
    {
        QMetaObject::invokeMethod(&w, "addSymbolToWatchlist", Q_ARG(QString, name), Q_ARG(QString, token),
                                  Q_ARG(QString, "NSE"));
    }
    // The provider, current broker and its watchlist, as after a session with it.
    void useBroker(int provider, const QStringList& watchlist)
    {
        settings->setProvider(provider);
        settings->setCurrentBroker(SettingsManager::providerName(provider));
        settings->setWatchlistForBroker(SettingsManager::providerName(provider), watchlist);
    }
    // A window on the current settings, with a recording broker for every provider.
    std::unique_ptr<MainWindow> makeWindow()
    {
        auto w = std::make_unique<MainWindow>(recordingSeams());
        finishStartup(*w);
        w->exporter()->setExportDir(csvDir->path());
        return w;
    }
    // The watchlist cells (as "row,column:text") and headers whose text its column cuts, in
    // the given columns (all data columns when none are given).
    static QStringList cutCells(QTableWidget* t, const QList<int>& columns = {0, 1, 2, 3, 4, 5, 6, 7, 8})
    {
        QStringList cut;
        for (int col : columns) {
            const int width = t->columnWidth(col);
            if (headerWidth(t, col) > width)
                cut << QStringLiteral("header:%1").arg(t->horizontalHeaderItem(col)->text());
            for (int row = 0; row < t->rowCount(); ++row) {
                const QTableWidgetItem* item = t->item(row, col);
                if (item && cellWidth(t, item) > width)
                    cut << QStringLiteral("%1,%2:%3").arg(row).arg(col).arg(item->text());
            }
        }
        return cut;
    }
    // The width a cell needs for its text, in its own font: 5 px padding on each side, the 3 px
    // on each side the style keeps before it cuts a text, and the grid line.
    static int cellWidth(QTableWidget* t, const QTableWidgetItem* item)
    {
        const QVariant font = item->data(Qt::FontRole);
        const QFontMetrics fm(font.isValid() ? font.value<QFont>().resolve(t->font()) : t->font());
        return fm.horizontalAdvance(item->text()) + 2 * 5 + 2 * 3 + 1;
    }
    // The width the column's widest text, its header included, needs.
    static int widestText(QTableWidget* t, int col)
    {
        int widest = headerWidth(t, col);
        for (int row = 0; row < t->rowCount(); ++row) {
            if (const QTableWidgetItem* item = t->item(row, col))
                widest = qMax(widest, cellWidth(t, item));
        }
        return widest;
    }
    // The width a header needs: its text in bold, 5 px padding and a 1 px border on each side.
    static int headerWidth(QTableWidget* t, int col)
    {
        QFont bold = t->horizontalHeader()->font();
        bold.setBold(true);
        return QFontMetrics(bold).horizontalAdvance(t->horizontalHeaderItem(col)->text()) + 2 * 5 + 2;
    }
    // Whether both buttons of each of the first `rows` rows lie inside the table's visible width.
    bool rowButtonsInView(MainWindow& w, int rows) const
    {
        QTableWidget* t = watchlistTable(w);
        for (int row = 0; row < rows; ++row) {
            for (const char* text : {"Load History", "Remove"}) {
                QPushButton* b = rowButton(w, row, text);
                if (!b)
                    return false;
                const QRect r(b->mapTo(t->viewport(), QPoint(0, 0)), b->size());
                if (r.left() < 0 || r.right() >= t->viewport()->width()) {
                    qWarning() << "row" << row << text << "lies at" << r << "of" << t->viewport()->width();
                    return false;
                }
            }
        }
        return true;
    }
    // What hovering over the item shows.
    static QString hoverText(QTableWidget* t, QTableWidgetItem* item)
    {
        QToolTip::hideText();
        const QPoint at = t->visualItemRect(item).center();
        QHelpEvent hover(QEvent::ToolTip, at, t->viewport()->mapToGlobal(at));
        QCoreApplication::sendEvent(t->viewport(), &hover);
        // A hover with nothing to show leaves the event ignored (and a tip hiding from before).
        const QString shown = hover.isAccepted() && QToolTip::isVisible() ? QToolTip::text() : QString();
        QToolTip::hideText();
        return shown;
    }
    static QPushButton* toolbarButton(MainWindow& w, const QString& text)
    {
        for (QPushButton* b : w.findChildren<QPushButton*>()) {
            if (b->text() == text)
                return b;
        }
        return nullptr;
    }
    QPushButton* rowButton(MainWindow& w, int row, const QString& text) const
    {
        QWidget* cell = watchlistTable(w)->cellWidget(row, 9);
        if (!cell)
            return nullptr;
        for (QPushButton* b : cell->findChildren<QPushButton*>()) {
            if (b->text() == text)
                return b;
        }
        return nullptr;
    }
    TickData tick(const QString& token, double ltp, double open) const
    {
        TickData t;
        t.symbol = token;
        t.token = token;
        t.exchange = "NSE";
        t.ltp = ltp;
        t.open = open;
        t.high = ltp + 1;
        t.low = open > 1 ? open - 1 : 0;
        t.volume = 1234;
        t.timestamp = QDateTime(QDate(2026, 3, 2), QTime(10, 15, 30));
        return t;
    }

    QTemporaryDir tempDir;
    std::unique_ptr<QTemporaryDir> csvDir;  // fresh export folder per test
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindowflows.moc"
