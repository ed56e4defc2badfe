// Starting and stopping the live feed from the main window: the connector road, the window's own
// stream socket against a loopback peer (opening requests, fail-over across the Fyers addresses,
// ping, messages in and subscriptions out, a Stop during the opening handshake), and the
// subscriptions handed to the connector.
#include "brokers/BrokerAPI.h"
#include "brokers/LiveFeeder.h"
#include "support/ClosedPort.h"
#include "support/HostileWebSocketPeer.h"
#include "support/ListLookups.h"
#include "support/LogCapture.h"
#include "support/OfflineWindow.h"
#include "support/WebSocketTestServer.h"

#include <QPushButton>
#include <QUrlQuery>
#include <QWebSocket>
#include <QtTest>

namespace {

const QStringList kFyersPaths{"/versova", "/dataws/v3/", "/hsm/v1-5/prod", "/socket/v4/dataSock",
                              "/socket/v4/dataSock", "/socket/v4/dataSock"};

} // namespace

class TestLiveFeed : public QObject, protected WindowFixture
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(openHome("LiveFeedTest"));
        QVERIFY(refusing.isValid());
    }
    void init()
    {
        freshState();
        settings->setApiKey("feed-key");
        retryDelayMs = 5;
        settleMs = 500;
    }

    void cleanup() { dropState(); }

    void startRefusedUntilReady()
    {
        auto w = makeWindow(SettingsManager::Fyers);
        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QCOMPARE(prompts->texts("error"),
                 QStringList{"Please connect to Fyers first using Connection > Connect menu.\n"
                             "Make sure your Fyers credentials are configured in Settings."});
        QVERIFY(!w->streamSocket());
        QVERIFY(!w->feeder()->isRunning());

        broker->reportConnected(true);
        setWatchlist("Fyers", {});
        prompts->shown.clear();
        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QCOMPARE(prompts->texts("error"),
                 QStringList{"No symbols in watchlist.\nPlease add symbols using the 'Add Symbol' "
                             "button or Symbol Manager."});
        QVERIFY(!w->streamSocket());
        QVERIFY(!w->feeder()->isRunning());
    }

    void tradeJiniRunsThroughConnector()
    {
        setWatchlist("TradeJini", {"2885", "11536"});
        auto w = makeWindow(SettingsManager::TradeJini);
        w->repository()->addSymbol("RELIANCE", "2885", "NSE", "EQ");
        w->repository()->addSymbol("TCS", "11536", "NSE", "EQ");
        broker->reportConnected(true);
        broker->calls.clear();

        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QCOMPARE(broker->calls, QStringList({"startLiveData", "subscribeList:2885_NSE,11536_NSE"}));
        QVERIFY(!startEnabled(*w));
        QCOMPARE(windowStatus(*w), QString("Started live data feed for 2 symbols from TradeJini"));
        QVERIFY(!w->streamSocket());
        QVERIFY(!w->feeder()->isRunning());

        // Stop goes through the connector only: a feeder started elsewhere keeps running.
        w->feeder()->start();
        QVERIFY(w->feeder()->isRunning());
        broker->calls.clear();
        QMetaObject::invokeMethod(w.get(), "onStopLiveFeed");
        QCOMPARE(broker->calls, QStringList{"stopLiveData"});
        QVERIFY(startEnabled(*w));
        QCOMPARE(windowStatus(*w), QString("Stopped live data feed from TradeJini"));
        QVERIFY(w->feeder()->isRunning());
    }

    void connectorFeedsStartWithoutFalseFailure_data()
    {
        QTest::addColumn<int>("provider");
        QTest::addColumn<QStringList>("keys");
        QTest::newRow("Dhan") << int(SettingsManager::Dhan) << QStringList{"1333", "11536", "2885"};
        QTest::newRow("AngelOne") << int(SettingsManager::AngelOne) << QStringList{"3045", "2885"};
        QTest::newRow("Upstox") << int(SettingsManager::Upstox)
                                << QStringList{"NSE_INDEX|Nifty 50", "NSE_EQ|INE002A01018"};
    }
    void connectorFeedsStartWithoutFalseFailure()
    {
        // These feeds are carried by the connector: Start reports no failure, and the ticks that
        // follow reach the watchlist and the feed's counter.
        QFETCH(int, provider);
        QFETCH(QStringList, keys);
        const QString name = SettingsManager::providerName(provider);
        setWatchlist(name, keys);
        auto w = makeWindow(provider);
        broker->reportConnected(true);
        broker->calls.clear();
        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QVERIFY(prompts->texts("error").isEmpty());
        QVERIFY(w->feeder()->isRunning());
        QVERIFY(broker->calls.contains("startLiveData"));
        QCOMPARE(windowStatus(*w), QString("Started live data feed for %1 symbols from %2").arg(keys.size()).arg(name));

        TickData t = RecordingBroker::makeTick(keys.first(), 101.25);
        t.token = keys.first();
        broker->sendTick(t);
        QTRY_COMPARE_WITH_TIMEOUT(watchlistTable(*w)->item(0, 1)->text(), QString("101.25"), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(windowStatus(*w), QString("Running - %1 symbols, 1 updates").arg(keys.size()), 5000);
    }

    void dhanFeedStopsBeforeSocketOpened()
    {
        setWatchlist("Dhan", {"1333", "11536", "2885"});
        auto w = makeWindow(SettingsManager::Dhan);
        broker->reportConnected(true);
        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QVERIFY(prompts->texts("error").isEmpty());
        QVERIFY(w->feeder()->isRunning());
        QCOMPARE(windowStatus(*w), QString("Started live data feed for 3 symbols from Dhan"));
        QVERIFY(w->streamSocket());
        QCOMPARE(w->streamSocket()->state(), QAbstractSocket::UnconnectedState);

        // Stop before the socket ever connected: nothing to close, the feeder stops, and the status
        // line says the connector is still connected.
        QMetaObject::invokeMethod(w.get(), "onStopLiveFeed");
        QVERIFY(!w->feeder()->isRunning());
        QVERIFY(startEnabled(*w));
        QCOMPARE(windowStatus(*w), QString("Live feed stopped. Still connected to Dhan."));
    }

    void fyersOwnStreamOpensConnectsAndPings()
    {
        WebSocketTestServer server;
        QVERIFY(server.listen());
        auto w = connectedFyersWindow(server.baseUrl());
        broker->calls.clear();

        LogCapture log;
        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), 1, 5000);
        const QNetworkRequest opening = server.connectionRequests().first();
        QCOMPARE(opening.url().path(), QString("/versova"));
        QCOMPARE(opening.rawHeader("Authorization"), QByteArray("FY1:fy-token"));
        QCOMPARE(opening.rawHeader("User-Agent"), QByteArray("Tickvane/1.0"));
        QVERIFY(!opening.rawHeader("Origin").isEmpty());
        QVERIFY(!log.contains("fy-token"));

        QTRY_COMPARE_WITH_TIMEOUT(w->streamSocket()->state(), QAbstractSocket::ConnectedState, 5000);
        QVERIFY(!startEnabled(*w));
        // The connector carries the subscription; the window's socket carries none.
        QTRY_VERIFY_WITH_TIMEOUT(broker->subscribeLists().contains("NSE:SBIN-EQ"), 5000);
        QVERIFY(server.textMessages().isEmpty());

        QMetaObject::invokeMethod(w.get(), "sendFyersPing");
        QTRY_COMPARE_WITH_TIMEOUT(server.textMessages(), QStringList{"ping"}, 5000);

        // A second Start replaces the socket: the first goes at once, one connection stays.
        QPointer<QWebSocket> first = w->streamSocket();
        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QVERIFY(first.isNull());
        QTRY_COMPARE_WITH_TIMEOUT(server.connectionRequests().size(), 2, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), 1, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!startEnabled(*w), 5000);

        // The server ends the stream: the window shows it and does not reconnect.
        server.closeClients();
        QTRY_COMPARE_WITH_TIMEOUT(windowStatus(*w), QString("Disconnected from live data feed"), 5000);
        QVERIFY(startEnabled(*w));
        QCOMPARE(server.connectionRequests().size(), 2);
    }

    void zerodhaOwnStreamQueryAndMissingKey()
    {
        WebSocketTestServer server;
        QVERIFY(server.listen());
        settings->setZerodhaAccessToken("z&tok");
        setWatchlist("Zerodha", {"408065"});
        auto w = makeWindow(SettingsManager::Zerodha, {}, server.baseUrl() + "/");
        broker->reportConnected(true);

        // Without the API key: the box, then the feeder starts and the "Started" text wins.
        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QCOMPARE(prompts->texts("error"),
                 QStringList{"Zerodha credentials not configured. Please check Settings."});
        QCOMPARE(windowStatus(*w), QString("Started live data feed for 1 symbol from Zerodha"));
        QVERIFY(w->feeder()->isRunning());

        settings->setZerodhaApiKey("zkey");
        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), 1, 5000);
        const QNetworkRequest opening = server.connectionRequests().first();
        const QUrlQuery query(opening.url());
        QCOMPARE(query.queryItemValue("api_key", QUrl::FullyDecoded), QString("zkey"));
        QCOMPARE(query.queryItemValue("access_token", QUrl::FullyDecoded), QString("z&tok"));
        QVERIFY(opening.rawHeader("Authorization").isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!startEnabled(*w), 5000);
        // The server has answered the upgrade; Stop comes once the window has read the answer.
        QTRY_COMPARE_WITH_TIMEOUT(w->streamSocket()->state(), QAbstractSocket::ConnectedState, 5000);

        // No ping for Zerodha; Stop closes the connected socket.
        QMetaObject::invokeMethod(w.get(), "sendFyersPing");
        QMetaObject::invokeMethod(w.get(), "onStopLiveFeed");
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), 0, 5000);
        QVERIFY(server.textMessages().isEmpty());
        QVERIFY(!w->feeder()->isRunning());
    }

    void stopWhileUpgrading_data()
    {
        QTest::addColumn<int>("provider");
        QTest::newRow("Zerodha") << int(SettingsManager::Zerodha);
        QTest::newRow("Fyers") << int(SettingsManager::Fyers);
    }
    void stopWhileUpgrading()
    {
        // Stopped while the server still owes the answer to the upgrade: the connection goes at
        // once, and an answer that comes later neither subscribes nor shows the feed connected.
        // Without a connector the window's own socket would carry the subscription.
        QFETCH(int, provider);
        HostileWebSocketPeer peer(HostileWebSocketPeer::HoldUpgrade);
        QVERIFY(peer.listen());
        settings->setZerodhaApiKey("zkey");
        settings->setZerodhaAccessToken("ztok");
        settings->setFyersClientId("FY1");
        settings->setFyersAccessToken("fy-token");
        settings->setWatchlistForBroker("Custom API", {"X"});
        settings->setWatchlistForBroker("Zerodha", {"408065"});
        settings->setWatchlistForBroker("Fyers", {"NSE:SBIN-EQ"});
        auto w = makeWindow(SettingsManager::CustomAPI, fyersUrlsOn(peer.baseUrl()), peer.baseUrl() + "/");
        settings->setProvider(provider);
        emit w->brokerFacade()->connectionStatusChanged(true);

        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QTRY_COMPARE_WITH_TIMEOUT(peer.heldCount(), 1, 5000);
        QMetaObject::invokeMethod(w.get(), "onStopLiveFeed");
        QVERIFY(startEnabled(*w));
        const QString stopped = windowStatus(*w);
        peer.answerHeldUpgrades();
        QTRY_COMPARE_WITH_TIMEOUT(peer.openConnections(), 0, 5000);
        QCOMPARE(peer.bytesAfterRequest(), 0);
        QVERIFY(startEnabled(*w));
        QCOMPARE(windowStatus(*w), stopped);
        QVERIFY(!w->streamSocket());
    }

    void fyersFailoverWalksEveryAddress()
    {
        auto w = connectedFyersWindow(refusingBase());

        LogCapture log;
        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QTRY_COMPARE_WITH_TIMEOUT(prompts->texts("error").size(), 1, 20000);
        const QString box = prompts->texts("error").first();
        QVERIFY(box.startsWith("WebSocket Connection Failed: Connection refused - Server is not "
                               "accepting connections\n\nBroker: Fyers\nError Code: 0\n\n"));
        QCOMPARE(w->fyersAddressIndex(), 0);
        QCOMPARE(w->fyersRefusedAttempts(), 0);
        QVERIFY(startEnabled(*w));
        // Seven openings: the first address, then six retries.
        QCOMPARE(log.count("[Fyers] Attempt"), 7);
    }

    void stopDuringFailoverEndsIt()
    {
        retryDelayMs = 300;
        auto w = connectedFyersWindow(refusingBase());
        LogCapture log;
        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QTRY_COMPARE_WITH_TIMEOUT(w->fyersRefusedAttempts(), 1, 5000);
        // Stopped between a refusal and its retry: the feed stays stopped.
        QMetaObject::invokeMethod(w.get(), "onStopLiveFeed");
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("[Fyers] Feed stopped, retry dropped"), 5000);
        QCOMPARE(log.count("[Fyers] Attempt"), 1);
        QVERIFY(!w->feeder()->isRunning());
        QVERIFY(startEnabled(*w));
        QVERIFY(prompts->texts("error").isEmpty());
        QCOMPARE(w->fyersAddressIndex(), 0);
    }

    void zerodhaRefusalFailsAtOnce()
    {
        settings->setZerodhaApiKey("zkey");
        settings->setZerodhaAccessToken("ztok");
        setWatchlist("Zerodha", {"408065"});
        auto w = makeWindow(SettingsManager::Zerodha, {}, refusingBase() + "/");
        broker->reportConnected(true);
        LogCapture log;
        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QTRY_COMPARE_WITH_TIMEOUT(prompts->texts("error").size(), 1, 5000);
        QVERIFY(prompts->texts("error").first().contains("Broker: Zerodha\nError Code: 0"));
        QVERIFY(!log.contains("ztok"));
    }

    void ownStreamSubscription_data()
    {
        QTest::addColumn<QString>("firstPath");
        QTest::addColumn<bool>("authSent");
        QTest::newRow("header address") << "/versova" << true;
        QTest::newRow("token in the address") << "/dataws/v3/" << false;
    }

    void ownStreamSubscription()
    {
        QFETCH(QString, firstPath);
        QFETCH(bool, authSent);
        // Started under the "Custom API" there is no connector: the window's own socket subscribes.
        WebSocketTestServer server;
        QVERIFY(server.listen());
        settings->setFyersClientId("FY1");
        settings->setFyersAccessToken("fy-token");
        settings->setWatchlistForBroker("Custom API", {"RELIANCE"});
        settings->setWatchlistForBroker("Fyers", {"SBIN", "BSE:INFY-EQ", "123456789"});
        QStringList urls = fyersUrlsOn(server.baseUrl());
        urls[0] = server.baseUrl() + firstPath;
        auto w = makeWindow(SettingsManager::CustomAPI, urls);
        QVERIFY(!w->brokerFacade()->implementation());
        settings->setProvider(SettingsManager::Fyers);
        emit w->brokerFacade()->connectionStatusChanged(true);

        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QTRY_COMPARE_WITH_TIMEOUT(server.textMessages().size(), authSent ? 3 : 2, 5000);
        QStringList expected;
        if (authSent)
            expected << R"({"client_id":"FY1","token":"fy-token","type":"auth"})";
        expected << R"({"data":{"channel":"1","mode":"depth","subs":1,"symbols":["NSE:SBIN-EQ","BSE:INFY-EQ","NSE:TOKEN_456789-EQ"]},"type":1})"
                 << R"({"data":{"pauseChannels":[],"resumeChannels":["1"]},"type":2})";
        QCOMPARE(server.textMessages(), expected);
    }

    void zerodhaOwnStreamSubscription()
    {
        WebSocketTestServer server;
        QVERIFY(server.listen());
        settings->setZerodhaApiKey("zkey");
        settings->setZerodhaAccessToken("ztok");
        settings->setWatchlistForBroker("Custom API", {"X"});
        settings->setWatchlistForBroker("Zerodha", {"408065", "TCS", "NOPE"});
        auto w = makeWindow(SettingsManager::CustomAPI, {}, server.baseUrl() + "/");
        ListLookups names({instrument("TCS", "NSE", "11536")});
        w->setSymbolLookups(&names);
        settings->setProvider(SettingsManager::Zerodha);
        emit w->brokerFacade()->connectionStatusChanged(true);

        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QTRY_COMPARE_WITH_TIMEOUT(server.textMessages().size(), 1, 5000);
        QCOMPARE(server.textMessages().first(), QString(R"({"a":"mode","v":["full",[408065,11536]]})"));
        QCOMPARE(prompts->texts("error").size(), 1);
        QVERIFY(prompts->texts("error").first().startsWith("Instrument token not found for symbol: NOPE\n\n"));
        QCOMPARE(windowStatus(*w), QString("Subscribed to 2 instruments in Zerodha WebSocket (full mode)"));
        w->setSymbolLookups(nullptr);
    }

    void incomingTextAndBinaryFrames()
    {
        WebSocketTestServer server;
        QVERIFY(server.listen());
        auto w = connectedFyersWindow(server.baseUrl());
        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), 1, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!startEnabled(*w), 5000);
        const qint64 before = w->ticksReceived();

        LogCapture log;
        // Not JSON: dropped, not counted. Any JSON counts once, a non-object too; a control reply
        // reaches the Fyers handler.
        server.sendText("{oops");
        server.sendText("[1,2]");
        server.sendText(R"({"type":"cn","s":"ok"})");
        QTRY_COMPARE_WITH_TIMEOUT(w->ticksReceived(), before + 2, 5000);
        QCOMPARE(w->fyersFramesSeen(), 2);

        // A backtest job goes to the controller, which answers on the same socket; not a tick.
        server.sendText(R"({"type":"backtest_job","api_key":"job-secret"})");
        QTRY_VERIFY_WITH_TIMEOUT(!server.textMessages().isEmpty(), 5000);
        QVERIFY(server.textMessages().last().contains("Malformed job"));
        QCOMPARE(w->ticksReceived(), before + 2);
        QVERIFY(!log.contains("job-secret"));

        // Binary frames are handed to the Fyers handler whatever their size.
        server.sendBinary(QByteArray("\x01\x02\x03", 3));
        QTRY_COMPARE_WITH_TIMEOUT(w->fyersFramesSeen(), 4, 5000);
    }

    void autoSubscribeAfterConnection()
    {
        settleMs = 20;
        auto w = makeWindow(SettingsManager::Dhan);
        // Dhan has no list of its own: the general watchlist stands in.
        settings->setCurrentBroker("Custom API");
        settings->setWatchlist({"1333"});
        QTRY_COMPARE_WITH_TIMEOUT(broker->subscribeLists(), QStringList{"1333"}, 5000);
        broker->calls.clear();
        // A disconnect within the settling time cancels the subscription. A precise timer of the
        // same length started after the window's fires after it: by then the window has decided.
        broker->reportConnected(true);
        broker->reportConnected(false);
        QTimer settled;
        settled.setSingleShot(true);
        settled.setTimerType(Qt::PreciseTimer);
        QSignalSpy done(&settled, &QTimer::timeout);
        settled.start(settleMs);
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 5000);
        QVERIFY(broker->subscribeLists().isEmpty());
        broker->reportConnected(true);
        QTRY_COMPARE_WITH_TIMEOUT(broker->subscribeLists().size(), 1, 5000);
        QCOMPARE(broker->subscribeLists().first(), QString("1333"));
        QCOMPARE(windowStatus(*w), QString("Subscribed to 1 instruments via broker implementation"));

        // Each later watchlist change hands the connector the whole list again; its own list wins.
        settings->addSymbolForBroker("Dhan", "11536");
        QTRY_COMPARE_WITH_TIMEOUT(broker->subscribeLists().last(), QString("11536"), 5000);
    }

private:
    std::unique_ptr<MainWindow> makeWindow(int provider, const QStringList& fyersUrls = {},
                                           const QString& zerodhaUrl = {})
    {
        settings->setProvider(provider);
        MainWindowSeams seams = recordingSeams();
        seams.fyersStreamUrls = fyersUrls;
        seams.zerodhaStreamUrl = zerodhaUrl;
        seams.fyersRetryDelayMs = retryDelayMs;
        seams.autoSubscribeDelayMs = settleMs;
        auto w = std::make_unique<MainWindow>(seams);
        finishStartup(*w);
        prompts->shown.clear();
        return w;
    }
    // A connected Fyers window watching one symbol, its stream addresses all on `base`.
    std::unique_ptr<MainWindow> connectedFyersWindow(const QString& base)
    {
        settings->setFyersClientId("FY1");
        settings->setFyersAccessToken("fy-token");
        setWatchlist("Fyers", {"NSE:SBIN-EQ"});
        auto w = makeWindow(SettingsManager::Fyers, fyersUrlsOn(base));
        broker->reportConnected(true);
        return w;
    }
    void setWatchlist(const QString& broker, const QStringList& items)
    {
        settings->setWatchlistForBroker(broker, items);
        settings->setCurrentBroker(QString());
        settings->setCurrentBroker(broker);
    }
    bool startEnabled(MainWindow& w) const
    {
        return w.findChild<QPushButton*>("startLiveFeedBtn")->isEnabled()
            && !w.findChild<QPushButton*>("stopLiveFeedBtn")->isEnabled();
    }
    QStringList fyersUrlsOn(const QString& base) const
    {
        QStringList urls;
        for (const QString& p : kFyersPaths)
            urls << base + p;
        return urls;
    }
    // Connecting to it is refused, for the whole run.
    QString refusingBase() const { return QStringLiteral("ws://127.0.0.1:%1").arg(refusing.port()); }

    int retryDelayMs = 5;
    int settleMs = 500;
    ClosedPort refusing;
};

QTEST_MAIN(TestLiveFeed)
#include "tst_livefeed.moc"
