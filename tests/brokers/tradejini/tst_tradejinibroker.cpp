// TradeJini broker against loopback peers: stream frames, subscriptions, ticks, history
// requests in chunks, symbol store.
#include "brokers/tradejini/TradeJiniBroker.h"
#include "core/SettingsManager.h"
#include "support/BarText.h"
#include "support/BrokerTestSetup.h"
#include "support/HttpTestServer.h"
#include "support/ListLookups.h"
#include "support/TradeJiniFrames.h"
#include "support/WebSocketTestServer.h"
#include "symbols/SymbolRepository.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QtTest>


namespace {

QMap<QString, QString> creds(const QString& token, const QString& apiKey = QString())
{
    return {{"accessToken", token}, {"clientId", "CL1"}, {"apiKey", apiKey}};
}

QStringList keysOf(const QString& subMessage)
{
    QStringList keys;
    const QJsonArray tokens = QJsonDocument::fromJson(subMessage.toUtf8()).object().value("tokens").toArray();
    for (const QJsonValue& v : tokens)
        keys << v.toObject().value("t").toString();
    return keys;
}

}  // namespace

class TestTradeJiniBroker : public QObject {
    Q_OBJECT

    struct Stream {
        WebSocketTestServer server;
        SymbolRepository repo;
        TradeJiniBroker broker;
        Stream()
        {
            QVERIFY(server.listen());
            broker.setStreamBaseUrl(server.baseUrl());
            repo.addSymbol("RELIANCE", "2885", "NSE", "EQ");
            repo.addSymbol("SENSEX", "1", "BSE", "IDX");
            broker.setSymbolRepository(&repo);
        }
        bool open()
        {
            QSignalSpy up(&broker, &IBroker::connectionStatusChanged);
            broker.initialize(creds("TOK"));
            broker.connectToBroker();
            return up.wait(5000) && broker.isConnected();
        }
    };

    // A broker whose REST host is a loopback server, with one equity in its repository.
    struct Rest {
        HttpTestServer http;
        SymbolRepository repo;
        TradeJiniBroker broker;
        explicit Rest(const QString& token = "TOK", const QString& key = QString())
        {
            QVERIFY(http.listen());
            repo.addSymbol("RELIANCE", "2885", "NSE", "EQ");
            broker.setRestBaseUrl(http.baseUrl());
            broker.setSymbolRepository(&repo);
            broker.initialize(creds(token, key));
        }
    };

private slots:
    void initTestCase() { setUpBrokerTest("tst_tradejinibroker", true); }

    void queuedSubscriptionsFlushOnConnect()
    {
        Stream s;
        s.broker.subscribeLiveData(QStringList{"123_NSE", "RELIANCE", "123_NSE", "UNKNOWN"});
        s.broker.startLiveData();  // before the stream is open: only noted
        QCOMPARE(s.broker.pendingCount(), 3);
        QSignalSpy received(&s.server, &WebSocketTestServer::textMessageReceived);
        QVERIFY(s.open());
        QTRY_VERIFY_WITH_TIMEOUT(received.count() > 0, 5000);
        QCOMPARE(s.server.textMessages().size(), 1);
        QStringList keys = keysOf(s.server.textMessages().first());  // the exact text: checked when open
        keys.sort();
        QCOMPARE(keys, (QStringList{"123_NSE", "2885_NSE"}));
        QCOMPARE(s.broker.pendingCount(), 0);
    }

    void everySubscriptionCarriesTheWholeSet()
    {
        Stream s;
        QVERIFY(s.open());
        QSignalSpy received(&s.server, &WebSocketTestServer::textMessageReceived);
        // The calls of one turn make one message; a name that resolves nothing is left out.
        s.broker.subscribeLiveData("RELIANCE");
        s.broker.subscribeLiveData(QStringList{"500_BSE", "NOPE"});
        s.broker.subscribeLiveData("NOPE");
        QTRY_COMPARE_WITH_TIMEOUT(received.count(), 1, 5000);
        QCOMPARE(s.server.textMessages().at(0),
                 QString("{\"action\":\"sub\",\"tokens\":[{\"t\":\"2885_NSE\"},{\"t\":\"500_BSE\"}],\"type\":\"L1\"}\n"));
        // A key leaving: its unsubscribe, then the subscription of the whole set that is left.
        s.broker.unsubscribeLiveData("RELIANCE");
        QTRY_COMPARE_WITH_TIMEOUT(received.count(), 3, 5000);
        const QStringList m = s.server.textMessages();
        QCOMPARE(m.at(1), QString("{\"a\":\"unsubscribe\",\"v\":[[\"NSE\",\"2885\"]]}"));
        QCOMPARE(keysOf(m.at(2)), QStringList{"500_BSE"});
        QCOMPARE(s.broker.subscribedKeys(), QStringList{"500_BSE"});
    }

    void stopLiveDataUnsubscribesAll()
    {
        Stream s;
        s.broker.stopLiveData();  // not connected: sends nothing, forgets everything
        s.broker.subscribeLiveData("RELIANCE");
        s.broker.stopLiveData();
        QCOMPARE(s.broker.pendingCount(), 0);
        QVERIFY(s.open());
        QSignalSpy received(&s.server, &WebSocketTestServer::textMessageReceived);
        s.broker.subscribeLiveData(QStringList{"RELIANCE", "7_MCX"});
        QVERIFY(received.wait(5000));
        s.broker.stopLiveData();
        QTRY_COMPARE_WITH_TIMEOUT(received.count(), 2, 5000);
        QCOMPARE(s.server.textMessages().at(1), QString("{\"a\":\"unsubscribe\",\"v\":[[\"NSE\",\"2885\"],[\"MCX\",\"7\"]]}"));
        QVERIFY(s.broker.subscribedKeys().isEmpty());
        QVERIFY(s.broker.isConnected());  // the socket stays open
        // Nothing follows the pairs: the next message is the next subscription.
        s.broker.subscribeLiveData("7_MCX");
        QTRY_COMPARE_WITH_TIMEOUT(received.count(), 3, 5000);
        QCOMPARE(keysOf(s.server.textMessages().at(2)), QStringList{"7_MCX"});
    }

    void removingTheLastKeySendsOnlyItsPair_data()
    {
        QTest::addColumn<QString>("removed");  // by trading symbol, by key, or everything at once
        QTest::newRow("trading symbol") << "RELIANCE";
        QTest::newRow("subscription key") << "2885_NSE";
        QTest::newRow("stop") << "";
    }

    void removingTheLastKeySendsOnlyItsPair()
    {
        QFETCH(QString, removed);
        Stream s;
        QVERIFY(s.open());
        QSignalSpy received(&s.server, &WebSocketTestServer::textMessageReceived);
        s.broker.subscribeLiveData("RELIANCE");
        QTRY_COMPARE_WITH_TIMEOUT(received.count(), 1, 5000);
        if (removed.isEmpty())
            s.broker.stopLiveData();
        else
            s.broker.unsubscribeLiveData(removed);
        QTRY_COMPARE_WITH_TIMEOUT(received.count(), 2, 5000);
        s.broker.subscribeLiveData("1_BSE");
        QTRY_COMPARE_WITH_TIMEOUT(received.count(), 3, 5000);
        QCOMPARE(s.server.textMessages(),
                 (QStringList{"{\"action\":\"sub\",\"tokens\":[{\"t\":\"2885_NSE\"}],\"type\":\"L1\"}\n",
                              "{\"a\":\"unsubscribe\",\"v\":[[\"NSE\",\"2885\"]]}",
                              "{\"action\":\"sub\",\"tokens\":[{\"t\":\"1_BSE\"}],\"type\":\"L1\"}\n"}));
    }

    void pingAndStatusSignals()
    {
        Stream s;
        QSignalSpy status(&s.broker, &IBroker::connectionStatusChanged);
        QSignalSpy errors(&s.broker, &IBroker::errorOccurred);
        QVERIFY(s.open());
        QCOMPARE(status.count(), 1);
        QVERIFY(status.at(0).at(0).toBool());
        QSignalSpy received(&s.server, &WebSocketTestServer::textMessageReceived);
        QVERIFY(QMetaObject::invokeMethod(&s.broker, "onPingTimer"));
        QVERIFY(received.wait(5000));
        QCOMPARE(s.server.textMessages().last(), QString("{\"type\":\"PING\"}\n"));

        // A user disconnect reports at once, inside the call.
        s.broker.disconnectFromBroker();
        QCOMPARE(status.count(), 2);
        QVERIFY(QMetaObject::invokeMethod(&s.broker, "onPingTimer"));  // no socket: nothing, no crash
    }

    void jsonTicksAndMarketHours_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QTime>("clock");
        QTest::addColumn<bool>("withSettings");
        QTest::addColumn<QString>("symbol");  // empty: no tick
        const QString l1 = R"({"msgType":"L1","symbol":"%1","exchSeg":"nse_cm","ltp":2501.5,"open":2490,"high":2510,"low":2480,"vol":1200,"OI":0})";
        QTest::newRow("known token in hours") << l1.arg("2885_NSE") << QTime(10, 0) << true << "RELIANCE";
        QTest::newRow("unknown token") << l1.arg("999_NSE") << QTime(10, 0) << true << "NSE:999";
        QTest::newRow("outside hours dropped") << l1.arg("2885_NSE") << QTime(20, 0) << true << "";
        QTest::newRow("no settings, no filter") << l1.arg("2885_NSE") << QTime(20, 0) << false << "RELIANCE";
        QTest::newRow("MCX evening in hours") << l1.arg("7_MCX") << QTime(20, 0) << true << "MCX:7";
        QTest::newRow("pong") << R"({"msgType":"PING"})" << QTime(10, 0) << true << "";
        QTest::newRow("not json") << "hello" << QTime(10, 0) << true << "";
    }

    void jsonTicksAndMarketHours()
    {
        QFETCH(QString, message);
        QFETCH(QTime, clock);
        QFETCH(bool, withSettings);
        QFETCH(QString, symbol);
        Stream s;
        SettingsManager settings;
        const QDateTime now(QDate(2025, 3, 14), clock);
        s.broker.setClock([now] { return now; });
        if (withSettings)
            s.broker.setSettingsManager(&settings);
        QVERIFY(s.open());
        QSignalSpy ticks(&s.broker, &IBroker::tickReceived);
        s.server.sendText(message);
        // A sentinel every row lets through (the commodity session spans both clocks): once its tick
        // is in, the row's own message has been handled.
        s.server.sendText(R"({"msgType":"L1","symbol":"7_MCX","exchSeg":"mcx_fo","ltp":1,"vol":1})");
        if (symbol.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(ticks.count(), 1, 5000);  // only the sentinel
            QCOMPARE(ticks.first().at(0).value<TickData>().symbol, QString("MCX:7"));
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(ticks.count() >= 1, 5000);
        // The fields are the decoder's; here the name and the broker's clock.
        const TickData t = ticks.first().at(0).value<TickData>();
        QCOMPARE(t.symbol, symbol);
        QCOMPARE(t.timestamp, now);
    }

    void binaryTicksAndHostileFrames()
    {
        using namespace TradeJiniFrames;
        Stream s;
        QVERIFY(s.open());
        QSignalSpy ticks(&s.broker, &IBroker::tickReceived);
        QSignalSpy errors(&s.broker, &IBroker::errorOccurred);
        // A broken frame costs that frame only; the decoder's own tests hold the many ways to break one.
        s.server.sendBinary(QByteArray(3, '\0'));
        s.server.sendBinary(frame(l1(2, 1, 7300000) + l1(1, 2885, 250200), true));
        QTRY_COMPARE_WITH_TIMEOUT(ticks.count(), 2, 5000);
        QCOMPARE(ticks.at(0).at(0).value<TickData>().symbol, QString("1_BSE"));
        QCOMPARE(ticks.at(1).at(0).value<TickData>().symbol, QString("2885_NSE"));
        QCOMPARE(ticks.at(1).at(0).value<TickData>().ltp, 2502.0);
        QCOMPARE(errors.count(), 0);
        QVERIFY(s.broker.isConnected());
    }

    void historyChunksAndQuery()
    {
        Rest r("TOK", "KEY");
        HttpTestServer& http = r.http;
        TradeJiniBroker& broker = r.broker;
        http.setReply("GET", "/v2/api/mkt-data/chart/interval-data", HttpTestServer::Reply::json(R"({"s":"ok","d":{"bars":[]}})"));
        QSignalSpy history(&broker, &IBroker::historicalDataReceived);

        broker.requestHistoricalData("RELIANCE", QDate(2025, 1, 1), QDate(2025, 2, 1), "5minute");
        QTRY_COMPARE_WITH_TIMEOUT(http.requestCount(), 2, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(history.count(), 1, 5000);
        QSet<QString> ranges;
        for (const auto& r : http.requests()) {
            QCOMPARE(r.query.queryItemValue("id"), QString("EQT_RELIANCE_NSE"));
            QCOMPARE(r.query.queryItemValue("interval"), QString("1"));
            QCOMPARE(r.header("Authorization"), QByteArray("Bearer KEY:TOK"));
            QCOMPARE(r.header("Content-Type"), QByteArray("application/json"));
            ranges << r.query.queryItemValue("from") + "-" + r.query.queryItemValue("to");
        }
        // IST midnights: 1 Jan .. 1 Feb (exclusive) and 1 Feb .. 2 Feb (exclusive).
        QCOMPARE(ranges, (QSet<QString>{"1735669800-1738348200", "1738348200-1738434600"}));
        for (const auto& args : history)
            QCOMPARE(args.at(0).toString(), QString("RELIANCE"));

        http.clearRequests();
        broker.requestHistoricalData("2885", QDate(2025, 1, 1), QDate(2025, 1, 31), "day");  // 30 days: one request
        QTRY_COMPARE_WITH_TIMEOUT(history.count(), 2, 5000);
        QCOMPARE(http.requestCount(), 1);
        QCOMPARE(http.lastRequest().query.queryItemValue("to"), QString("1738348200"));
        QCOMPARE(history.last().at(0).toString(), QString("RELIANCE"));  // a known numeric token reports its symbol
    }

    void longRangeArrivesWhole_data()
    {
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<QList<int>>("statuses");  // of the three replies, in the order the server answers
        QTest::addColumn<int>("requests");
        QTest::addColumn<QList<int>>("minutes");   // expected bar times, minutes after the first bar
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QString>("error");         // prefix
        const QString failed = "Historical data request failed for RELIANCE: ";
        QTest::newRow("every chunk answers") << "RELIANCE" << QList<int>{200, 200, 200} << 3
                                             << QList<int>{0, 1, 20, 40, 41} << QStringList{"data"} << QString();
        QTest::newRow("one chunk fails") << "RELIANCE" << QList<int>{200, 500, 200} << 3 << QList<int>{1, 20, 40, 41}
                                         << QStringList{"data", "error"} << failed;
        QTest::newRow("every chunk fails") << "RELIANCE" << QList<int>{500, 500, 500} << 3 << QList<int>{}
                                           << QStringList{"error"} << failed;
        QTest::newRow("unknown symbol") << "NOPE" << QList<int>{200, 200, 200} << 0 << QList<int>{}
                                        << QStringList{"error"} << "No token found for symbol: NOPE";
        // A numeric token is reported under its trading symbol, as a one-request range is.
        QTest::newRow("numeric token") << "2885" << QList<int>{200, 200, 200} << 3
                                       << QList<int>{0, 1, 20, 40, 41} << QStringList{"data"} << QString();
    }

    void longRangeArrivesWhole()
    {
        QFETCH(QString, symbol);
        QFETCH(QList<int>, statuses);
        QFETCH(QList<int>, minutes);
        QFETCH(QStringList, events);
        QFETCH(QString, error);
        // Chunks go out together and may be answered in any order, so the replies hold disjoint
        // minutes (unsorted, one minute twice) and the expected result does not depend on which
        // chunk got which reply.
        const qint64 base = 1736140500000;
        auto bars = [base](const QList<int>& at) {
            QByteArray rows;
            for (int m : at)
                rows += (rows.isEmpty() ? "" : ",") + QByteArray("[") + QByteArray::number(base + m * 60000LL)
                    + ",100,101,99,100.5,5000]";
            return QByteArray(R"({"s":"ok","d":{"bars":[)") + rows + "]}}";
        };
        const QList<QByteArray> bodies{bars({41, 40}), bars({1, 0}), bars({20, 1})};
        Rest r;
        for (int i = 0; i < 3; ++i)
            r.http.queueReply("GET", "/v2/api/mkt-data/chart/interval-data",
                              HttpTestServer::Reply::json(statuses.at(i) == 200 ? bodies.at(i) : "{}", statuses.at(i)));
        QStringList seen;
        QList<OHLCData> got;
        QStringList names;
        QString text;
        connect(&r.broker, &IBroker::historicalDataReceived, this, [&](const QString& s, const QList<OHLCData>& b) {
            seen << "data";
            got = b;
            names << s;
        });
        connect(&r.broker, &IBroker::errorOccurred, this, [&](const QString& e) {
            seen << "error";
            text = e;
        });

        r.broker.requestHistoricalData(symbol, QDate(2025, 1, 1), QDate(2025, 3, 12), "1minute");  // 70 days
        QTRY_COMPARE_WITH_TIMEOUT(seen, events, 5000);
        QTEST(r.http.requestCount(), "requests");
        QVERIFY2(text.startsWith(error) && text.isEmpty() == error.isEmpty(), qPrintable(text));
        QCOMPARE(got.size(), minutes.size());
        for (int i = 0; i < minutes.size(); ++i) {
            QCOMPARE(got.at(i).timestamp, QDateTime::fromMSecsSinceEpoch(base + minutes.at(i) * 60000LL));
            QCOMPARE(got.at(i).symbol, QString("RELIANCE"));
        }
        for (const QString& name : names)
            QCOMPARE(name, QString("RELIANCE"));
    }

    void historyInstrumentIds_data()
    {
        QTest::addColumn<IndianSymbolData>("rec");
        QTest::addColumn<QDate>("today");
        QTest::addColumn<QString>("id");
        QTest::newRow("future this year") << instrument("NIFTY 26DEC", "NFO", "1", "FUTIDX") << QDate(2025, 11, 10)
                                          << "FUTCOM_NIFTY_NFO_2025-12-26";
        QTest::newRow("month passed: next year") << instrument("NIFTY 30JAN", "NFO", "1", "FUTIDX") << QDate(2025, 12, 1)
                                                 << "FUTCOM_NIFTY_NFO_2026-01-30";
        QTest::newRow("invalid day: record expiry") << instrument("NIFTY 31FEB", "NFO", "1", "OPTIDX", "2025-02-27")
                                                    << QDate(2025, 1, 5) << "OPTCOM_NIFTY_NFO_2025-02-27";
        QTest::newRow("record expiry dd-MMM-yyyy") << instrument("GOLD", "MCX", "1", "FUTCOM", "05-Feb-2025")
                                                   << QDate(2025, 1, 5) << "FUTCOM_GOLD_MCX_2025-02-05";
        QTest::newRow("equity") << instrument("RELIANCE", "NSE", "1", "EQ") << QDate(2025, 1, 5) << "EQT_RELIANCE_NSE";
        QTest::newRow("call option") << instrument("BANKNIFTY 27MAR 48000 CE", "NFO", "1", "CE") << QDate(2025, 3, 1)
                                     << "OPTCOM_BANKNIFTY_NFO_2025-03-27";
        QTest::newRow("index") << instrument("NIFTY 50", "NSE", "1", "IDX") << QDate(2025, 1, 5) << "INDEX_NIFTY_NSE";
    }

    void historyInstrumentIds()
    {
        QFETCH(IndianSymbolData, rec);
        QFETCH(QDate, today);
        Rest r;
        r.repo.clear();
        r.repo.addSymbols({rec});
        r.broker.setClock([today] { return QDateTime(today, QTime(12, 0)); });
        r.broker.requestHistoricalData(rec.token, today, today, "1minute");
        QTRY_COMPARE_WITH_TIMEOUT(r.http.requestCount(), 1, 5000);
        QTEST(r.http.lastRequest().query.queryItemValue("id"), "id");
        QCOMPARE(r.http.lastRequest().header("Authorization"), QByteArray("Bearer TOK"));
    }

    void historyFailures_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");  // prefix
        QTest::newRow("no token") << "" << "RELIANCE" << 200 << QByteArray()
                                  << "TradeJini access token not configured. Please authenticate first.";
        QTest::newRow("unknown symbol") << "T" << "NOPE" << 200 << QByteArray() << "No token found for symbol: NOPE";
        QTest::newRow("unknown numeric token") << "T" << "999" << 200 << QByteArray() << "Cannot find exchange for token: 999";
        QTest::newRow("broker error without text") << "T" << "RELIANCE" << 200 << QByteArray(R"({"s":"error"})")
                                                   << "TradeJini error: Unknown error";
        QTest::newRow("broker error text") << "T" << "RELIANCE" << 200 << QByteArray(R"({"s":"no_data","errmsg":"No data"})")
                                           << "TradeJini error: No data";
        QTest::newRow("not json") << "T" << "RELIANCE" << 200 << QByteArray("<html>") << "Failed to parse historical data: ";
        QTest::newRow("http error") << "T" << "RELIANCE" << 500 << QByteArray("{}")
                                    << "Historical data request failed for RELIANCE: ";
    }

    void historyFailures()
    {
        QFETCH(QString, token);
        QFETCH(QString, symbol);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        Rest r(token);
        r.http.setReply("GET", "/v2/api/mkt-data/chart/interval-data", HttpTestServer::Reply::json(body, status));
        QSignalSpy errors(&r.broker, &IBroker::errorOccurred);
        QSignalSpy history(&r.broker, &IBroker::historicalDataReceived);
        r.broker.requestHistoricalData(symbol, QDate(2025, 1, 1), QDate(2025, 1, 2), "1");
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, 5000);
        const QString text = errors.at(0).at(0).toString();
        QVERIFY2(text.startsWith(error), qPrintable(text));
        QCOMPARE(history.count(), 0);
    }

    void historyBars()
    {
        Rest r;
        r.http.setReply("GET", "/v2/api/mkt-data/chart/interval-data",
                        HttpTestServer::Reply::json(R"({"s":"ok","d":{"bars":[
                      [1736140500000,100,101,99,100.5,5000,12],
                      [1736140560000,100.5,102,100,101],
                      [1736140620000,1,2,3],
                      "x"]}})"));
        QSignalSpy history(&r.broker, &IBroker::historicalDataReceived);
        r.broker.requestIntradayData("RELIANCE", "1minute");
        QVERIFY(history.wait(5000));
        QCOMPARE(BarText::of(history.at(0).at(1).value<QList<OHLCData>>()),
                 (QStringList{"RELIANCE 1736140500 100 101 99 100.5 100.5 5000 12", "RELIANCE 1736140560 100.5 102 100 101 101 0 0"}));
    }

    void symbolStore()
    {
        Rest r("TOK", "KEY");
        HttpTestServer& http = r.http;
        TradeJiniBroker& broker = r.broker;
        QSignalSpy groups(&broker, &TradeJiniBroker::symbolGroupsLoaded);
        QSignalSpy rows(&broker, &TradeJiniBroker::symbolDataLoaded);
        QSignalSpy errors(&broker, &TradeJiniBroker::symbolLoadError);
        const QString storePath = "/v2/api/mkt-data/scrips/symbol-store";

        http.queueReply("GET", storePath, HttpTestServer::Reply::json(R"({"s":"ok","d":{"symbolStore":[{"name":"Index"}],"version":7,"updated":true}})"));
        http.queueReply("GET", storePath, HttpTestServer::Reply::json(R"({"s":"OK","d":{}})"));
        http.queueReply("GET", storePath, HttpTestServer::Reply::json("[]"));
        broker.loadSymbolGroups();
        QVERIFY(groups.wait(5000));
        QCOMPARE(groups.at(0).at(1).toInt(), 7);
        QCOMPARE(groups.at(0).at(0).value<QJsonArray>().size(), 1);
        QCOMPARE(http.lastRequest().query.queryItemValue("version"), QString("0"));
        QCOMPARE(http.lastRequest().header("Authorization"), QByteArray("Bearer TOK"));
        broker.loadSymbolGroups();
        QVERIFY(errors.wait(5000));
        QCOMPARE(errors.last().at(0).toString(), QString("Symbol groups request failed"));
        broker.loadSymbolGroups();
        QVERIFY(errors.wait(5000));
        QCOMPARE(errors.last().at(0).toString(), QString("Invalid JSON response for symbol groups"));

        HttpTestServer::Reply csv = HttpTestServer::Reply::bytes("id,name,token\r\nEQT_A_NSE, A ,1\r\n\r\nshort,line\n",
                                                                 "text/plain; charset=utf-8");
        http.setReply("GET", storePath + "/Securities", csv);
        broker.loadSymbolData("Securities");
        QVERIFY(rows.wait(5000));
        QCOMPARE(rows.last().at(0).toString(), QString("Securities"));
        QCOMPARE(rows.last().at(1).toStringList(), QStringList{"EQT_A_NSE|A|1"});
        QCOMPARE(http.lastRequest().header("Accept"), QByteArray("text/plain"));

        http.setReply("GET", storePath + "/Index", HttpTestServer::Reply::json(R"({"d":[{"id":"I","dispName":"N","excToken":26000},3]})"));
        broker.loadSymbolData("Index");
        QVERIFY(rows.wait(5000));
        QCOMPARE(rows.last().at(1).toStringList(), (QStringList{"I|N|", "||"}));

        // A hostile group name stays one path segment.
        broker.loadSymbolData("a/b?c#d");
        QVERIFY(errors.wait(5000));
        QCOMPARE(http.lastRequest().rawTarget, QByteArray("/v2/api/mkt-data/scrips/symbol-store/a%2Fb%3Fc%23d"));
        QVERIFY(errors.last().at(0).toString().startsWith("Failed to load symbol data for a/b?c#d: "));

        http.setReply("GET", storePath + "/Bad", HttpTestServer::Reply::bytes("not json", "application/octet-stream"));
        broker.loadSymbolData("Bad");
        QVERIFY(errors.wait(5000));
        QCOMPARE(errors.last().at(0).toString(), QString("Invalid response format for group Bad"));
    }
};

QTEST_GUILESS_MAIN(TestTradeJiniBroker)
#include "tst_tradejinibroker.moc"
