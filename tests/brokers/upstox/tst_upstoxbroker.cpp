// Upstox broker against loopback peers: feed authorization and redirect, subscription frames,
// ticks, keep-alive, reconnect back-off, token change and history requests.
#include "brokers/upstox/UpstoxBroker.h"
#include "support/BarText.h"
#include "support/ClosedPort.h"
#include "support/HttpTestServer.h"
#include "support/LogCapture.h"
#include "support/UpstoxFrames.h"
#include "support/WebSocketTestServer.h"
#include "symbols/SymbolRepository.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

namespace {

const QString kAuthorizePath = QStringLiteral("/v3/feed/market-data-feed");
const QString kNiftyKey = QStringLiteral("NSE_FO|45450");

HttpTestServer::Reply redirectTo(const QString& url)
{
    HttpTestServer::Reply r;
    r.status = 302;
    r.headers.append(qMakePair(QByteArray("Location"), url.toUtf8()));
    return r;
}

QJsonObject frameObject(const QByteArray& frame)
{
    return QJsonDocument::fromJson(frame).object();
}

QStringList keysIn(const QByteArray& frame)
{
    QStringList keys;
    for (const QJsonValue& v : frameObject(frame).value("data").toObject().value("instrumentKeys").toArray())
        keys << v.toString();
    return keys;
}

}  // namespace

class TestUpstoxBroker : public QObject {
    Q_OBJECT

    struct Feed {
        HttpTestServer http;
        WebSocketTestServer ws;
        SymbolRepository repo;
        UpstoxBroker broker;
        Feed()
        {
            QVERIFY(http.listen());
            QVERIFY(ws.listen());
            http.setReply("GET", kAuthorizePath, redirectTo(ws.baseUrl() + "/feed?code=one-time"));
            IndianSymbolData nifty;
            nifty.symbol = "NIFTY24MARFUT";
            nifty.token = kNiftyKey;
            nifty.exchange = "NFO";
            nifty.lotSize = 75;
            repo.addSymbols({nifty});
            repo.addSymbol("INFY", "NSE_EQ|INE009A01021", "NSE", "EQ");
            broker.setRestBaseUrl(http.baseUrl());
            broker.setSymbolRepository(&repo);
            broker.setReconnectUnit(1);
        }
        bool open(const QString& token = "TOK")
        {
            QSignalSpy up(&broker, &IBroker::connectionStatusChanged);
            broker.initialize({{"api_key", "K"}, {"api_secret", "S"}, {"access_token", token}});
            broker.connectToBroker();
            return up.wait(5000) && broker.isConnected() && ws.clientCount() > 0;
        }
        bool nextBinary(QByteArray& out, int before)
        {
            if (ws.binaryMessages().size() <= before) {
                QSignalSpy spy(&ws, &WebSocketTestServer::binaryMessageReceived);
                if (!spy.wait(5000))
                    return false;
            }
            out = ws.binaryMessages().at(before);
            return true;
        }
    };

private slots:
    void initTestCase() { registerMarketDataTypes(); }
    void authorizesThenOpensTheRedirectTarget()
    {
        Feed f;
        QVERIFY(f.open("TOK"));
        const auto req = f.http.requestsTo(kAuthorizePath);
        QCOMPARE(req.size(), 1);
        QCOMPARE(req[0].header("Authorization"), QByteArray("Bearer TOK"));
        QCOMPARE(req[0].header("Accept"), QByteArray("*/*"));
        QCOMPARE(f.ws.connectionUrls().first().path(), QStringLiteral("/feed"));
        QCOMPARE(f.ws.connectionUrls().first().query(), QStringLiteral("code=one-time"));

        // Connecting again while connected sends nothing.
        f.broker.connectToBroker();
        QCOMPARE(f.http.requestsTo(kAuthorizePath).size(), 1);
    }

    void authorizeFailures_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("location");
        QTest::addColumn<QString>("error");
        QTest::newRow("no token") << "" << 0 << "" << "No access token available";
        QTest::newRow("200 is not a redirect") << "TOK" << 200 << "" << "Unexpected HTTP status: 200";
        QTest::newRow("302 without target") << "TOK" << 302 << "" << "Invalid redirect URL received";
        QTest::newRow("401") << "TOK" << 401 << "" << "*";
    }

    void authorizeFailures()
    {
        QFETCH(QString, token);
        QFETCH(int, status);
        QFETCH(QString, location);
        QFETCH(QString, error);
        Feed f;
        HttpTestServer::Reply r = HttpTestServer::Reply::json("{}", status);
        f.http.setReply("GET", kAuthorizePath, r);
        QSignalSpy errors(&f.broker, &IBroker::errorOccurred);
        f.broker.initialize({{"access_token", token}});
        f.broker.connectToBroker();
        QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 1, 5000);
        if (error != "*")
            QCOMPARE(errors.first().first().toString(), error);
        QCOMPARE(f.broker.lastError(), errors.first().first().toString());
        QVERIFY(!f.broker.isConnected());
        QCOMPARE(f.ws.clientCount(), 0);
        QCOMPARE(f.http.requestsTo(kAuthorizePath).size(), token.isEmpty() ? 0 : 1);
        // A first connect that fails is not retried.
        QVERIFY(!f.broker.findChild<QTimer*>("reconnectTimer")->isActive());
    }

    void subscriptionFramesAreExact()
    {
        Feed f;
        QVERIFY(f.open());
        QByteArray frame;
        f.broker.subscribeLiveData(QStringLiteral("nifty24marfut"));  // the master lookup ignores case
        QVERIFY(f.nextBinary(frame, 0));
        const QRegularExpression shape(
            R"re(^\{"data":\{"instrumentKeys":\["NSE_FO\|45450"\],"mode":"full"\},"guid":"([0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12})","method":"sub"\}$)re");
        const auto first = shape.match(QString::fromUtf8(frame));
        QVERIFY2(first.hasMatch(), frame.constData());

        // A key is used as it is, a key on the stream is not sent again, an unknown symbol adds
        // nothing; the calls of one turn make one frame, in order, with a guid of its own.
        f.broker.subscribeLiveData(QStringLiteral("nifty24marfut"));
        f.broker.subscribeLiveData(QStringLiteral("BSE_EQ|500325"));
        f.broker.subscribeLiveData(QStringLiteral("UNKNOWN"));
        f.broker.subscribeLiveData(QStringList{"INFY", "UNKNOWN", "NIFTY24MARFUT"});
        QVERIFY(f.nextBinary(frame, 1));
        QCOMPARE(keysIn(frame), (QStringList{"BSE_EQ|500325", "NSE_EQ|INE009A01021"}));
        const QRegularExpression guid(R"re("guid":"([0-9a-f-]{36})")re");
        QVERIFY(guid.match(QString::fromUtf8(frame)).captured(1) != first.captured(1));
        QCOMPARE(f.broker.subscribedSymbols(),
                 (QSet<QString>{"nifty24marfut", "BSE_EQ|500325", "INFY", "NIFTY24MARFUT"}));
    }

    void queuedSubscriptionsGoOutAsOneBatch()
    {
        Feed f;
        f.broker.subscribeLiveData(QStringList{"INFY", "INFY", "NIFTY24MARFUT", "GONE"});
        f.broker.subscribeLiveData(QStringLiteral("NSE_EQ|X"));
        // Removed from the watchlist before the stream came up: it must not be subscribed.
        f.broker.unsubscribeLiveData(QStringLiteral("GONE"));
        QCOMPARE(f.broker.pendingSubscriptions().size(), 3);
        QVERIFY(f.open());
        QByteArray frame;
        QVERIFY(f.nextBinary(frame, 0));
        QStringList keys = keysIn(frame);
        keys.sort();
        QCOMPARE(keys, (QStringList{"NSE_EQ|INE009A01021", "NSE_EQ|X", "NSE_FO|45450"}));
        QCOMPARE(frameObject(frame).value("method").toString(), QStringLiteral("sub"));
        QVERIFY(f.broker.pendingSubscriptions().isEmpty());
        QCOMPARE(f.ws.binaryMessages().size(), 1);
    }

    void unsubscribeAndStop()
    {
        Feed f;
        QVERIFY(f.open());
        f.broker.subscribeLiveData(QStringList{"INFY", "NIFTY24MARFUT"});
        QByteArray frame;
        QVERIFY(f.nextBinary(frame, 0));
        f.broker.unsubscribeLiveData(QStringLiteral("RELIANCE"));  // never subscribed: nothing
        f.broker.unsubscribeLiveData(QStringLiteral("INFY"));
        QVERIFY(f.nextBinary(frame, 1));
        const QRegularExpression unsub(
            R"(^\{"data":\{"instrumentKeys":\["NSE_EQ\|INE009A01021"\]\},"guid":"[0-9a-f-]{36}","method":"unsub"\}$)");
        QVERIFY2(unsub.match(QString::fromUtf8(frame)).hasMatch(), frame.constData());

        // Stopping takes the keys off the stream at the end of the turn, except those subscribed
        // again in it; the symbols are forgotten, so a later unsubscribe of one is silent.
        f.broker.stopLiveData();
        f.broker.unsubscribeLiveData(QStringLiteral("NIFTY24MARFUT"));
        f.broker.subscribeLiveData(QStringLiteral("INFY"));
        QVERIFY(f.nextBinary(frame, 2));
        QCOMPARE(frameObject(frame).value("method").toString(), QStringLiteral("unsub"));
        QCOMPARE(keysIn(frame), QStringList{"NSE_FO|45450"});
        QVERIFY(f.nextBinary(frame, 3));
        QCOMPARE(frameObject(frame).value("method").toString(), QStringLiteral("sub"));
        QCOMPARE(keysIn(frame), QStringList{"NSE_EQ|INE009A01021"});
    }

    void ticksAndServiceErrors()
    {
        using namespace UpstoxFrames;
        Feed f;
        QVERIFY(f.open());
        QSignalSpy ticks(&f.broker, &IBroker::tickReceived);
        QSignalSpy errors(&f.broker, &IBroker::errorOccurred);
        f.ws.sendBinary(entry(kNiftyKey, fullFeed(Trade{22150.5, 1710474300123LL, 150, 22010.25}, 1234500))
                        + entry("NSE_EQ|INE009A01021", ltpcFeed(Trade{1500.25, 1710474300456LL, 10, 0})));
        QTRY_COMPARE_WITH_TIMEOUT(ticks.size(), 2, 5000);
        const TickData a = ticks[0][0].value<TickData>();
        QCOMPARE(a.symbol, QStringLiteral("NIFTY24MARFUT"));
        QCOMPARE(a.token, kNiftyKey);
        QCOMPARE(a.ltp, 22150.5);
        QCOMPARE(a.volume, 2.0);  // 150 shares in lots of 75
        QCOMPARE(ticks[1][0].value<TickData>().symbol, QStringLiteral("INFY"));
        // A JSON volume too large for any integer is passed on, never converted out of range.
        f.ws.sendBinary(R"({"type":"live_feed","feeds":{"NSE_FO|45450":{"ltpc":{"ltp":1,"ltq":1.5e300}}}})");
        QTRY_COMPARE_WITH_TIMEOUT(ticks.size(), 3, 5000);
        QCOMPARE(ticks[2][0].value<TickData>().volume, 1.5e300);

        // A service notice in a binary frame is only logged; one in a text frame is an error.
        f.ws.sendBinary(R"({"type":"error","message":"quota"})");
        f.ws.sendText(R"({"type":"error","message":"Invalid token"})");
        QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 1, 5000);
        QCOMPARE(errors[0][0].toString(), QStringLiteral("Invalid token"));
        QCOMPARE(f.broker.lastError(), QStringLiteral("Invalid token"));
        QCOMPARE(ticks.size(), 3);
    }

    // JSON live-feed ticks keep the service's quantity: only protocol-buffers ticks are shown in lots.
    void jsonFeedTicksKeepTheirQuantity_data()
    {
        QTest::addColumn<QByteArray>("feed");  // the one member of "feeds"
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<double>("volume");
        QTest::newRow("lot-based instrument") << QByteArray(R"("NSE_FO|45450":{"ltpc":{"ltp":22150.5,"ltq":150}})")
                                              << "NIFTY24MARFUT" << 150.0;
        QTest::newRow("full feed quantity") << QByteArray(R"("NSE_FO|45450":{"ltpc":{"ltp":22150.5,"ltq":75},)"
                                                          R"("ff":{"marketFF":{"openPrice":22000,"ltq":225,"oi":9}}})")
                                            << "NIFTY24MARFUT" << 225.0;
        QTest::newRow("share") << QByteArray(R"("NSE_EQ|INE009A01021":{"ltpc":{"ltp":1500,"ltq":7}})") << "INFY" << 7.0;
        QTest::newRow("unknown key") << QByteArray(R"("NSE_FO|1":{"ltpc":{"ltp":10,"ltq":150}})") << "NSE_FO|1" << 150.0;
    }

    void jsonFeedTicksKeepTheirQuantity()
    {
        QFETCH(QByteArray, feed);
        Feed f;
        QVERIFY(f.open());
        QSignalSpy ticks(&f.broker, &IBroker::tickReceived);
        f.ws.sendBinary(R"({"type":"live_feed","feeds":{)" + feed + "}}");
        QVERIFY(ticks.wait(5000));
        const TickData t = ticks[0][0].value<TickData>();
        QTEST(t.symbol, "symbol");
        QTEST(t.volume, "volume");
        // The same quantity in a protocol-buffers frame is still shown in lots.
        using namespace UpstoxFrames;
        f.ws.sendBinary(entry(kNiftyKey, ltpcFeed(Trade{22150.5, 1710474300123LL, 150, 0})));
        QTRY_COMPARE_WITH_TIMEOUT(ticks.size(), 2, 5000);
        QCOMPARE(ticks[1][0].value<TickData>().volume, 2.0);
    }

    void pingOnlyWhileConnected()
    {
        Feed f;
        f.broker.setPingInterval(20);
        QVERIFY(!f.broker.findChild<QTimer*>("pingTimer")->isActive());
        QVERIFY(f.open());
        QTRY_VERIFY_WITH_TIMEOUT(f.ws.textMessages().contains(QStringLiteral("{\"type\":\"ping\"}")), 5000);
        f.broker.disconnectFromBroker();
        QVERIFY(!f.broker.findChild<QTimer*>("pingTimer")->isActive());
    }

    void lostStreamReconnects()
    {
        Feed f;
        QVERIFY(f.open());
        QSignalSpy status(&f.broker, &IBroker::connectionStatusChanged);
        f.ws.closeClients();
        QTRY_COMPARE_WITH_TIMEOUT(status.size(), 2, 5000);  // false, then true again
        QCOMPARE(status[0][0].toBool(), false);
        QCOMPARE(status[1][0].toBool(), true);
        QCOMPARE(f.http.requestsTo(kAuthorizePath).size(), 2);  // the redirect target is never reused
        // The back-off starts afresh only once a link has lasted, not on every open.
        QCOMPARE(f.broker.reconnectAttempts(), 1);
        QCOMPARE(f.ws.connectionUrls().size(), 2);
    }

    void backoffRunsTenAttemptsThenGivesUp()
    {
        Feed f;
        QVERIFY(f.open());
        // From now on the service is unavailable: every attempt fails at the authorization step.
        f.http.setReply("GET", kAuthorizePath, HttpTestServer::Reply::json("{}", 503));
        QTimer* timer = f.broker.findChild<QTimer*>("reconnectTimer");
        QList<int> delays;
        connect(&f.http, &HttpTestServer::requestReceived, this, [&] { delays << timer->interval(); });
        QSignalSpy errors(&f.broker, &IBroker::errorOccurred);
        f.ws.closeClients();
        QTRY_VERIFY_WITH_TIMEOUT(errors.size() >= 1
                                     && errors.last().first().toString()
                                         == QStringLiteral("Connection lost. Please reconnect manually."),
                                 10000);
        QCOMPARE(delays, (QList<int>{2, 4, 8, 16, 32, 64, 120, 120, 120, 120}));
        QCOMPARE(errors.size(), 11);  // ten failed authorizations, then the give-up
        QVERIFY(!timer->isActive());
        QCOMPARE(f.broker.lastError(), QStringLiteral("Connection lost. Please reconnect manually."));

        // A manual connect that fails the same way reports that failure alone and starts no new run.
        f.broker.connectToBroker();
        QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 12, 5000);
        QVERIFY(errors.last().first().toString() != QStringLiteral("Connection lost. Please reconnect manually."));
        QVERIFY(!timer->isActive());
    }

    void refusedAuthorizeEndsTheRun()
    {
        Feed f;
        QVERIFY(f.open());
        f.http.setReply("GET", kAuthorizePath, HttpTestServer::Reply::json(R"({"status":"error"})", 401));
        QSignalSpy errors(&f.broker, &IBroker::errorOccurred);
        f.ws.closeClients();
        QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 1, 5000);
        QCOMPARE(f.http.requestsTo(kAuthorizePath).size(), 2);
        QVERIFY(!f.broker.findChild<QTimer*>("reconnectTimer")->isActive());
        QCOMPARE(f.broker.reconnectAttempts(), 1);
    }

    void streamThatFailsToOpenKeepsTheRunGoing()
    {
        Feed f;
        QVERIFY(f.open());
        // Authorization works but the stream host refuses: a refused open counts as a loss and the run goes on.
        ClosedPort closed;
        QVERIFY(closed.isValid());
        const quint16 deadPort = closed.port();
        f.http.setReply("GET", kAuthorizePath, redirectTo(QStringLiteral("ws://127.0.0.1:%1/feed").arg(deadPort)));
        QSignalSpy status(&f.broker, &IBroker::connectionStatusChanged);
        f.ws.closeClients();
        QTRY_VERIFY_WITH_TIMEOUT(f.http.requestsTo(kAuthorizePath).size() >= 4, 5000);
        f.http.setReply("GET", kAuthorizePath, redirectTo(f.ws.baseUrl() + "/feed"));
        QTRY_VERIFY_WITH_TIMEOUT(f.broker.isConnected(), 5000);
        QVERIFY(f.broker.reconnectAttempts() >= 4);
        QCOMPARE(status.last()[0].toBool(), true);
    }

    void userDisconnectIsNotFollowedByReconnect()
    {
        Feed f;
        QVERIFY(f.open());
        f.broker.subscribeLiveData(QStringLiteral("INFY"));
        QSignalSpy status(&f.broker, &IBroker::connectionStatusChanged);
        QSignalSpy gone(&f.ws, &WebSocketTestServer::clientDisconnected);
        f.broker.disconnectFromBroker();
        QVERIFY(!f.broker.isConnected());
        QVERIFY(f.broker.subscribedSymbols().isEmpty());
        // The close completes later; its notification reports the state but schedules nothing.
        QTRY_COMPARE_WITH_TIMEOUT(status.size(), 1, 5000);
        QCOMPARE(status[0][0].toBool(), false);
        QVERIFY(gone.size() > 0 || gone.wait(5000));
        QVERIFY(!f.broker.findChild<QTimer*>("reconnectTimer")->isActive());
        QCOMPARE(f.http.requestsTo(kAuthorizePath).size(), 1);

        // A later connect works as usual.
        QVERIFY(f.open());
    }

    void newTokenReopensTheFeed()
    {
        Feed f;
        f.broker.updateAccessToken(QStringLiteral("EARLY"));  // not connected: only stored
        QCOMPARE(f.http.requestCount(), 0);
        QVERIFY(f.open("OLD"));
        QSignalSpy status(&f.broker, &IBroker::connectionStatusChanged);
        // The main window connects the settings' signal by name.
        QVERIFY(QMetaObject::invokeMethod(&f.broker, "updateAccessToken", Q_ARG(QString, QStringLiteral("NEW"))));
        QTRY_COMPARE_WITH_TIMEOUT(status.size(), 2, 8000);
        QCOMPARE(status[0][0].toBool(), false);
        QCOMPARE(status[1][0].toBool(), true);
        const auto req = f.http.requestsTo(kAuthorizePath);
        QCOMPARE(req.size(), 2);
        QCOMPARE(req[1].header("Authorization"), QByteArray("Bearer NEW"));
    }

    void historyRequestAndReplies()
    {
        Feed f;
        f.broker.initialize({{"access_token", "TOK"}});
        f.broker.setToday([] { return QDate(2024, 3, 15); });
        // A range reaching today: the past day from the historical endpoint, today from the intraday one.
        f.http.setReply("GET", "/v3/historical-candle/NSE_FO|45450/minutes/5/2024-03-14/2024-03-14",
                        HttpTestServer::Reply::json(R"({"status":"success","data":{"candles":[
        ["2024-03-14T15:25:00+05:30",22000,22010,21990,22005,900,1230000]]}})"));
        f.http.setReply("GET", "/v3/historical-candle/intraday/NSE_FO|45450/minutes/5",
                        HttpTestServer::Reply::json(R"({"status":"success","data":{"candles":[
        ["2024-03-15T09:20:00+05:30",22150,22170,22140,22160,700,1234600],
        ["2024-03-15T09:15:00+05:30",22100,22160,22090,22150,1500,1234500]]}})"));
        QSignalSpy bars(&f.broker, &IBroker::historicalDataReceived);
        QSignalSpy errors(&f.broker, &IBroker::errorOccurred);
        f.broker.requestHistoricalData("NIFTY24MARFUT", QDate(2024, 3, 14), QDate(2024, 3, 15), "5min");
        QVERIFY(bars.wait(5000));
        QCOMPARE(f.http.requestCount(), 2);
        const auto req = f.http.requestsTo("/v3/historical-candle/NSE_FO|45450/minutes/5/2024-03-14/2024-03-14");
        QCOMPARE(req.size(), 1);
        QCOMPARE(req[0].rawTarget, QByteArray("/v3/historical-candle/NSE_FO%7C45450/minutes/5/2024-03-14/2024-03-14"));
        QCOMPARE(req[0].header("Authorization"), QByteArray("Bearer TOK"));
        QCOMPARE(req[0].header("Accept"), QByteArray("application/json"));
        // One answer with every bar, oldest first; the signal names the instrument key, the bars the
        // caller's symbol.
        QCOMPARE(bars.size(), 1);
        QCOMPARE(bars[0][0].toString(), kNiftyKey);
        QCOMPARE(BarText::of(bars[0][1].value<QList<OHLCData>>()),
                 (QStringList{"NIFTY24MARFUT 1710410100 22000 22010 21990 22005 22005 900 1230000",
                              "NIFTY24MARFUT 1710474300 22100 22160 22090 22150 22150 1500 1234500",
                              "NIFTY24MARFUT 1710474600 22150 22170 22140 22160 22160 700 1234600"}));

        // Intraday is today alone; failures end in errorOccurred alone.
        f.http.setReply("GET", "/v3/historical-candle/intraday/NSE_FO|45450/days/1",
                        HttpTestServer::Reply::json(R"({"status":"error","message":"Too many requests"})"));
        f.broker.requestIntradayData("NIFTY24MARFUT", "Day");
        QVERIFY(errors.wait(5000));
        QCOMPARE(errors.last()[0].toString(), QStringLiteral("Historical data API error: Too many requests"));

        f.broker.requestHistoricalData("NSE_EQ|X", QDate(2024, 3, 1), QDate(2024, 3, 2), "day");  // unscripted: 404
        QVERIFY(errors.wait(5000));
        QVERIFY(errors.last()[0].toString().startsWith("Historical data request failed for NSE_EQ|X: "));

        const int sent = f.http.requestCount();
        f.broker.requestHistoricalData("UNKNOWN", QDate(2024, 3, 1), QDate(2024, 3, 2), "day");
        QCOMPARE(errors.last()[0].toString(), QStringLiteral("Could not find instrument key for symbol: UNKNOWN"));
        QCOMPARE(f.http.requestCount(), sent);
        QCOMPARE(bars.size(), 1);
    }

    void historyEndDateAndReplyContext_data()
    {
        QTest::addColumn<QString>("interval");
        QTest::addColumn<QDate>("to");
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<bool>("extended");  // the end date moved, with its log line
        const QString base = "/v3/historical-candle/";
        QTest::newRow("weeks up to today") << "week" << QDate(2024, 3, 15)
                                           << QStringList{base + "NSE_FO|45450/weeks/1/2024-03-16/2024-03-01"} << true;
        QTest::newRow("weeks up to tomorrow") << "week" << QDate(2024, 3, 16)
                                              << QStringList{base + "NSE_FO|45450/weeks/1/2024-03-16/2024-03-01"} << false;
        QTest::newRow("days up to today: today from the intraday endpoint")
            << "day" << QDate(2024, 3, 15)
            << QStringList{base + "NSE_FO|45450/days/1/2024-03-14/2024-03-01", base + "intraday/NSE_FO|45450/days/1"}
            << false;
    }

    void historyEndDateAndReplyContext()
    {
        QFETCH(QString, interval);
        QFETCH(QDate, to);
        QFETCH(QStringList, paths);
        QFETCH(bool, extended);
        Feed f;
        f.broker.initialize({{"access_token", "TOK"}});
        f.broker.setToday([] { return QDate(2024, 3, 15); });
        for (const QString& path : paths)
            f.http.setReply("GET", path, HttpTestServer::Reply::json(R"({"status":"success","data":{"candles":[]}})"));
        QSignalSpy bars(&f.broker, &IBroker::historicalDataReceived);
        LogCapture log;
        f.broker.requestHistoricalData("NIFTY24MARFUT", QDate(2024, 3, 1), to, interval);
        // Every request in flight carries the caller's symbol and the instrument key.
        const QList<QNetworkReply*> replies = f.broker.findChildren<QNetworkReply*>();
        QCOMPARE(replies.size(), paths.size());
        for (const QNetworkReply* reply : replies) {
            QCOMPARE(reply->property("symbol").toString(), QStringLiteral("NIFTY24MARFUT"));
            QCOMPARE(reply->property("instrument_key").toString(), kNiftyKey);
        }
        QVERIFY(bars.wait(5000));
        QCOMPARE(f.http.requestCount(), paths.size());
        for (const QString& path : paths)
            QCOMPARE(f.http.requestsTo(path).size(), 1);
        QCOMPARE(log.count(QtDebugMsg, "[UpstoxBroker] Request includes today, extending toDate to tomorrow: 2024-03-16"),
                 extended ? 1 : 0);
    }
};

QTEST_GUILESS_MAIN(TestUpstoxBroker)
#include "tst_upstoxbroker.moc"
