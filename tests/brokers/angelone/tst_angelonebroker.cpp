// AngelOne broker against loopback peers: subscription messages, heartbeat, binary
// ticks, history with open interest, and the scrip master.
#include "brokers/angelone/AngelOneBroker.h"
#include "support/BrokerTestSetup.h"
#include "support/AngelOneFrames.h"
#include "support/HttpTestServer.h"
#include "support/LogCapture.h"
#include "support/WebSocketTestServer.h"
#include "symbols/SymbolRepository.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>


Q_DECLARE_METATYPE(HttpTestServer::Reply)

namespace {

const QString kCandlePath = "/rest/secure/angelbroking/historical/v1/getCandleData";
const QString kOiPath = "/rest/secure/angelbroking/historical/v1/getOIData";
const QString kMasterPath = "/OpenAPI_File/files/OpenAPIScripMaster.json";

QMap<QString, QString> creds()
{
    return {{"api_key", "KEY"}, {"client_code", "C123"}, {"jwt_token", "JWT"}, {"feed_token", "FEED"}};
}

// The broker's only timer of its own is the heartbeat.
bool heartbeatRunning(const AngelOneBroker& broker)
{
    for (const QTimer* t : broker.findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (t->isActive())
            return true;
    }
    return false;
}

QJsonObject json(const QByteArray& bytes)
{
    return QJsonDocument::fromJson(bytes).object();
}

QByteArray candles(const QByteArray& rows)
{
    return R"({"status":true,"message":"SUCCESS","data":)" + rows + "}";
}

}  // namespace

class TestAngelOneBroker : public QObject {
    Q_OBJECT

    struct Fixture {
        WebSocketTestServer stream;
        HttpTestServer rest;
        SymbolRepository repo;
        AngelOneBroker broker;
        Fixture()
        {
            QVERIFY(stream.listen());
            QVERIFY(rest.listen());
            broker.setStreamBaseUrl(stream.baseUrl());
            broker.setRestBaseUrl(rest.baseUrl());
            broker.setScripMasterBaseUrl(rest.baseUrl());
            // 0000000123 are the last ten digits of this instant in milliseconds.
            broker.setClock([] { return QDateTime::fromMSecsSinceEpoch(1710000000000LL + 123); });
            repo.addSymbol("RELIANCE-EQ", "2885", "NSE", "");
            repo.addSymbol("TCS-EQ", "11536", "NSE", "");
            repo.addSymbol("NSE_EQ:INFY-EQ", "1594", "NSE", "");
            repo.addSymbol("NFO:NIFTY24MARFUT", "43210", "NFO", "FUTIDX");
            // One number on two exchanges: a share and a commodity contract.
            repo.addSymbol("SAMENUM-EQ", "2222", "NSE", "");
            repo.addSymbol("MCX:GOLD24APRFUT", "2222", "MCX", "FUTCOM");
            repo.addSymbol("BFO:SENSEX24MARFUT", "1111", "BFO", "FUTIDX");
            repo.addSymbol("CDS:USDINR24MARFUT", "1180", "CDS", "FUTCUR");
            repo.addSymbol("BCD:EURINR24MARFUT", "8888", "BCD", "FUTCUR");
            repo.addSymbol("NCX:GUARSEED24APRFUT", "7777", "NCX", "FUTCOM");
            broker.setSymbolRepository(&repo);
            broker.initialize(creds());
        }
        bool open()
        {
            QSignalSpy up(&broker, &IBroker::connectionStatusChanged);
            broker.connectToBroker();
            return up.wait(5000) && broker.isConnected() && stream.clientCount() == 1;
        }
        QString nextText()
        {
            QSignalSpy got(&stream, &WebSocketTestServer::textMessageReceived);
            if (!got.wait(5000))
                return QString();
            return got.first().first().toString();
        }
    };

private slots:
    void initTestCase() { setUpBrokerTest("tst_angelonebroker", true); }

    void subscriptionMessages_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("tokenList");
        QTest::newRow("same exchange shares a group, a repeat goes once")
            << QStringList{"RELIANCE-EQ", "NSE_EQ:INFY-EQ", "RELIANCE-EQ"}
            << R"([{"exchangeType":1,"tokens":["2885","1594"]}])";
        QTest::newRow("groups in first-seen order, unknown names left out")
            << QStringList{"NFO:NIFTY24MARFUT", "RELIANCE-EQ", "NOPE", "MCX:GOLD24APRFUT", "TCS-EQ"}
            << R"([{"exchangeType":2,"tokens":["43210"]},{"exchangeType":1,"tokens":["2885","11536"]},{"exchangeType":5,"tokens":["2222"]}])";
        QTest::newRow("numeric token takes the repository's exchange")
            << QStringList{"43210", "1111"}
            << R"([{"exchangeType":2,"tokens":["43210"]},{"exchangeType":4,"tokens":["1111"]}])";
        QTest::newRow("currency and NCDEX contracts in their own segments")
            << QStringList{"BCD:EURINR24MARFUT", "7777", "NCDEX:GUAR"}
            << R"([{"exchangeType":13,"tokens":["8888"]},{"exchangeType":7,"tokens":["7777"]}])";
        QTest::newRow("unknown numeric token still subscribed on NSE")
            << QStringList{"99999"} << R"([{"exchangeType":1,"tokens":["99999"]}])";
    }

    void subscriptionMessages()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, tokenList);
        Fixture f;
        QVERIFY(f.open());
        f.broker.subscribeLiveData(entries);
        QCOMPARE(f.nextText(),
                 QString(R"({"action":1,"correlationID":"0000000123","params":{"mode":3,"tokenList":%1}})").arg(tokenList));
    }

    void subscribeWhileClosedSendsNothing()
    {
        Fixture f;
        f.broker.subscribeLiveData("RELIANCE-EQ");
        QCOMPARE(f.broker.lastError(), QString("Not connected to broker"));

        QVERIFY(f.open());
        f.broker.setSymbolRepository(nullptr);
        f.broker.subscribeLiveData("RELIANCE-EQ");
        QCOMPARE(f.broker.lastError(), QString("SymbolRepository not set"));
        f.broker.unsubscribeLiveData("RELIANCE-EQ");
        f.broker.stopLiveData();  // says nothing to the server
        f.broker.startLiveData();
        // One message asked for now: it is the first the server sees.
        f.broker.setSymbolRepository(&f.repo);
        f.broker.subscribeLiveData("TCS-EQ");
        QCOMPARE(f.nextText(), QString(R"({"action":1,"correlationID":"0000000123","params":{"mode":3,"tokenList":[{"exchangeType":1,"tokens":["11536"]}]}})"));
        QCOMPARE(f.stream.textMessages().size(), 1);
    }

    void unsubscribeMessage()
    {
        Fixture f;
        f.broker.unsubscribeLiveData("MCX:GOLD24APRFUT");  // not connected: silent
        QVERIFY(f.open());
        f.broker.subscribeLiveData(QStringList{"MCX:GOLD24APRFUT", "43210", "TCS-EQ"});
        QVERIFY(!f.nextText().isEmpty());
        // One message for the turn; a bare token stops the stream its subscription started.
        f.broker.unsubscribeLiveData("NOPE");
        f.broker.unsubscribeLiveData("MCX:GOLD24APRFUT");
        f.broker.unsubscribeLiveData("43210");
        QCOMPARE(f.nextText(), QString(R"({"action":0,"params":{"mode":3,"tokenList":[{"exchangeType":5,"tokens":["2222"]},{"exchangeType":2,"tokens":["43210"]}]}})"));
        QCOMPARE(f.stream.textMessages().size(), 2);
    }

    void heartbeatAndTextReplies()
    {
        Fixture f;
        f.broker.setHeartbeatInterval(30);
        QVERIFY(f.open());
        QCOMPARE(f.nextText(), QString("ping"));
        QCOMPARE(f.nextText(), QString("ping"));

        // Answers and stray text are no ticks and no errors; a record after them is the sentinel.
        QSignalSpy ticks(&f.broker, &IBroker::tickReceived);
        QSignalSpy errors(&f.broker, &IBroker::errorOccurred);
        f.stream.sendText("pong");
        f.stream.sendText("PONG");
        f.stream.sendText(R"({"error":"x"})");
        f.stream.sendText("not json");
        AngelOneFrames::Record sentinel;
        sentinel.token = "2885";
        f.stream.sendBinary(AngelOneFrames::record(sentinel));
        QVERIFY(ticks.wait(5000));
        QCOMPARE(ticks.count(), 1);
        QCOMPARE(errors.count(), 0);
        QVERIFY(f.broker.isConnected());

        // The server ends the stream: no ping once it is gone, and nothing reconnects by itself.
        f.stream.closeClients();
        QTRY_VERIFY_WITH_TIMEOUT(!f.broker.isConnected(), 5000);
        QVERIFY(!heartbeatRunning(f.broker));
        QVERIFY(f.stream.acceptSentinel());
        QCOMPARE(f.stream.connectionUrls().size(), 2);
    }

    void binaryTicks()
    {
        Fixture f;
        QVERIFY(f.open());
        QSignalSpy ticks(&f.broker, &IBroker::tickReceived);
        // A known share, an unknown token (dropped), a future by token, the same token on NSE and on
        // MCX (each its own instrument) and a BSE currency contract; a message too short is dropped.
        AngelOneFrames::Record a, unknown, fut, share, gold, bseCurrency;
        a.token = "2885";
        unknown.token = "31337";
        fut.exchangeType = 2;
        fut.token = "43210";
        share.token = gold.token = "2222";
        gold.exchangeType = 5;
        bseCurrency.exchangeType = 13;
        bseCurrency.token = "8888";
        f.stream.sendBinary(QByteArray(100, 'x'));
        f.stream.sendBinary(AngelOneFrames::record(a) + AngelOneFrames::record(unknown) + AngelOneFrames::record(fut)
                            + AngelOneFrames::record(share) + AngelOneFrames::record(gold)
                            + AngelOneFrames::record(bseCurrency) + QByteArray(42, '\0'));
        QTRY_COMPARE_WITH_TIMEOUT(ticks.count(), 5, 5000);
        QStringList got;
        for (const QList<QVariant>& args : qAsConst(ticks)) {
            const TickData t = args.at(0).value<TickData>();
            got << t.symbol + "/" + t.exchange;
        }
        QCOMPARE(got, (QStringList{"RELIANCE-EQ/NSE", "NFO:NIFTY24MARFUT/NFO", "SAMENUM-EQ/NSE", "MCX:GOLD24APRFUT/MCX",
                                   "BCD:EURINR24MARFUT/CDS"}));
    }

    void historyRequest()
    {
        Fixture f;
        f.rest.setReply("POST", kCandlePath, HttpTestServer::Reply::json(candles("[]")));
        QSignalSpy done(&f.broker, &IBroker::historicalDataReceived);
        f.broker.requestIntradayData("RELIANCE-EQ", "5minute");
        QVERIFY(done.wait(5000));
        QCOMPARE(f.rest.requestCount(), 1);
        const HttpTestServer::Request req = f.rest.lastRequest();
        const QList<QPair<QByteArray, QByteArray>> headers{
            {"Content-Type", "application/json"}, {"Accept", "application/json"}, {"X-UserType", "USER"},
            {"X-SourceID", "WEB"}, {"X-ClientLocalIP", "127.0.0.1"}, {"X-ClientPublicIP", "127.0.0.1"},
            {"X-MACAddress", "00:00:00:00:00:00"}, {"X-PrivateKey", "KEY"}, {"Authorization", "Bearer JWT"}};
        for (const auto& h : headers)
            QCOMPARE(req.header(h.first), h.second);
        const QJsonObject body = json(req.body);
        QCOMPARE(body.value("exchange").toString(), QString("NSE"));
        QCOMPARE(body.value("symboltoken").toString(), QString("2885"));
        QCOMPARE(body.value("interval").toString(), QString("FIVE_MINUTE"));
        QCOMPARE(body.value("fromdate").toString(), QString("2024-03-09 00:00"));
        QCOMPARE(body.value("todate").toString(), QString("2024-03-09 23:59"));
        // An equity with an empty reply: one signal, no open-interest request.
        QCOMPARE(done.count(), 1);
        QCOMPARE(done.first().at(0).toString(), QString("RELIANCE-EQ"));
        QVERIFY(done.first().at(1).value<QList<OHLCData>>().isEmpty());
    }

    void historyMergesOpenInterest_data()
    {
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<QString>("bodyExchange");
        QTest::addColumn<QString>("barSymbol");
        QTest::addColumn<QString>("token");
        QTest::newRow("exchange-qualified key") << "NFO:NIFTY24MARFUT" << "NFO" << "NFO:NIFTY24MARFUT" << "43210";
        QTest::newRow("token of a derivative") << "43210" << "NFO" << "NFO:NIFTY24MARFUT" << "43210";
        QTest::newRow("BSE currency contract") << "BCD:EURINR24MARFUT" << "BCD" << "BCD:EURINR24MARFUT" << "8888";
        QTest::newRow("NCDEX contract by token") << "7777" << "NCDEX" << "NCX:GUARSEED24APRFUT" << "7777";
    }

    void historyMergesOpenInterest()
    {
        QFETCH(QString, symbol);
        Fixture f;
        f.rest.setReply("POST", kCandlePath, HttpTestServer::Reply::json(candles(
            R"([["2024-03-15T09:15:00+05:30",100,110,95,105,1000],["2024-03-15T09:16:00+05:30",105,111,104,110,900]])")));
        f.rest.setReply("POST", kOiPath, HttpTestServer::Reply::json(
            R"({"status":true,"data":[{"time":"2024-03-15T03:46:00Z","oi":5000}]})"));
        QSignalSpy done(&f.broker, &IBroker::historicalDataReceived);
        f.broker.requestHistoricalData(symbol, QDate(2024, 3, 15), QDate(2024, 3, 15), "day");
        QVERIFY(done.wait(5000));
        QCOMPARE(done.count(), 1);
        QCOMPARE(done.first().at(0).toString(), symbol);
        const QList<OHLCData> bars = done.first().at(1).value<QList<OHLCData>>();
        QCOMPARE(bars.size(), 2);
        QTEST(bars.at(0).symbol, "barSymbol");
        QCOMPARE(bars.at(0).close, 105.0);
        QCOMPARE(bars.at(0).openInterest, 0.0);
        QCOMPARE(bars.at(1).openInterest, 5000.0);

        QCOMPARE(f.rest.requestsTo(kOiPath).size(), 1);
        const QJsonObject candleBody = json(f.rest.requestsTo(kCandlePath).first().body);
        const HttpTestServer::Request oiReq = f.rest.requestsTo(kOiPath).first();
        QCOMPARE(json(oiReq.body), candleBody);
        QTEST(candleBody.value("exchange").toString(), "bodyExchange");
        QTEST(candleBody.value("symboltoken").toString(), "token");
        QCOMPARE(candleBody.value("interval").toString(), QString("ONE_DAY"));
        QCOMPARE(oiReq.header("Authorization"), QByteArray("Bearer JWT"));
    }

    // A request that cannot be asked, or that the service refuses, fails with its cause; a range
    // that holds no candles is an answer like any other.
    void historyFailsWithItsCause_data()
    {
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<HttpTestServer::Reply>("candleReply");
        QTest::addColumn<QString>("cause");  // empty: answered, with no bars
        const auto unused = HttpTestServer::Reply::json("{}");
        QTest::newRow("unknown symbol") << "NOPE" << unused << "AngelOne history error for NOPE: not in the instrument list";
        QTest::newRow("HTTP error") << "RELIANCE-EQ" << HttpTestServer::Reply::json("{}", 500)
                                    << "AngelOne history error for RELIANCE-EQ: ";
        QTest::newRow("HTTP error with the service's reason")
            << "RELIANCE-EQ" << HttpTestServer::Reply::json(R"({"status":false,"message":"Access denied"})", 403)
            << "AngelOne history error for RELIANCE-EQ: Access denied";
        QTest::newRow("expired session")
            << "RELIANCE-EQ"
            << HttpTestServer::Reply::json(R"({"status":false,"message":"Invalid Token","errorcode":"AG8001","data":null})")
            << "AngelOne history error for RELIANCE-EQ: Invalid Token (AG8001)";
        QTest::newRow("unreadable reply") << "RELIANCE-EQ" << HttpTestServer::Reply::json("<html>")
                                          << "AngelOne history error for RELIANCE-EQ: unreadable reply";
        QTest::newRow("no candles in the range") << "RELIANCE-EQ" << HttpTestServer::Reply::json(candles("[]")) << "";
    }

    void historyFailsWithItsCause()
    {
        QFETCH(QString, symbol);
        QFETCH(HttpTestServer::Reply, candleReply);
        QFETCH(QString, cause);
        Fixture f;
        f.rest.setReply("POST", kCandlePath, candleReply);
        LogCapture quiet(false);
        QSignalSpy answered(&f.broker, &IBroker::historyAnswered);
        QSignalSpy failed(&f.broker, &IBroker::historyFailed);
        QSignalSpy untagged(&f.broker, &IBroker::historicalDataReceived);
        QSignalSpy errors(&f.broker, &IBroker::errorOccurred);
        f.broker.setNextHistoryTag(42);
        f.broker.requestHistoricalData(symbol, QDate(2024, 3, 15), QDate(2024, 3, 15), "1min");
        QTRY_COMPARE_WITH_TIMEOUT(answered.count() + failed.count(), 1, 5000);
        if (cause.isEmpty()) {
            QCOMPARE(answered.count(), 1);
            QCOMPARE(answered.first().at(0).toULongLong(), quint64(42));
            QCOMPARE(answered.first().at(1).toString(), symbol);
            QVERIFY(answered.first().at(2).value<QList<OHLCData>>().isEmpty());
        } else {
            QCOMPARE(failed.count(), 1);
            QCOMPARE(failed.first().at(0).toULongLong(), quint64(42));
            QCOMPARE(failed.first().at(1).toString(), symbol);
            const QString text = failed.first().at(2).toString();
            QVERIFY2(text.startsWith(cause), qPrintable(text));
            QVERIFY2(text.size() > QString("AngelOne history error for %1: ").arg(symbol).size(), qPrintable(text));
            QCOMPARE(f.broker.lastError(), text);
        }
        // One outcome, told once, only as the tagged request's.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(f.broker.findChildren<QNetworkReply*>().isEmpty());
        QCOMPARE(answered.count() + failed.count(), 1);
        QCOMPARE(untagged.count(), 0);
        QCOMPARE(errors.count(), 0);
    }

    // A failing open-interest request costs the interest only: the candles still answer.
    void openInterestFailuresKeepTheBars_data()
    {
        QTest::addColumn<HttpTestServer::Reply>("oiReply");
        QTest::newRow("open interest HTTP error keeps the bars") << HttpTestServer::Reply::json("{}", 503);
        QTest::newRow("open interest refused keeps the bars") << HttpTestServer::Reply::json("not json");
    }

    void openInterestFailuresKeepTheBars()
    {
        QFETCH(HttpTestServer::Reply, oiReply);
        const QString symbol = "NFO:NIFTY24MARFUT";
        Fixture f;
        f.rest.setReply("POST", kCandlePath, HttpTestServer::Reply::json(candles(
            R"([["2024-03-15T09:15:00+05:30",1,1,1,1,1],["2024-03-15T09:16:00+05:30",1,1,1,1,1]])")));
        f.rest.setReply("POST", kOiPath, oiReply);
        LogCapture quiet(false);
        QSignalSpy done(&f.broker, &IBroker::historicalDataReceived);
        QSignalSpy errors(&f.broker, &IBroker::errorOccurred);
        f.broker.requestHistoricalData(symbol, QDate(2024, 3, 15), QDate(2024, 3, 15), "1min");
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 5000);
        QCOMPARE(done.first().at(0).toString(), symbol);
        const QList<OHLCData> got = done.first().at(1).value<QList<OHLCData>>();
        QCOMPARE(got.size(), 2);
        for (const OHLCData& b : got)
            QCOMPARE(b.openInterest, 0.0);
        // No request is left in flight that could answer a second time.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(f.broker.findChildren<QNetworkReply*>().isEmpty());
        QCOMPARE(done.count(), 1);
        QCOMPARE(errors.count(), 0);
    }

    // A transfer that stalls ends the request as a failure instead of holding it.
    void historyTimesOutInsteadOfHanging()
    {
        Fixture f;
        f.broker.setTransferTimeout(200);
        f.rest.setReply("POST", kCandlePath, HttpTestServer::Reply::silent());
        LogCapture quiet(false);
        QSignalSpy done(&f.broker, &IBroker::historicalDataReceived);
        QSignalSpy errors(&f.broker, &IBroker::errorOccurred);
        f.broker.requestHistoricalData("RELIANCE-EQ", QDate(2024, 3, 15), QDate(2024, 3, 15), "1min");
        QVERIFY(errors.wait(10000));
        QVERIFY2(errors.first().at(0).toString().startsWith("AngelOne history error for RELIANCE-EQ: "),
                 qPrintable(errors.first().at(0).toString()));
        QCOMPARE(done.count(), 0);
    }

    void scripMaster()
    {
        Fixture f;
        QSignalSpy loaded(&f.broker, &AngelOneBroker::instrumentListDownloaded);
        QSignalSpy errors(&f.broker, &IBroker::errorOccurred);
        // A reply that is not a list leaves the repository as it was.
        const int before = f.repo.size();
        f.rest.setReply("GET", kMasterPath, HttpTestServer::Reply::json(R"({"data":[]})"));
        f.broker.downloadInstrumentList();
        QVERIFY(errors.wait(5000));
        QCOMPARE(errors.first().first().toString(), QString("Instrument list response is not an array"));
        QCOMPARE(f.broker.lastError(), QString("Instrument list response is not an array"));
        QCOMPARE(loaded.count(), 0);
        QCOMPARE(f.repo.size(), before);

        SymbolRepository fresh;
        f.broker.setSymbolRepository(&fresh);
        f.rest.setReply("GET", kMasterPath, HttpTestServer::Reply::json(R"([
        {"token":"2885","symbol":"RELIANCE-EQ","exch_seg":"nse_cm","instrumenttype":""},
        {"token":"2222","symbol":"GOLD24APRFUT","exch_seg":"mcx_fo","instrumenttype":"FUTCOM"},
        {"symbol":"NOTOKEN","exch_seg":"nse_cm"}])"));
        // The window starts the download by name, without knowing the class.
        QVERIFY(QMetaObject::invokeMethod(&f.broker, "downloadInstrumentList", Qt::DirectConnection));
        QVERIFY(loaded.wait(5000));
        QCOMPARE(fresh.size(), 2);
        QCOMPARE(fresh.tokenForSymbol("reliance-eq"), QString("2885"));
        QCOMPARE(fresh.tokenForSymbol("MCX:GOLD24APRFUT"), QString("2222"));
        QCOMPARE(fresh.exchangeForToken("2222"), QString("MCX"));
        QVERIFY(f.rest.lastRequest().header("Authorization").isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestAngelOneBroker)
#include "tst_angelonebroker.moc"
