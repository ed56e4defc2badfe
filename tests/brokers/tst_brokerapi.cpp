// Broker facade: connector forwarding, own "Custom API" mode, request building, rate window, routing.
#include "brokers/BrokerAPI.h"
#include "brokers/SymbolKey.h"
#include "support/RecordingBroker.h"
#include "support/HttpTestServer.h"
#include "support/LogCapture.h"

#include <QNetworkReply>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

namespace {

void triggerPoll(BrokerAPI& api)
{
    QVERIFY(QMetaObject::invokeMethod(&api, "onLiveDataTimer"));
}

// The facade in its own "Custom API" mode against a loopback quote service that polls only when told.
struct CustomApi {
    HttpTestServer server;
    BrokerAPI api;
    explicit CustomApi(int provider = 6)
    {
        QVERIFY(server.listen());
        api.setProvider(provider);
        api.setCustomUrl(server.baseUrl());
        api.setPollInterval(3600000);
    }
};

}  // namespace

class TestBrokerAPI : public QObject {
    Q_OBJECT

private slots:
    void forwardsToConnectorAndSwitchesCleanly()
    {
        BrokerAPI api;
        RecordingBroker a, b;
        QSignalSpy ticks(&api, &BrokerAPI::tickReceived);
        QSignalSpy history(&api, &BrokerAPI::historicalDataReceived);
        QSignalSpy status(&api, &BrokerAPI::connectionStatusChanged);
        QSignalSpy errors(&api, &BrokerAPI::errorOccurred);

        api.setImplementation(&a);
        api.setImplementation(&a);  // same connector: nothing doubled
        a.sendTick(RecordingBroker::makeTick("A", 1));
        a.sendHistory("A", {});
        a.reportConnected(true);
        a.sendError("boom");
        QCOMPARE((QList<int>{ticks.count(), history.count(), status.count(), errors.count()}),
                 (QList<int>{1, 1, 1, 1}));
        QVERIFY(!api.isConnected());  // the connector's state is not the facade's flag

        api.subscribeLiveData("X");
        api.startLiveData();
        api.unsubscribeLiveData("X");
        api.stopLiveData();
        api.requestHistoricalData("X", QDate(2024, 1, 1), QDate(2024, 1, 2), "day");
        api.requestIntradayData("Y", "5minute");
        QCOMPARE(a.calls, (QStringList{"subscribe:X", "startLiveData", "unsubscribe:X", "stopLiveData"}));
        QCOMPARE(a.history.size(), 2);
        QCOMPARE(a.history.at(0).interval, QString("day"));
        QCOMPARE(a.history.at(1).symbol, QString("Y"));
        QVERIFY(api.subscribed().isEmpty());

        api.setImplementation(&b);
        a.sendTick(RecordingBroker::makeTick("A", 1));
        a.sendError("stale");
        b.sendTick(RecordingBroker::makeTick("B", 2));
        QCOMPARE(ticks.count(), 2);
        QCOMPARE(ticks.last().at(0).value<TickData>().symbol, QString("B"));
        QCOMPARE(errors.count(), 1);

        api.setImplementation(nullptr);
        b.sendTick(RecordingBroker::makeTick("B", 2));
        QCOMPARE(ticks.count(), 2);
        QCOMPARE(api.implementation(), nullptr);
    }

    void destructionStopsConnectorAndToleratesDeadOne()
    {
        RecordingBroker connector;
        {
            BrokerAPI api;
            api.setImplementation(&connector);
        }
        QCOMPARE(connector.calls, QStringList{"stopLiveData"});

        BrokerAPI api;
        QSignalSpy status(&api, &BrokerAPI::connectionStatusChanged);
        {
            RecordingBroker shortLived;
            api.setImplementation(&shortLived);
        }
        QCOMPARE(api.implementation(), nullptr);  // back in own mode, no dangling connector
        api.stopLiveData();
        QCOMPARE(status.count(), 1);
    }

    void ownModeSubscriptionsAndStatus()
    {
        // The first round of the poll goes out at the start: to a peer that never answers.
        CustomApi c;
        c.server.setReply("GET", "/", HttpTestServer::Reply::silent());
        BrokerAPI& api = c.api;
        QSignalSpy status(&api, &BrokerAPI::connectionStatusChanged);
        api.startLiveData();
        QCOMPARE(status.count(), 0);
        QVERIFY(!api.isConnected());

        api.subscribeLiveData("INFY");
        api.subscribeLiveData("INFY");
        api.subscribeLiveData("infy");
        QCOMPARE(api.subscribed(), (QStringList{"INFY", "infy"}));
        api.startLiveData();
        api.startLiveData();
        QCOMPARE(status.count(), 2);
        QVERIFY(status.last().at(0).toBool());
        QVERIFY(api.isConnected());
        api.unsubscribeLiveData("INFY");
        QCOMPARE(api.subscribed(), QStringList{"infy"});
        api.stopLiveData();
        api.stopLiveData();
        QCOMPARE(status.count(), 4);
        QVERIFY(!status.last().at(0).toBool());
        QVERIFY(!api.isConnected());
    }

    void providerTable_data()
    {
        QTest::addColumn<int>("provider");
        QTest::addColumn<QString>("suffix");  // empty: URL unchanged
        QTest::addColumn<int>("limit");
        QTest::newRow("zerodha") << 0 << "" << 3000;
        QTest::newRow("tradejini") << 2 << "/v2" << 1000;
        QTest::newRow("custom keeps both") << 6 << "KEEP" << 42;
        QTest::newRow("unknown keeps both") << 9 << "KEEP" << 42;
    }

    void providerTable()
    {
        QFETCH(int, provider);
        QFETCH(QString, suffix);
        BrokerAPI api;
        QCOMPARE(api.rateLimit(), 3000);  // a new facade starts as Zerodha
        api.setCustomUrl("http://custom.example");
        api.setRateLimit(42);
        api.setProvider(provider);
        QTEST(api.rateLimit(), "limit");
        if (suffix == "KEEP") {
            QCOMPARE(api.currentBaseUrl(), QString("http://custom.example"));
        } else {
            QVERIFY(api.currentBaseUrl().startsWith("https://"));
            QVERIFY(api.currentBaseUrl().endsWith(suffix.isEmpty() ? api.currentBaseUrl().right(3) : suffix));
            QVERIFY(!api.currentBaseUrl().endsWith("/"));
        }
    }

    void requestsOnTheWire_data()
    {
        QTest::addColumn<int>("provider");
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<bool>("intraday");
        QTest::addColumn<QString>("interval");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("query");  // "*" where the value depends on the current time

        QTest::newRow("zerodha history ignores interval")
            << 0 << "INFY" << false << "5minute" << "/instruments/historical"
            << "from=2024-01-01&instrument_token=NSE:INFY&interval=day&to=2024-01-31";
        QTest::newRow("zerodha qualified symbol unchanged")
            << 0 << "NSE:RELIANCE-EQ" << false << "day" << "/instruments/historical"
            << "from=2024-01-01&instrument_token=NSE:RELIANCE-EQ&interval=day&to=2024-01-31";
        QTest::newRow("fyers history")
            << 7 << "INFY" << false << "day" << "/candles"
            << QString("cont_flag=1&date_format=1&range_from=%1&range_to=%2&resolution=D&symbol=NSE:INFY-EQ")
                   .arg(QDateTime(QDate(2024, 1, 1), QTime(0, 0)).toSecsSinceEpoch())
                   .arg(QDateTime(QDate(2024, 1, 31), QTime(0, 0)).toSecsSinceEpoch());
        QTest::newRow("fyers intraday 1min") << 7 << "INFY" << true << "1min" << "/candles" << "resolution=1";
        QTest::newRow("fyers intraday 5") << 7 << "INFY" << true << "5" << "/candles" << "resolution=5";
        QTest::newRow("custom history")
            << 6 << "INFY" << false << "5minute" << "/" << "from=2024-01-01&interval=5minute&symbol=INFY&to=2024-01-31";
        QTest::newRow("custom intraday") << 6 << "M&M" << true << "1minute" << "/" << "interval=1minute&symbol=M&M&to=";
    }

    void requestsOnTheWire()
    {
        QFETCH(int, provider);
        QFETCH(QString, symbol);
        QFETCH(bool, intraday);
        QFETCH(QString, interval);
        QFETCH(QString, path);
        QFETCH(QString, query);
        CustomApi c(provider);
        auto& [server, api] = c;
        api.setApiKey("k-123");
        if (intraday)
            api.requestIntradayData(symbol, interval);
        else
            api.requestHistoricalData(symbol, QDate(2024, 1, 1), QDate(2024, 1, 31), interval);
        QTRY_COMPARE_WITH_TIMEOUT(server.requestCount(), 1, 5000);
        const HttpTestServer::Request r = server.lastRequest();
        QCOMPARE(r.method, QByteArray("GET"));
        QCOMPARE(r.path, path);
        QCOMPARE(r.header("User-Agent"), QByteArray("Tickvane/1.0"));
        // Only the quote service is given the general key.
        QCOMPARE(r.header("X-API-Key"), provider == 6 ? QByteArray("k-123") : QByteArray());
        const QString got = r.query.toString(QUrl::FullyDecoded);
        if (intraday)
            QVERIFY2(got.contains(query), qPrintable(got));
        else
            QCOMPARE(got, query);
    }

    void fyersHeaders_data()
    {
        QTest::addColumn<QString>("appId");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QByteArray>("authorization");
        QTest::addColumn<QByteArray>("fyersId");
        QTest::newRow("both") << "APP-100" << "tok" << QByteArray("APP-100:tok") << QByteArray("APP-100");
        QTest::newRow("token only") << "" << "tok" << QByteArray("tok") << QByteArray();
        QTest::newRow("no token") << "APP-100" << "" << QByteArray() << QByteArray();
    }

    void fyersHeaders()
    {
        QFETCH(QString, appId);
        QFETCH(QString, token);
        CustomApi c(7);
        c.api.setFyersAppId(appId);
        c.api.setFyersAccessToken(token);
        c.api.subscribeLiveData("SBIN");
        triggerPoll(c.api);
        QTRY_COMPARE_WITH_TIMEOUT(c.server.requestCount(), 1, 5000);
        const HttpTestServer::Request r = c.server.lastRequest();
        QCOMPARE(r.path, QString("/quotes"));
        QCOMPARE(r.query.queryItemValue("symbols"), QString("NSE:SBIN-EQ"));
        QTEST(r.header("Authorization"), "authorization");
        QTEST(r.header("fyers-id"), "fyersId");
        QCOMPARE(r.header("Content-Type"), QByteArray("application/json"));
    }

    void pollDeliversTicksPerSymbol()
    {
        HttpTestServer server;
        QVERIFY(server.listen());
        // Each symbol has its own price; a reply naming another symbol than asked is dropped and
        // told as that symbol's failure.
        server.setResponder([](const HttpTestServer::Request& r) {
            const QString symbol = r.query.queryItemValue("symbol");
            if (symbol == "CCC")
                return HttpTestServer::Reply::json(R"({"symbol":"AAA","price":7})");
            const QByteArray price = symbol == "AAA" ? "101.25" : "202.5";
            return HttpTestServer::Reply::json(R"({"price":)" + price + R"(,"open":100,"volume":500})");
        });
        BrokerAPI api;
        api.setProvider(6);
        api.setCustomUrl(server.baseUrl() + "/quote?v=2");
        api.setApiKey("k-123");
        api.setRateLimit(60);
        api.setPollInterval(20);
        QSignalSpy ticks(&api, &BrokerAPI::tickReceived);
        api.subscribeLiveData("AAA");
        api.subscribeLiveData("BBB");
        api.subscribeLiveData("CCC");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Dropped a quote for \"AAA\" that answered a request for \"CCC\""));
        api.startLiveData();
        QTRY_VERIFY_WITH_TIMEOUT(server.requestCount() >= 3 && ticks.count() >= 2, 5000);
        api.stopLiveData();
        QSet<QString> symbols;
        for (const auto& args : ticks) {
            const TickData t = args.at(0).value<TickData>();
            symbols << t.symbol;
            QCOMPARE(t.ltp, t.symbol == "AAA" ? 101.25 : 202.5);
            QCOMPARE(t.volume, 500.0);
            QVERIFY(t.timestamp.isValid());
        }
        QCOMPARE(symbols, (QSet<QString>{"AAA", "BBB"}));
        const HttpTestServer::Request r = server.requests().first();
        QCOMPARE(r.path, QString("/quote"));
        QCOMPARE(r.query.queryItemValue("v"), QString("2"));
        QCOMPARE(r.header("X-API-Key"), QByteArray("k-123"));
    }

    void rateWindowQueuesAndDrains()
    {
        CustomApi c;
        auto& [server, api] = c;
        server.setReply("GET", "/", HttpTestServer::Reply::json(R"({"price":1})"));
        QDateTime clock(QDate(2025, 1, 6), QTime(9, 15));
        const QDateTime t0 = clock;
        api.setClock([&clock] { return clock; });
        api.setRateLimit(3);
        api.setQueueDrainInterval(5);
        for (const char* s : {"A", "B", "C", "D", "E"})
            api.subscribeLiveData(s);
        api.startLiveData();
        for (int i = 0; i < 5; ++i)
            triggerPoll(api);  // the waiting quotes are not asked for again
        QCOMPARE(api.requestsInWindow(), 3);
        QCOMPARE(api.queuedRequestCount(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(server.requestCount(), 3, 5000);

        // 59.9 s into the window still counts in it: the drain may not send.
        clock = t0.addMSecs(59900);
        for (int i = 0; i < 3; ++i)
            QVERIFY(QMetaObject::invokeMethod(&api, "processRequestQueue"));
        QCOMPARE(api.queuedRequestCount(), 2);
        QCOMPARE(server.requestCount(), 3);

        clock = t0.addSecs(60);
        QTRY_COMPARE_WITH_TIMEOUT(api.queuedRequestCount(), 0, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(server.requestCount(), 5, 5000);
        QCOMPARE(api.requestsInWindow(), 2);
        const QStringList order = {server.requests().at(3).path, server.requests().at(4).path};
        QCOMPARE(order, (QStringList{"/", "/"}));
    }

    void historyAnswersCarryTheirTag()
    {
        // The facade's own REST request: the tag rides on the reply and comes back with the bars.
        CustomApi c;
        auto& [server, api] = c;
        server.setReply("GET", "/", HttpTestServer::Reply::json(
            R"({"data":[{"open":1,"high":2,"low":0.5,"close":1.5,"date":"2024-03-15"}]})"));
        QSignalSpy tagged(&api, &BrokerAPI::historyAnswered);
        QSignalSpy plain(&api, &BrokerAPI::historicalDataReceived);
        const quint64 tag = api.newHistoryTag();
        QVERIFY(tag != 0 && api.newHistoryTag() != tag);
        api.requestHistoricalData("AAA", QDate(2024, 3, 1), QDate(2024, 3, 15), "day", tag);
        QVERIFY(plain.wait(5000));
        QCOMPARE(tagged.size(), 1);
        QCOMPARE(tagged.at(0).at(0).value<quint64>(), tag);
        QCOMPARE(tagged.at(0).at(1).toString(), QString("AAA"));

        // A connector takes the tag with the request and answers with it; the next request that
        // names none is untagged, and so is an answer the connector gives without one.
        BrokerAPI facade;
        RecordingBroker broker;
        facade.setImplementation(&broker);
        QSignalSpy answers(&facade, &BrokerAPI::historyAnswered);
        facade.requestHistoricalData("BBB", QDate(2024, 3, 1), QDate(2024, 3, 15), "minute", 41);
        facade.requestHistoricalData("BBB", QDate(2024, 3, 1), QDate(2024, 3, 15), "day");
        QCOMPARE(broker.history.size(), 2);
        QCOMPARE((QList<quint64>{broker.history.at(0).tag, broker.history.at(1).tag}), (QList<quint64>{41, 0}));
        broker.answerRequest(0, {});
        broker.sendHistory("BBB", {});
        QCOMPARE(answers.size(), 2);
        QCOMPARE((QList<quint64>{answers.at(0).at(0).value<quint64>(), answers.at(1).at(0).value<quint64>()}),
                 (QList<quint64>{41, 0}));
    }

    // A tagged request has one answer while it is open; after it was given up its bars and its
    // failure reach no listener (a failure told then would end the request running now).
    void endedRequestsAnswerNobody()
    {
        BrokerAPI facade;
        RecordingBroker broker;
        facade.setImplementation(&broker);
        QSignalSpy tagged(&facade, &BrokerAPI::historyAnswered);
        QSignalSpy plain(&facade, &BrokerAPI::historicalDataReceived);
        const quint64 given = facade.newHistoryTag();
        const quint64 running = facade.newHistoryTag();
        facade.requestHistoricalData("SBIN", QDate(2024, 3, 1), QDate(2024, 3, 15), "day", given);
        facade.requestHistoricalData("SBIN", QDate(2024, 3, 14), QDate(2024, 3, 15), "minute", running);
        QVERIFY(facade.isHistoryRequestOpen(given) && facade.isHistoryRequestOpen(running));
        facade.endHistoryRequest(given);
        OHLCData bar;
        bar.symbol = "SBIN";
        bar.timestamp = QDateTime(QDate(2024, 3, 1), QTime(9, 15));
        bar.open = bar.high = bar.low = bar.close = 700;
        broker.answerRequest(0, {bar});
        QCOMPARE(tagged.size() + plain.size(), 0);
        broker.answerRequest(1, {bar});
        QCOMPARE(tagged.size(), 1);
        QCOMPARE(tagged.at(0).at(0).value<quint64>(), running);
        QCOMPARE(plain.size(), 1);
        QVERIFY(!facade.isHistoryRequestOpen(running));
        broker.answerRequest(1, {bar});  // said twice: the second answers nothing
        QCOMPARE(plain.size(), 1);
        // An untagged answer belongs to a request that named no tag, which nothing ends.
        broker.sendHistory("SBIN", {bar});
        QCOMPARE(plain.size(), 2);
        QCOMPARE(tagged.last().at(0).value<quint64>(), quint64(0));

        // The facade's own path: a refusal and bars that come after their requests ended.
        LogCapture log(false);
        CustomApi c;
        auto& [server, api] = c;
        server.setResponder([](const HttpTestServer::Request& r) {
            if (r.query.queryItemValue("symbol") == "DOWN")
                return HttpTestServer::Reply::json("{}", 503);
            return HttpTestServer::Reply::json(R"({"data":[{"open":1,"high":2,"low":0.5,"close":1.5,"date":"2024-03-15"}]})");
        });
        QSignalSpy failed(&api, &BrokerAPI::historyFailed);
        QSignalSpy errors(&api, &BrokerAPI::errorOccurred);
        QSignalSpy bars(&api, &BrokerAPI::historicalDataReceived);
        for (const char* symbol : {"DOWN", "LATE"}) {
            const quint64 tag = api.newHistoryTag();
            api.requestHistoricalData(symbol, QDate(2024, 3, 1), QDate(2024, 3, 15), "day", tag);
            api.endHistoryRequest(tag);
        }
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("[BrokerAPI] History request for \"DOWN\" failed after it had ended"), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("[BrokerAPI] Dropped 1 history bars for \"LATE\""), 5000);
        QCOMPARE(failed.size() + errors.size() + bars.size(), 0);
        // While it is open, the same refusal is told.
        api.requestHistoricalData("DOWN", QDate(2024, 3, 1), QDate(2024, 3, 15), "day", api.newHistoryTag());
        QVERIFY(failed.wait(5000));
        QCOMPARE(errors.size(), 1);
    }

    // A connector's history failure carries its request's tag. While the request is open it is
    // told once, as historyFailed (no reason: the text says it all) and then errorOccurred with
    // the same text; after the request ended, or once it has been told, it is logged and told to
    // no one. An untagged failure is an error like any other, as it always was.
    void connectorFailuresGatedByTheirTag()
    {
        LogCapture log(false);
        BrokerAPI facade;
        RecordingBroker broker;
        facade.setImplementation(&broker);
        QSignalSpy failed(&facade, &BrokerAPI::historyFailed);
        QSignalSpy errors(&facade, &BrokerAPI::errorOccurred);
        QStringList order;
        connect(&facade, &BrokerAPI::historyFailed, this, [&order] { order << "historyFailed"; });
        connect(&facade, &BrokerAPI::errorOccurred, this, [&order] { order << "errorOccurred"; });
        const quint64 given = facade.newHistoryTag();
        const quint64 running = facade.newHistoryTag();
        facade.requestHistoricalData("SBIN", QDate(2024, 3, 1), QDate(2024, 3, 15), "day", given);
        facade.requestHistoricalData("SBIN", QDate(2024, 3, 14), QDate(2024, 3, 15), "minute", running);
        facade.endHistoryRequest(given);

        const QString late = "Zerodha history error for SBIN: HTTP 500";
        broker.failRequest(0, late);
        QCOMPARE(failed.size() + errors.size(), 0);
        QCOMPARE(log.count("[BrokerAPI] History request for \"SBIN\" failed after it had ended"), 1);
        QVERIFY(facade.isHistoryRequestOpen(running));

        const QString own = "Zerodha history error for SBIN: Too many requests";
        broker.failRequest(1, own);
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.at(0), (QList<QVariant>{QVariant::fromValue(running), "SBIN", QString(), own}));
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors.at(0).at(0).toString(), own);
        QCOMPARE(order, (QStringList{"historyFailed", "errorOccurred"}));
        QVERIFY(!facade.isHistoryRequestOpen(running));
        broker.failRequest(1, own);  // told twice: the request has ended with the first
        QCOMPARE(failed.size() + errors.size(), 2);

        facade.requestHistoricalData("INFY", QDate(2024, 3, 1), QDate(2024, 3, 15), "day");
        broker.failRequest(2, "Historical data request failed for INFY: refused");
        QCOMPARE(failed.size(), 1);
        QCOMPARE(errors.size(), 2);
        QCOMPARE(errors.last().at(0).toString(), QString("Historical data request failed for INFY: refused"));
    }

    void repliesRoutedByRequestKind()
    {
        CustomApi c;
        auto& [server, api] = c;
        server.setReply("GET", "/", HttpTestServer::Reply::json(
            R"({"data":[{"open":1,"high":2,"low":0.5,"close":1.5,"date":"2024-03-15"}]})"));  // no symbol: AAA's
        QSignalSpy ticks(&api, &BrokerAPI::tickReceived);
        QSignalSpy history(&api, &BrokerAPI::historicalDataReceived);
        QSignalSpy errors(&api, &BrokerAPI::errorOccurred);

        // History for a symbol that is being polled is still history.
        api.subscribeLiveData("AAA");
        api.startLiveData();
        api.requestHistoricalData("AAA", QDate(2024, 3, 1), QDate(2024, 3, 15), "day");
        QVERIFY(history.wait(5000));
        QCOMPARE(history.last().at(0).toString(), QString("AAA"));
        QCOMPARE(history.last().at(1).value<QList<OHLCData>>().size(), 1);
        QCOMPARE(ticks.count(), 0);
        QCOMPARE(errors.count(), 0);

        // A quote that comes back after the symbol left the poll is dropped, not read as history.
        server.setReply("GET", "/", HttpTestServer::Reply::json(R"({"price":5})"));
        triggerPoll(api);
        api.unsubscribeLiveData("AAA");
        QTRY_COMPARE_WITH_TIMEOUT(server.requestCount(), 2, 5000);
        // The reply has been handled once it is released: nothing is left in flight.
        QTRY_VERIFY_WITH_TIMEOUT(api.findChildren<QNetworkReply*>().isEmpty(), 5000);
        QCOMPARE((QList<int>{ticks.count(), errors.count(), history.count()}), (QList<int>{0, 0, 1}));
    }

    void replyFailuresReported_data()
    {
        QTest::addColumn<bool>("history");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("errorStart");
        QTest::newRow("quote not json") << false << 200 << QByteArray("<html>") << "not JSON";
        QTest::newRow("quote outage") << false << 503 << QByteArray("{}") << "HTTP 503";
        QTest::newRow("quote key forbidden") << false << 403 << QByteArray("{}") << "key refused";
        QTest::newRow("quote timed out") << false << 200 << QByteArray("silent") << "timed out";
        QTest::newRow("history empty") << true << 200 << QByteArray(R"({"data":[]})") << "No valid historical data received for SYM";
        // Unreadable is told as the quote poll tells it, with what to check.
        QTest::newRow("history not json") << true << 200 << QByteArray("oops")
                                          << "Custom API: the reply of the quote service is not JSON (";
        QTest::newRow("history html page") << true << 200 << QByteArray("<html><body>Login</body></html>")
                                           << "Custom API: the reply of the quote service is not JSON (";
        QTest::newRow("history readable, not bars") << true << 200 << QByteArray(R"({"message":"ok"})")
                                                    << "No valid historical data received for SYM";
        QTest::newRow("history key forbidden") << true << 403 << QByteArray("{}")
                                               << "Custom API: the quote service refused the API key (HTTP 403).";
        QTest::newRow("history timed out") << true << 200 << QByteArray("silent") << "Custom API: the quote service at %1 sent no reply within 1 s.";
        // Told in plain words, not the network layer's "Error transferring <URL> - server replied".
        QTest::newRow("history outage") << true << 503 << QByteArray("x") << "Custom API: the quote service at %1 answered HTTP 503 (Scripted).\nThe service has a problem";
        QTest::newRow("history unknown symbol") << true << 404 << QByteArray("x") << "SYM: the service does not know this symbol (HTTP 404)\n";
    }

    void replyFailuresReported()
    {
        QFETCH(bool, history);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, errorStart);
        CustomApi c;
        errorStart.replace("%1", c.server.baseUrl());
        BrokerAPI& api = c.api;
        c.server.setReply("GET", "/", body == "silent" ? HttpTestServer::Reply::silent() : HttpTestServer::Reply::json(body, status));
        api.setRequestTimeout(body == "silent" ? 1000 : 15000);
        // A failed quote is the poll's failure, told with its reason; history failures are errors.
        QSignalSpy errors(&api, history ? SIGNAL(errorOccurred(QString)) : SIGNAL(quoteFailed(QString,QString,QString)));
        QSignalSpy historyFailures(&api, &BrokerAPI::historyFailed);
        QSignalSpy ticks(&api, &BrokerAPI::tickReceived);
        if (history) {
            api.requestHistoricalData("SYM", QDate(2024, 1, 1), QDate(2024, 1, 2), "day");
        } else {
            api.subscribeLiveData("SYM");
            api.startLiveData();
            triggerPoll(api);
        }
        QVERIFY(errors.wait(5000));
        const QString text = errors.last().at(history ? 0 : 1).toString();
        QVERIFY2(text.startsWith(errorStart), qPrintable(text));
        if (history) {
            // The window tells it from historyFailed, with the same text, before the error.
            QCOMPARE(historyFailures.count(), 1);
            QCOMPARE(historyFailures.last().at(1).toString(), QString("SYM"));
            QCOMPARE(historyFailures.last().at(3).toString(), text);
            QCOMPARE(api.lastErrorText(), text);
        } else {
            QCOMPARE(errors.last().at(0).toString(), QString("SYM"));
            QCOMPARE(api.pollFailure(), errorStart);
            QVERIFY(api.isPolling() && !api.isConnected());
        }
        QCOMPARE(ticks.count(), 0);
        api.stopLiveData();
    }

    // A reply may name its symbol with the exchange or the series: still the symbol asked for.
    void replySymbolForms_data()
    {
        QTest::addColumn<bool>("history");
        QTest::addColumn<QString>("replied");
        QTest::addColumn<bool>("accepted");
        for (bool history : {false, true}) {
            const char* kind = history ? "history" : "quote";
            QTest::addRow("%s exchange prefix", kind) << history << "NSE:INFY" << true;
            QTest::addRow("%s series suffix", kind) << history << "INFY-EQ" << true;
            QTest::addRow("%s both, lower case", kind) << history << " nse:infy-eq " << true;
            QTest::addRow("%s another symbol", kind) << history << "TCS" << false;
            QTest::addRow("%s longer name", kind) << history << "NSE:INFYX" << false;
            QTest::addRow("%s name with a dash after it", kind) << history << "INFY-X" << false;
            QTest::addRow("%s other series", kind) << history << "INFY-BE" << true;
        }
    }
    void replySymbolForms()
    {
        QFETCH(bool, history);
        QFETCH(QString, replied);
        QFETCH(bool, accepted);
        CustomApi c;
        auto& [server, api] = c;
        const QByteArray name = replied.toUtf8();
        server.setReply("GET", "/", HttpTestServer::Reply::json(
            history ? R"({"data":[{"symbol":")" + name + R"(","open":1,"high":2,"low":0.5,"close":1.5,"date":"2024-03-15"}]})"
                    : R"({"symbol":")" + name + R"(","price":1500.5})"));
        QSignalSpy ticks(&api, &BrokerAPI::tickReceived);
        QSignalSpy bars(&api, &BrokerAPI::historicalDataReceived);
        QSignalSpy quoteFailures(&api, &BrokerAPI::quoteFailed);
        QSignalSpy historyFailures(&api, &BrokerAPI::historyFailed);
        QSignalSpy status(&api, &BrokerAPI::connectionStatusChanged);
        if (!accepted)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("\\[BrokerAPI\\] Dropped"));
        if (history) {
            api.requestHistoricalData("INFY", QDate(2024, 3, 1), QDate(2024, 3, 15), "day");
        } else {
            api.subscribeLiveData("INFY");
            api.startLiveData();
            triggerPoll(api);
        }
        QSignalSpy& done = accepted ? (history ? bars : ticks) : (history ? historyFailures : quoteFailures);
        QVERIFY(done.wait(5000));
        if (accepted) {
            // Kept under the name asked for, which the row, the store and the CSV file use.
            if (history) {
                const QList<OHLCData> got = bars.last().at(1).value<QList<OHLCData>>();
                QCOMPARE(got.size(), 1);
                QCOMPARE(got.first().symbol, QString("INFY"));
            } else {
                QCOMPARE(ticks.last().at(0).value<TickData>().symbol, QString("INFY"));
                QCOMPARE(ticks.last().at(0).value<TickData>().ltp, 1500.5);
            }
            QCOMPARE(quoteFailures.count() + historyFailures.count(), 0);
            return;
        }
        // A real mismatch is the symbol's failure, told with both names; the service itself works.
        QCOMPARE(ticks.count() + bars.count(), 0);
        // A history failure carries its request's tag first.
        const QList<QVariant> failure = history ? done.last().mid(1) : done.last();
        QCOMPARE(failure.at(0).toString(), QString("INFY"));
        QCOMPARE(failure.at(1).toString(), QString("other symbol"));
        QVERIFY2(failure.at(2).toString().startsWith("INFY: the service answered with ") &&
                     failure.at(2).toString().contains(replied.trimmed()),
                 qPrintable(failure.at(2).toString()));
        if (!history) {
            QCOMPARE(api.failingSymbols().value("INFY"), QString("other symbol"));
            QVERIFY(api.isConnected());
            QCOMPARE(status.count(), 1);  // the start only
        }
    }

    // Which reply names answer which request: the instrument asked for in any of its spellings,
    // never another whose name merely starts alike or that trades on another exchange.
    void replyNameAnswersRequest_data()
    {
        QTest::addColumn<QString>("replied");
        QTest::addColumn<QString>("asked");
        QTest::addColumn<bool>("answers");
        QTest::newRow("same") << "INFY" << "INFY" << true;
        QTest::newRow("case and blanks") << " infy\t" << "INFY" << true;
        QTest::newRow("exchange added") << "NSE:INFY" << "INFY" << true;
        QTest::newRow("exchange asked, none replied") << "INFY" << "NSE:INFY" << true;
        QTest::newRow("same exchange") << "nse:infy" << "NSE:INFY" << true;
        QTest::newRow("series added") << "INFY-EQ" << "INFY" << true;
        QTest::newRow("series asked, none replied") << "INFY" << "INFY-EQ" << true;
        QTest::newRow("dashed name with exchange and series") << "NSE:BAJAJ-AUTO-EQ" << "BAJAJ-AUTO" << true;
        QTest::newRow("dashed name, series asked") << "bajaj-auto" << "NSE:BAJAJ-AUTO-EQ" << true;
        QTest::newRow("SME series") << "BSE:ABC-SM" << "ABC" << true;

        QTest::newRow("other company, same first word") << "BAJAJ-FINSV" << "BAJAJ-AUTO" << false;
        QTest::newRow("other company with exchange and series") << "NSE:BAJAJ-FINSV-EQ" << "BAJAJ-AUTO" << false;
        QTest::newRow("next contract") << "NIFTY-II" << "NIFTY-I" << false;
        QTest::newRow("contract for the index") << "NIFTY-I" << "NIFTY" << false;
        QTest::newRow("index for the contract") << "NIFTY" << "NIFTY-I" << false;
        QTest::newRow("other exchange") << "BSE:INFY" << "NSE:INFY" << false;
        QTest::newRow("other series") << "INFY-BE" << "INFY-EQ" << false;
        QTest::newRow("longer name") << "INFYX" << "INFY" << false;
        QTest::newRow("punctuation is part of the name") << "M-M" << "M&M" << false;
        QTest::newRow("a series alone") << "EQ" << "INFY" << false;
        QTest::newRow("nothing named") << "NSE:" << "INFY" << false;
    }
    void replyNameAnswersRequest()
    {
        QFETCH(QString, replied);
        QFETCH(QString, asked);
        QTEST(SymbolKey::answers(replied, asked), "answers");
    }

    // A service that answers with a neighbouring instrument gives the symbol asked for neither its
    // price nor its bars; the same instrument spelt with exchange and series does.
    void neighbouringInstrumentNotTaken()
    {
        CustomApi c;
        auto& [server, api] = c;
        server.setResponder([](const HttpTestServer::Request& r) {
            if (r.query.hasQueryItem("interval"))
                return HttpTestServer::Reply::json(R"({"data":[{"symbol":"BAJAJ-FINSV","open":1,"high":2,)"
                                                   R"("low":0.5,"close":1.5,"date":"2024-03-15"}]})");
            const QByteArray name = r.query.queryItemValue("symbol") == "BAJAJ-AUTO" ? "NSE:BAJAJ-AUTO-EQ" : "NIFTY-II";
            return HttpTestServer::Reply::json(R"({"symbol":")" + name + R"(","price":9000.5})");
        });
        QSignalSpy ticks(&api, &BrokerAPI::tickReceived);
        QSignalSpy quoteFailures(&api, &BrokerAPI::quoteFailed);
        QSignalSpy bars(&api, &BrokerAPI::historicalDataReceived);
        QSignalSpy historyFailures(&api, &BrokerAPI::historyFailed);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Dropped a quote for \"NIFTY-II\" that answered a request for \"NIFTY-I\""));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Dropped 1 history bars of another symbol than the requested \"BAJAJ-AUTO\""));
        api.subscribeLiveData("BAJAJ-AUTO");
        api.subscribeLiveData("NIFTY-I");
        api.startLiveData();
        api.requestHistoricalData("BAJAJ-AUTO", QDate(2024, 3, 1), QDate(2024, 3, 15), "day");
        QTRY_VERIFY_WITH_TIMEOUT(ticks.count() == 1 && quoteFailures.count() == 1 && historyFailures.count() == 1, 5000);
        const TickData tick = ticks.first().at(0).value<TickData>();
        QCOMPARE(tick.symbol, QString("BAJAJ-AUTO"));
        QCOMPARE(tick.ltp, 9000.5);
        QCOMPARE(quoteFailures.first().at(0).toString(), QString("NIFTY-I"));
        QVERIFY(quoteFailures.first().at(2).toString().startsWith("NIFTY-I: the service answered with a quote of NIFTY-II\n"));
        QCOMPARE(api.failingSymbols(), (QMap<QString, QString>{{"NIFTY-I", "other symbol"}}));
        QCOMPARE(bars.count(), 0);
        QVERIFY(historyFailures.first().at(3).toString().startsWith("BAJAJ-AUTO: the service answered with bars of BAJAJ-FINSV\n"));
    }

    // Started against a service that is down, the poll says so with the first request's failure:
    // the first round goes out at the start, not when the period has come round.
    void firstRoundSentAtStart()
    {
        CustomApi c;  // polls by the timer only after an hour
        auto& [server, api] = c;
        server.setReply("GET", "/", HttpTestServer::Reply::json(R"({"price":5})"));
        QSignalSpy ticks(&api, &BrokerAPI::tickReceived);
        api.subscribeLiveData("AAA");
        api.subscribeLiveData("BBB");
        api.startLiveData();
        QTRY_COMPARE_WITH_TIMEOUT(ticks.count(), 2, 5000);
        QCOMPARE(server.requestCount(), 2);

        BrokerAPI down;
        down.setProvider(6);
        down.setCustomUrl("http://127.0.0.1:1/q");
        down.setPollInterval(3600000);
        QSignalSpy failures(&down, &BrokerAPI::quoteFailed);
        QSignalSpy status(&down, &BrokerAPI::connectionStatusChanged);
        down.subscribeLiveData("AAA");
        down.startLiveData();
        QVERIFY(failures.wait(5000));
        QCOMPARE(failures.last().at(1).toString(), QString("not reachable"));
        QVERIFY(!down.isConnected());
        QCOMPARE(status.count(), 2);  // up at the start, down with the refusal
        QCOMPARE(status.last().at(0).toBool(), false);
    }

    // A symbol that fails on its own is listed until it answers again, and Stop forgets every
    // such failure: started again, the poll shows none from before.
    void symbolFailuresEndWithAnswerAndStop()
    {
        CustomApi c;
        auto& [server, api] = c;
        server.setReply("GET", "/", HttpTestServer::Reply::json("{}", 404));
        QSignalSpy changes(&api, &BrokerAPI::symbolFailuresChanged);
        api.subscribeLiveData("SBIN");
        api.startLiveData();
        QVERIFY(changes.wait(5000));
        QCOMPARE(api.failingSymbols().keys(), QStringList{"SBIN"});

        server.setReply("GET", "/", HttpTestServer::Reply::json(R"({"price":5})"));
        triggerPoll(api);
        QVERIFY(changes.wait(5000));
        QVERIFY(api.failingSymbols().isEmpty());

        server.setReply("GET", "/", HttpTestServer::Reply::json("{}", 404));
        triggerPoll(api);
        QVERIFY(changes.wait(5000));
        QCOMPARE(api.failingSymbols().keys(), QStringList{"SBIN"});
        api.stopLiveData();
        QVERIFY(api.failingSymbols().isEmpty());
        QCOMPARE(changes.count(), 4);

        server.setReply("GET", "/", HttpTestServer::Reply::silent());
        api.startLiveData();
        QVERIFY(api.isConnected());
        QVERIFY(api.failingSymbols().isEmpty());
    }

    // An address typed with its scheme in capitals is the same address.
    void schemeInCapitalsAccepted()
    {
        CustomApi c;
        auto& [server, api] = c;
        server.setReply("GET", "/q", HttpTestServer::Reply::json(R"({"price":3})"));
        api.setCustomUrl(server.baseUrl().replace("http://", "HTTP://") + "/q");
        QSignalSpy ticks(&api, &BrokerAPI::tickReceived);
        api.subscribeLiveData("SBIN");
        api.startLiveData();
        QVERIFY(ticks.wait(5000));
        QCOMPARE(server.lastRequest().path, QString("/q"));
    }

    // The poll's status goes down once on the first failure of the service and up once when it
    // answers again; a symbol the service does not know moves it neither way.
    void connectionStatusSentOncePerChange()
    {
        CustomApi c;
        auto& [server, api] = c;
        QString mode = "good";
        server.setResponder([&mode](const HttpTestServer::Request& r) {
            if (mode == "503")
                return HttpTestServer::Reply::json("{}", 503);
            if (r.query.queryItemValue("symbol") == "SBINN")
                return HttpTestServer::Reply::json(R"({"error":"no such symbol"})", 404);
            return HttpTestServer::Reply::json(R"({"price":10})");
        });
        QSignalSpy status(&api, &BrokerAPI::connectionStatusChanged);
        QSignalSpy failures(&api, &BrokerAPI::quoteFailed);
        QSignalSpy ticks(&api, &BrokerAPI::tickReceived);
        QSignalSpy symbolChanges(&api, &BrokerAPI::symbolFailuresChanged);
        api.subscribeLiveData("SBIN");
        api.startLiveData();
        const auto round = [&](QSignalSpy& spy) {
            const int before = spy.count();
            triggerPoll(api);
            QTRY_COMPARE_WITH_TIMEOUT(spy.count(), before + 1, 5000);
        };
        QCOMPARE(status.count(), 1);

        mode = "503";
        for (int i = 0; i < 3; ++i)
            round(failures);
        QCOMPARE(status.count(), 2);
        QCOMPARE(status.at(1).at(0).toBool(), false);

        mode = "good";
        round(ticks);
        round(ticks);
        QCOMPARE(status.count(), 3);
        QCOMPARE(status.at(2).at(0).toBool(), true);

        // One symbol unknown while the other streams: its own failure, not the poll's.
        api.subscribeLiveData("SBINN");
        for (int i = 0; i < 2; ++i) {
            const int before = failures.count();
            triggerPoll(api);
            QTRY_VERIFY_WITH_TIMEOUT(failures.count() == before + 1 && api.findChildren<QNetworkReply*>().isEmpty(), 5000);
        }
        QCOMPARE(status.count(), 3);
        QVERIFY(api.isConnected());
        QCOMPARE(api.pollFailure(), QString());
        QCOMPARE(api.failingSymbols(), (QMap<QString, QString>{{"SBINN", "unknown symbol"}}));
        QCOMPARE(failures.last().at(0).toString(), QString("SBINN"));
        QVERIFY(failures.last().at(2).toString().startsWith("SBINN: the service does not know this symbol (HTTP 404)"));
        QCOMPARE(symbolChanges.count(), 1);  // a repeat of the same failure changes nothing
        api.unsubscribeLiveData("SBINN");
        QVERIFY(api.failingSymbols().isEmpty());
        QCOMPARE(symbolChanges.count(), 2);
    }

    // A key and an address stored with blanks around them are sent without.
    void blanksAroundKeyAndAddressIgnored()
    {
        CustomApi c;
        auto& [server, api] = c;
        server.setReply("GET", "/q", HttpTestServer::Reply::json(R"({"price":3})"));
        api.setCustomUrl(" " + server.baseUrl() + "/q\t");
        api.setApiKey(" nu-key ");
        QSignalSpy ticks(&api, &BrokerAPI::tickReceived);
        api.subscribeLiveData("SBIN");
        api.startLiveData();
        triggerPoll(api);
        QVERIFY(ticks.wait(5000));
        QCOMPARE(server.lastRequest().header("X-API-Key"), QByteArray("nu-key"));
    }

    // An address typed without its scheme cannot work: the box says what to add.
    void addressWithoutSchemeHinted()
    {
        BrokerAPI api;
        api.setProvider(6);
        api.setCustomUrl("127.0.0.1:1/quote");
        api.setPollInterval(3600000);
        QSignalSpy failures(&api, &BrokerAPI::quoteFailed);
        api.subscribeLiveData("SBIN");
        api.startLiveData();
        triggerPoll(api);
        QVERIFY(failures.wait(5000));
        const QString message = failures.last().at(2).toString();
        QVERIFY2(message.contains("has no http:// or https:// at its start"), qPrintable(message));
        QCOMPARE(failures.last().at(1).toString(), QString("not reachable"));
    }

    // Stop, or the symbol leaving the poll, ends a quote on its way: its connection closes at once,
    // not when the request times out, and whatever the service would still answer is neither a
    // tick nor a failure to tell.
    void quoteAnsweredAfterStopIsDropped_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("removed");  // the symbol leaves the poll instead of the poll stopping
        QTest::newRow("price") << 200 << false;
        QTest::newRow("outage") << 503 << false;
        QTest::newRow("unknown symbol") << 404 << false;
        QTest::newRow("symbol removed") << 200 << true;
    }
    void quoteAnsweredAfterStopIsDropped()
    {
        QFETCH(int, status);
        QFETCH(bool, removed);
        CustomApi c;
        auto& [server, api] = c;
        api.setRequestTimeout(120000);  // only Stop can end it within the test's waits
        server.setReply("GET", "/", HttpTestServer::Reply::hold());
        QSignalSpy ticks(&api, &BrokerAPI::tickReceived);
        QSignalSpy failures(&api, &BrokerAPI::quoteFailed);
        QSignalSpy errors(&api, &BrokerAPI::errorOccurred);
        QSignalSpy history(&api, &BrokerAPI::historicalDataReceived);
        api.subscribeLiveData("AAA");
        api.startLiveData();
        QTRY_COMPARE_WITH_TIMEOUT(server.requestCount(), 1, 5000);  // on its way when the poll stops
        if (removed)
            api.unsubscribeLiveData("AAA");
        else
            api.stopLiveData();
        QTRY_COMPARE_WITH_TIMEOUT(server.openConnections(), 0, 5000);
        server.answerHeld(0, HttpTestServer::Reply::json(R"({"price":42})", status));
        QTRY_VERIFY_WITH_TIMEOUT(api.findChildren<QNetworkReply*>().isEmpty(), 5000);
        QCoreApplication::processEvents();
        QCOMPARE((QList<int>{ticks.count(), failures.count(), errors.count(), history.count()}), (QList<int>{0, 0, 0, 0}));
        QVERIFY(api.failingSymbols().isEmpty());
        QCOMPARE(api.pollFailure(), QString());
    }
};

QTEST_GUILESS_MAIN(TestBrokerAPI)
#include "tst_brokerapi.moc"
