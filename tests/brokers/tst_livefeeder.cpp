// Live-feed controller: symbol list and watchlist, start/stop through the facade, tick storage, status.
#include "brokers/BrokerAPI.h"
#include "brokers/LiveFeeder.h"
#include "core/DataManager.h"
#include "core/SettingsManager.h"
#include "support/BrokerTestSetup.h"
#include "support/RecordingBroker.h"
#include "support/HttpTestServer.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QtTest>

namespace {

TickData tick(const QString& symbol, double ltp)
{
    return RecordingBroker::makeTick(symbol, ltp);
}

}  // namespace

class TestLiveFeeder : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { setUpBrokerTest("tst_livefeeder"); }

    void init()
    {
        SettingsManager s;
        s.setWatchlist({});
        s.setApiKey("");
        s.setProvider(0);
        s.saveSettings();
    }

    void symbolEditsFollowWatchlist()
    {
        BrokerAPI api;
        DataManager store;
        SettingsManager settings;
        LiveFeeder feeder(&api, &store, &settings);
        QSignalSpy added(&feeder, &LiveFeeder::symbolAdded);
        QSignalSpy removed(&feeder, &LiveFeeder::symbolRemoved);
        feeder.addSymbol("infy");
        feeder.addSymbol("Infy");
        QCOMPARE(added.count(), 1);
        QCOMPARE(added.at(0).at(0).toString(), QString("INFY"));
        QCOMPARE(feeder.symbols(), QStringList{"INFY"});
        QCOMPARE(settings.watchlist(), QStringList{"INFY"});
        feeder.addSymbol("tcs");
        feeder.removeSymbol("absent");
        QCOMPARE(removed.count(), 0);
        feeder.removeSymbol("infy");
        QCOMPARE(removed.count(), 1);
        QCOMPARE(feeder.symbols(), QStringList{"TCS"});
        QCOMPARE(settings.watchlist(), QStringList{"TCS"});

        // While stopped, a settings change replaces the list with the watchlist.
        settings.setWatchlist({"A", "B"});
        QCOMPARE(feeder.symbols(), (QStringList{"A", "B"}));
        feeder.clearSymbols();
        QVERIFY(feeder.symbols().isEmpty());
        QVERIFY(settings.watchlist().isEmpty());
    }

    void startRefusals_data()
    {
        QTest::addColumn<QStringList>("symbols");
        QTest::addColumn<QString>("apiKey");
        QTest::addColumn<QString>("error");
        QTest::newRow("no symbols") << QStringList() << "key12345" << "No symbols configured for live feed";
        QTest::newRow("no api key") << QStringList{"A"} << "" << "API key not configured";
    }

    void startRefusals()
    {
        QFETCH(QStringList, symbols);
        QFETCH(QString, apiKey);
        BrokerAPI api;
        RecordingBroker broker;
        api.setImplementation(&broker);
        DataManager store;
        SettingsManager settings;
        settings.setWatchlist(symbols);
        settings.setApiKey(apiKey);
        LiveFeeder feeder(&api, &store, &settings);
        QSignalSpy errors(&feeder, &LiveFeeder::errorOccurred);
        feeder.start();
        QVERIFY(!feeder.isRunning());
        QCOMPARE(errors.count(), 1);
        QTEST(errors.at(0).at(0).toString(), "error");
        QVERIFY(broker.calls.isEmpty());
    }

    void runThroughConnector()
    {
        BrokerAPI api;
        RecordingBroker broker;
        api.setImplementation(&broker);
        DataManager store;
        SettingsManager settings;
        settings.setWatchlist({"A", "B", "C"});
        settings.setApiKey("key12345");
        LiveFeeder feeder(&api, &store, &settings);
        QSignalSpy status(&feeder, &LiveFeeder::statusChanged);
        QSignalSpy errors(&feeder, &LiveFeeder::errorOccurred);

        broker.sendTick(tick("A", 1));  // stopped: ignored
        QCOMPARE(store.tickCount("A"), 0);

        feeder.start();
        feeder.start();
        QVERIFY(feeder.isRunning());
        QCOMPARE(broker.calls, (QStringList{"subscribe:A", "subscribe:B", "subscribe:C", "startLiveData"}));
        QCOMPARE(status.last().at(0).toString(), QString("Running - Connecting..."));
        broker.sendTick(tick("A", 101));
        broker.sendTick(tick("B", 0));  // invalid: counted, but the store drops it
        QCOMPARE(feeder.updateCount(), 2);
        QCOMPARE(store.tickCount("A"), 1);
        QCOMPARE(store.tickCount("B"), 0);
        const QDateTime last = feeder.lastUpdate();
        QVERIFY(last.isValid());
        // The connector's stream comes up: the counter shows, not "Connecting..." forever.
        broker.reportConnected(true);
        QCOMPARE(status.last().at(0).toString(), QString("Running - 3 symbols, 2 updates"));

        broker.reportConnected(false);
        broker.sendError("socket closed");
        QCOMPARE(errors.count(), 2);
        QCOMPARE(errors.at(0).at(0).toString(), QString("Connection lost to data provider"));
        QCOMPARE(errors.at(1).at(0).toString(), QString("API Error: socket closed"));
        QVERIFY(feeder.isRunning());

        // The watchlist changed while running: what left it leaves the feed, what joined it is fed.
        broker.calls.clear();
        settings.setWatchlist({"C", "Z"});
        QCOMPARE(feeder.symbols(), (QStringList{"C", "Z"}));
        QCOMPARE(broker.calls, (QStringList{"unsubscribe:A", "unsubscribe:B", "subscribe:Z"}));

        broker.calls.clear();
        feeder.stop();
        QCOMPARE(broker.calls, (QStringList{"stopLiveData", "unsubscribe:C", "unsubscribe:Z"}));
        QCOMPARE(feeder.statusText(), QString("Stopped - 2 symbols configured"));
    }

    void settingsReachFacade()
    {
        HttpTestServer server;
        QVERIFY(server.listen());
        BrokerAPI api;
        DataManager store;
        SettingsManager settings;
        settings.setProvider(6);
        settings.setCustomUrl(server.baseUrl());
        settings.setRateLimit(17);
        LiveFeeder feeder(&api, &store, &settings);
        QCOMPARE(api.provider(), 6);
        QCOMPARE(api.currentBaseUrl(), server.baseUrl());
        QCOMPARE(api.rateLimit(), 17);

        settings.setProvider(2);  // the configured limit still wins over the provider's table value
        QCOMPARE(api.rateLimit(), 17);
        QVERIFY(api.currentBaseUrl().endsWith("/v2"));

        settings.setProvider(7);
        settings.setFyersAppId("APP-100");
        settings.setFyersAccessToken("tok");
        settings.setCustomUrl("http://ignored.example");
        QVERIFY(!api.currentBaseUrl().contains("ignored"));
    }

    void fyersQuotesSendTheLoginIdNeverTheSecret()
    {
        HttpTestServer server;
        QVERIFY(server.listen());
        BrokerAPI api;
        api.setPollInterval(3600000);
        DataManager store;
        SettingsManager settings;
        settings.setFyersClientId("XY1234-100");
        settings.setFyersAppId("HASH-SECRET");  // holds the secret when no Secret Key is set
        settings.setFyersAccessToken("tok");
        settings.setProvider(7);
        LiveFeeder feeder(&api, &store, &settings);
        api.setCustomUrl(server.baseUrl());
        api.subscribeLiveData("SBIN");
        QVERIFY(QMetaObject::invokeMethod(&api, "onLiveDataTimer"));
        QTRY_COMPARE_WITH_TIMEOUT(server.requestCount(), 1, 5000);
        const HttpTestServer::Request r = server.lastRequest();
        QCOMPARE(r.header("Authorization"), QByteArray("XY1234-100:tok"));
        QCOMPARE(r.header("fyers-id"), QByteArray("XY1234-100"));
    }
};

QTEST_GUILESS_MAIN(TestLiveFeeder)
#include "tst_livefeeder.moc"
