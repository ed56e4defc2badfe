// Fyers broker against loopback peers: opening request, subscription and resume frames, queued
// symbols, the keep-alive, decoded ticks named after the watchlist, and candle history.
#include "brokers/fyers/FyersBroker.h"
#include "brokers/fyers/FyersAuth.h"
#include "core/SettingsManager.h"
#include "support/BarText.h"
#include "support/BrokerTestSetup.h"
#include "support/FyersFrames.h"
#include "support/HttpTestServer.h"
#include "support/LogCapture.h"
#include "support/WebSocketTestServer.h"
#include "symbols/SymbolRepository.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QWebSocket>
#include <QtTest>

Q_DECLARE_METATYPE(HttpTestServer::Reply)

namespace {

const QString kResume = "{\"type\":2,\"data\":{\"resumeChannels\":[\"1\"],\"pauseChannels\":[]}}";

QString subscription(const QString& mode, const QString& symbols, int subs = 1)
{
    return "{\"type\":1,\"data\":{\"subs\":" + QString::number(subs) + ",\"mode\":\"" + mode
        + "\",\"channel\":\"1\",\"symbols\":[" + symbols + "]}}";
}

}  // namespace

class TestFyersBroker : public QObject {
    Q_OBJECT

    struct Stream {
        WebSocketTestServer server;
        FyersBroker broker;
        Stream(const QString& appId = "APP-100", const QString& mode = QString())
        {
            QVERIFY(server.listen());
            broker.initialize({{"access_token", "TOK"}, {"client_id", "XY123"}, {"app_id", appId},
                               {"ws_url", server.baseUrl() + "/versova"}, {"subscribe_mode", mode}});
        }
        bool open()
        {
            QSignalSpy up(&broker, &IBroker::connectionStatusChanged);
            broker.connectToBroker();
            return up.wait(5000) && broker.isConnected();
        }
    };

private slots:
    void initTestCase() { setUpBrokerTest("tst_fyersbroker"); }
    void openingRequest_data();
    void openingRequest();
    void headerAfterLoginWithoutSecretKey();
    void queuedSymbolsGoOutOnConnect();
    void subscribeWhileConnected();
    void keepAliveFollowsLiveData();
    void disconnectIsSilent();
    void ticksNamedAfterTheWatchlist();
    void streamErrorsAndKeepAliveAnswers();
    void history_data();
    void history();
};

void TestFyersBroker::openingRequest_data()
{
    QTest::addColumn<QString>("appId");
    QTest::addColumn<QByteArray>("authorization");
    // The token is the client id's: the app id setting never takes its place.
    QTest::newRow("app id set") << "APP-100" << QByteArray("XY123:TOK");
    QTest::newRow("no app id") << "" << QByteArray("XY123:TOK");
}

void TestFyersBroker::openingRequest()
{
    QFETCH(QString, appId);
    QFETCH(QByteArray, authorization);
    Stream s(appId);
    QVERIFY(s.open());
    QCOMPARE(s.server.connectionUrls().value(0).path(), QString("/versova"));
    QCOMPARE(s.server.clients().value(0)->request().rawHeader("Authorization"), authorization);
}

void TestFyersBroker::headerAfterLoginWithoutSecretKey()
{
    // Without a separate secret key the app id field holds the app secret, which the login hashes
    // with the client id; the stream and history must name the client id and never the secret.
    const QString clientId = "XC4XXXXM-100";
    const QString secret = "APP-SECRET-9";
    LogCapture log;
    HttpTestServer http;
    QVERIFY(http.listen());
    http.setReply("POST", "/api/v3/validate-authcode",
                  HttpTestServer::Reply::json(R"({"s":"ok","code":200,"message":"","access_token":"eyJ.JWT"})"));
    http.setReply("GET", "/data/history", HttpTestServer::Reply::json(R"({"s":"no_data","candles":[]})"));
    FyersAuth login;
    login.setBaseUrl(http.baseUrl() + "/api/v3");
    QSignalSpy loggedIn(&login, &FyersAuth::authenticationSuccessful);
    login.exchangeAuthCode("https://127.0.0.1/?s=ok&code=200&auth_code=AC1&state=sample_state", clientId, secret);
    QVERIFY(loggedIn.wait(5000));
    const QJsonObject sent = QJsonDocument::fromJson(http.requestsTo("/api/v3/validate-authcode").value(0).body).object();
    QCOMPARE(sent.value("appIdHash").toString(), FyersAuth::appIdHash(clientId, secret));

    // The settings after that login, as the connector is handed them.
    WebSocketTestServer stream;
    QVERIFY(stream.listen());
    FyersBroker broker;
    broker.initialize({{"access_token", loggedIn.at(0).at(0).toString()}, {"client_id", clientId}, {"app_id", secret},
                       {"ws_url", stream.baseUrl() + "/versova"}});
    broker.setDataUrl(http.baseUrl() + "/data");
    QSignalSpy up(&broker, &IBroker::connectionStatusChanged);
    broker.connectToBroker();
    QVERIFY(up.wait(5000));
    QSignalSpy received(&broker, &IBroker::historicalDataReceived);
    QSignalSpy failed(&broker, &IBroker::errorOccurred);
    broker.requestHistoricalData("NSE:SBIN-EQ", QDate(2024, 3, 1), QDate(2024, 3, 1), "day");
    QTRY_COMPARE_WITH_TIMEOUT(received.count() + failed.count(), 1, 5000);

    const QByteArray expected = "XC4XXXXM-100:eyJ.JWT";
    QCOMPARE(stream.clients().value(0)->request().rawHeader("Authorization"), expected);
    QCOMPARE(http.requestsTo("/data/history").value(0).header("Authorization"), expected);
    QVERIFY(!log.contains(secret));
}

void TestFyersBroker::queuedSymbolsGoOutOnConnect()
{
    Stream s;
    s.broker.subscribeLiveData(QStringList{"NSE:SBIN-EQ", "RELIANCE", "NSE:SBIN-EQ"});
    QSignalSpy received(&s.server, &WebSocketTestServer::textMessageReceived);
    QVERIFY(s.open());
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 2, 5000);
    // Keys go out unchanged, each once, followed by the channel resume.
    QCOMPARE(s.server.textMessages(), (QStringList{subscription("depth", "\"NSE:SBIN-EQ\",\"RELIANCE\""), kResume}));
}

void TestFyersBroker::subscribeWhileConnected()
{
    Stream s("APP-100", "lite");
    QVERIFY(s.open());
    QSignalSpy received(&s.server, &WebSocketTestServer::textMessageReceived);
    s.broker.subscribeLiveData(QStringList{"MCX:GOLD-COM"});
    s.broker.subscribeLiveData(QStringList{"BSE:\"Q\"-EQ", "MCX:GOLD-COM"});  // quoted names stay valid JSON
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 2, 5000);
    QCOMPARE(s.server.textMessages(),
             (QStringList{subscription("lite", "\"MCX:GOLD-COM\",\"BSE:\\\"Q\\\"-EQ\""), kResume}));
    // A removed symbol stops on the open stream: the subscription message with "subs":-1.
    s.broker.unsubscribeLiveData("MCX:GOLD-COM");
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 3, 5000);
    QCOMPARE(s.server.textMessages().last(), subscription("lite", "\"MCX:GOLD-COM\"", -1));
    QCOMPARE(s.broker.subscribedKeys(), QStringList{"BSE:\"Q\"-EQ"});
}

void TestFyersBroker::keepAliveFollowsLiveData()
{
    Stream s;
    s.broker.setPingInterval(20);
    QSignalSpy received(&s.server, &WebSocketTestServer::textMessageReceived);
    QSignalSpy up(&s.broker, &IBroker::connectionStatusChanged);
    s.broker.startLiveData();  // no socket yet: opens one; the keep-alive starts once it is up
    s.broker.startLiveData();  // a socket exists: no second connection
    QVERIFY(up.wait(5000));
    QVERIFY(s.broker.isPingActive());
    QVERIFY(received.wait(5000));
    QCOMPARE(s.server.textMessages().value(0), QString("ping"));
    QCOMPARE(s.server.connectionUrls().size(), 1);

    // Stop halts the keep-alive only; the stream stays open.
    s.broker.stopLiveData();
    QVERIFY(!s.broker.isPingActive());
    QVERIFY(s.broker.isConnected());
    QCOMPARE(s.server.clientCount(), 1);
    s.broker.startLiveData();
    QVERIFY(s.broker.isPingActive());
}

void TestFyersBroker::disconnectIsSilent()
{
    Stream s;
    QVERIFY(s.open());
    s.broker.startLiveData();
    QSignalSpy status(&s.broker, &IBroker::connectionStatusChanged);
    QSignalSpy gone(&s.server, &WebSocketTestServer::clientDisconnected);
    s.broker.disconnectFromBroker();
    QVERIFY(gone.wait(5000));
    QCOMPARE(status.count(), 0);
    QVERIFY(!s.broker.isConnected());
    QVERIFY(!s.broker.isPingActive());

    // A close from the server side is reported.
    QVERIFY(s.open());
    status.clear();
    s.server.closeClients();
    QVERIFY(status.wait(5000));
    QVERIFY(!status.at(0).at(0).toBool());
}

void TestFyersBroker::ticksNamedAfterTheWatchlist()
{
    using namespace FyersFrames;
    SettingsManager settings;
    settings.setWatchlistForBroker("Fyers", {"3045", "NSE:NIFTY25MARFUT", "TCS"});
    SymbolRepository repository;
    repository.addSymbol("SBIN", "3045", "NSE", "EQ");
    Stream s;
    s.broker.setSettingsManager(&settings);
    s.broker.setSymbolRepository(&repository);
    QVERIFY(s.open());
    QSignalSpy ticks(&s.broker, &IBroker::tickReceived);

    Feed sbin;
    sbin.ticker = "NSE:SBIN-EQ";
    sbin.depth = book(75000, 5);
    sbin.feedTime = 1741152602;
    Feed nifty = sbin;
    nifty.ticker = "NSE:NIFTY25MARFUT";
    Feed tcs = sbin;
    tcs.ticker = "NSE:TCS-EQ";
    Feed stranger = sbin;
    stranger.ticker = "BSE:XYZ-EQ";
    s.server.sendBinary(message({sbin, nifty, tcs, stranger}, true));
    QVERIFY(ticks.wait(5000));
    QTRY_COMPARE_WITH_TIMEOUT(ticks.count(), 4, 5000);
    // Token, symbol and exchange of the watchlist entry each ticker was subscribed for.
    QStringList got;
    for (const QList<QVariant>& args : qAsConst(ticks)) {
        const TickData t = args.at(0).value<TickData>();
        got << QStringLiteral("%1 %2 %3 %4").arg(t.token, t.symbol, t.exchange).arg(t.ltp, 0, 'f', 2);
    }
    QCOMPARE(got, (QStringList{"3045 SBIN NSE 750.00", "NSE:NIFTY25MARFUT NIFTY25MARFUT NSE 750.00",
                               "TCS TCS NSE 750.00", "BSE:XYZ-EQ XYZ BSE 750.00"}));
}

void TestFyersBroker::streamErrorsAndKeepAliveAnswers()
{
    Stream s;
    QVERIFY(s.open());
    QSignalSpy errors(&s.broker, &IBroker::errorOccurred);
    QSignalSpy ticks(&s.broker, &IBroker::tickReceived);
    s.server.sendText("pong");
    s.server.sendBinary(QByteArray::fromHex("0800"));
    s.server.sendBinary(FyersFrames::errorMessage("invalid token"));
    QVERIFY(errors.wait(5000));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QString("Fyers stream error: invalid token"));
    s.server.sendText(R"({"s":"error","code":-16,"message":"Could not authenticate the user"})");
    QVERIFY(errors.wait(5000));
    QCOMPARE(errors.at(1).at(0).toString(), QString("Fyers stream error: Could not authenticate the user"));
    QCOMPARE(ticks.count(), 0);
}

namespace {

QByteArray candles(const QList<qint64>& times)
{
    QStringList rows;
    for (qint64 t : times)
        rows << QStringLiteral("[%1,752.1,754.85,751.3,754.2,412300]").arg(t);
    return "{\"s\":\"ok\",\"code\":200,\"message\":\"\",\"candles\":[" + rows.join(',').toUtf8() + "]}";
}

}  // namespace

void TestFyersBroker::history_data()
{
    QTest::addColumn<QString>("interval");
    QTest::addColumn<QDate>("from");
    QTest::addColumn<QDate>("to");
    QTest::addColumn<QList<HttpTestServer::Reply>>("replies");
    QTest::addColumn<QStringList>("ranges");  // "resolution from to" of each request, in order
    QTest::addColumn<QList<qint64>>("bars");  // times handed on; empty with `error`
    QTest::addColumn<QString>("error");

    using Reply = HttpTestServer::Reply;
    QTest::newRow("one request") << "5minute" << QDate(2024, 3, 1) << QDate(2024, 3, 1)
                                 << QList<Reply>{Reply::json(candles({1709265000, 1709264700}))}
                                 << QStringList{"5 2024-03-01 2024-03-01"}
                                 << QList<qint64>{1709264700, 1709265000} << QString();
    // 150 days of minutes: two requests of at most 100 days; a bar repeated at the join once.
    QTest::newRow("intraday range in chunks of 100 days")
        << "minute" << QDate(2024, 1, 1) << QDate(2024, 5, 29)
        << QList<Reply>{Reply::json(candles({1704080700, 1712720700})), Reply::json(candles({1712720700, 1716954300}))}
        << QStringList{"1 2024-01-01 2024-04-09", "1 2024-04-10 2024-05-29"}
        << QList<qint64>{1704080700, 1712720700, 1716954300} << QString();
    QTest::newRow("daily range in chunks of 366 days")
        << "day" << QDate(2023, 1, 1) << QDate(2024, 3, 1)
        << QList<Reply>{Reply::json(candles({1672511400})), Reply::json("{\"s\":\"no_data\",\"candles\":[]}")}
        << QStringList{"D 2023-01-01 2024-01-01", "D 2024-01-02 2024-03-01"} << QList<qint64>{1672511400}
        << QString();
    QTest::newRow("rows without a usable time are skipped")
        << "5minute" << QDate(2024, 3, 1) << QDate(2024, 3, 1)
        << QList<Reply>{Reply::json(R"({"s":"ok","candles":[[1e300,1,2,0.5,1.5,9],[-5,1,2,0.5,1.5,9],)"
                                    R"(["1709265000",1,2,0.5,1.5,9],[1709265000,752.1,754.85,751.3,754.2,412300]]})")}
        << QStringList{"5 2024-03-01 2024-03-01"} << QList<qint64>{1709265000} << QString();
    QTest::newRow("the service's error ends the request")
        << "15minute" << QDate(2024, 3, 1) << QDate(2024, 3, 2)
        << QList<Reply>{Reply::json(R"({"s":"error","code":-300,"message":"Please provide a valid symbol"})", 400)}
        << QStringList{"15 2024-03-01 2024-03-02"} << QList<qint64>{}
        << "Fyers history error for 3045: Please provide a valid symbol (code -300)";
    QTest::newRow("a proxy's page is no reply")
        << "60minute" << QDate(2024, 3, 1) << QDate(2024, 3, 1)
        << QList<Reply>{Reply::bytes("<html>Bad gateway</html>", "text/html")}
        << QStringList{"60 2024-03-01 2024-03-01"} << QList<qint64>{}
        << "Fyers history request failed for 3045: reply is not JSON (HTTP 200)";
    // The test's bounds: 1 s without a byte, 64 KiB.
    QTest::newRow("a stalled reply ends")
        << "day" << QDate(2024, 3, 1) << QDate(2024, 3, 1) << QList<Reply>{Reply::silent()}
        << QStringList{"D 2024-03-01 2024-03-01"} << QList<qint64>{}
        << "Fyers history request failed for 3045: no answer within 1 s";
    QTest::newRow("an oversized reply is cut off")
        << "day" << QDate(2024, 3, 1) << QDate(2024, 3, 1) << QList<Reply>{Reply::json(QByteArray(256 * 1024, ' '))}
        << QStringList{"D 2024-03-01 2024-03-01"} << QList<qint64>{}
        << "Fyers history request failed for 3045: reply larger than 65536 bytes";
    QTest::newRow("a timeframe the service lacks asks nothing")
        << "25minute" << QDate(2024, 3, 1) << QDate(2024, 3, 1) << QList<Reply>{} << QStringList{}
        << QList<qint64>{} << "Fyers history has no 25minute candles";
}

void TestFyersBroker::history()
{
    QFETCH(QString, interval);
    QFETCH(QDate, from);
    QFETCH(QDate, to);
    QFETCH(QList<HttpTestServer::Reply>, replies);
    QFETCH(QStringList, ranges);
    QFETCH(QList<qint64>, bars);
    QFETCH(QString, error);

    HttpTestServer http;
    QVERIFY(http.listen());
    for (const HttpTestServer::Reply& r : replies)
        http.queueReply("GET", "/data/history", r);
    SymbolRepository repository;
    repository.addSymbol("M&M", "3045", "NSE", "EQ");
    Stream s;
    s.broker.setSymbolRepository(&repository);
    s.broker.setDataUrl(http.baseUrl() + "/data");
    s.broker.setHistoryRate(100);
    s.broker.setHistoryBounds(1000, 64 * 1024);
    QSignalSpy received(&s.broker, &IBroker::historicalDataReceived);
    QSignalSpy failed(&s.broker, &IBroker::errorOccurred);
    s.broker.requestHistoricalData("3045", from, to, interval);
    QTRY_COMPARE_WITH_TIMEOUT(received.count() + failed.count(), 1, 10000);

    QStringList asked;
    for (const HttpTestServer::Request& r : http.requests()) {
        QCOMPARE(r.header("Authorization"), QByteArray("XY123:TOK"));
        QVERIFY2(r.rawTarget.contains("symbol=NSE%3AM%26M-EQ&"), r.rawTarget.constData());
        QCOMPARE(r.query.queryItemValue("date_format"), QString("1"));
        QCOMPARE(r.query.queryItemValue("cont_flag"), QString("1"));
        asked << QStringList{r.query.queryItemValue("resolution"), r.query.queryItemValue("range_from"),
                             r.query.queryItemValue("range_to")}
                     .join(' ');
    }
    asked.sort();
    QCOMPARE(asked, ranges);
    if (!error.isEmpty()) {
        QCOMPARE(failed.count(), 1);
        QCOMPARE(failed.at(0).at(0).toString(), error);
        QCOMPARE(received.count(), 0);
        return;
    }
    QCOMPARE(received.at(0).at(0).toString(), QString("3045"));
    // Named as the live ticks are exported.
    QStringList expected;
    for (qint64 t : bars)
        expected << QStringLiteral("M&M %1 752.1 754.85 751.3 754.2 754.2 412300 0").arg(t);
    QCOMPARE(BarText::of(received.at(0).at(1).value<QList<OHLCData>>()), expected);
}

QTEST_GUILESS_MAIN(TestFyersBroker)
#include "tst_fyersbroker.moc"
