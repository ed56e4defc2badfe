// Dhan broker against loopback peers: subscription requests, resubscription after a
// drop, ticks on the GUI thread with the right prices, market hours, keep-alive, refused
// handshakes, stopping, history requests and the instrument master.
#include "brokers/dhan/DhanBroker.h"
#include "core/SettingsManager.h"
#include "support/BrokerTestSetup.h"
#include "support/DhanFrames.h"
#include "support/HttpTestServer.h"
#include "support/LogCapture.h"
#include "support/RefusingHttpServer.h"
#include "support/WebSocketTestServer.h"
#include "symbols/SymbolRepository.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>


namespace {

QMap<QString, QString> creds(const QString& token = "TOK", const QString& client = "C1")
{
    return {{"access_token", token}, {"client_id", client}};
}

// (segment, security id) pairs of one subscription request.
QStringList instrumentsOf(const QString& message)
{
    QStringList out;
    const QJsonObject o = QJsonDocument::fromJson(message.toUtf8()).object();
    for (const QJsonValue& v : o.value("InstrumentList").toArray()) {
        const QJsonObject e = v.toObject();
        // The id travels as text.
        out << e.value("ExchangeSegment").toString() + "/"
                + (e.value("SecurityId").isString() ? e.value("SecurityId").toString() : QStringLiteral("?"));
    }
    return out;
}

QStringList subscriptions(const QStringList& texts)
{
    QStringList out;
    for (const QString& t : texts)
        if (t.contains("\"RequestCode\":21"))
            out << t;
    return out;
}

QByteArray packet(quint32 id, float ltp, qint32 ltt, quint8 segment = 1)
{
    return DhanFrames::quote(id, ltp, ltt, segment);
}

// The instrument list as the broker files it: exchange and segment columns of their own.
void addInstrument(SymbolRepository& repo, const QString& symbol, const QString& id, const QString& segment,
                   const QString& instrument)
{
    IndianSymbolData r;
    r.symbol = symbol;
    r.token = id;
    r.exchange = symbol.section(':', 0, 0);
    r.segment = segment;
    r.instrumentType = instrument;
    repo.addSymbols({r});
}

}  // namespace

class TestDhanBroker : public QObject {
    Q_OBJECT

    struct Feed {
        WebSocketTestServer server;
        SymbolRepository repo;
        DhanBroker broker;
        Feed()
        {
            QVERIFY(server.listen());
            broker.setFeedBaseUrl(server.baseUrl());
            broker.setReconnectWaitRange(1, 20);
            addInstrument(repo, "NSE:SBIN", "3045", "NSE_EQ", "EQUITY");
            addInstrument(repo, "NSE:NIFTY24DECFUT", "35001", "NSE_FNO", "FUTIDX");
            addInstrument(repo, "MCX:CRUDEOIL", "4242", "MCX_COMM", "FUTCOM");
            addInstrument(repo, "BSE:SENSEX", "51", "IDX_I", "INDEX");
            // One number, two instruments: an index and a share.
            addInstrument(repo, "NSE:NIFTY", "13", "IDX_I", "INDEX");
            addInstrument(repo, "NSE:ABB", "13", "NSE_EQ", "EQUITY");
            // Filed without a segment (an older master): found by its exchange.
            repo.addSymbol("NSE:OLD", "777001", "NSE", "NSE");
            broker.setSymbolRepository(&repo);
        }
        bool open()
        {
            QSignalSpy up(&broker, &IBroker::connectionStatusChanged);
            broker.initialize(creds());
            return (up.count() > 0 || up.wait(5000)) && broker.isConnected();
        }
    };

    // A broker whose REST host is a loopback server.
    struct Rest {
        HttpTestServer http;
        SymbolRepository repo;
        DhanBroker broker;
        Rest()
        {
            QVERIFY(http.listen());
            addInstrument(repo, "NSE:SBIN", "3045", "NSE_EQ", "EQUITY");
            addInstrument(repo, "MCX:CRUDEOIL", "4242", "MCX_COMM", "FUTCOM");
            addInstrument(repo, "NSE:NIFTY", "13", "IDX_I", "INDEX");
            broker.setRestBaseUrl(http.baseUrl());
            broker.setSymbolRepository(&repo);
        }
    };

private slots:
    void initTestCase() { setUpBrokerTest("tst_dhanbroker", true); }

    void subscriptionsWaitForTheOpenFeed()
    {
        Feed f;
        f.broker.subscribeLiveData(QStringList{"NSE:SBIN", "4242", "NSE:SBIN"});
        f.broker.subscribeLiveData("NSE:SBIN");
        QCOMPARE(f.broker.pendingSubscriptions(), (QStringList{"NSE:SBIN", "4242"}));
        QVERIFY(f.open());
        QTRY_COMPARE_WITH_TIMEOUT(subscriptions(f.server.textMessages()).size(), 1, 5000);
        const QString sent = subscriptions(f.server.textMessages()).first();
        QCOMPARE(sent, QStringLiteral("{\"InstrumentCount\":2,\"InstrumentList\":[{\"ExchangeSegment\":\"NSE_EQ\","
                                      "\"SecurityId\":\"3045\"},{\"ExchangeSegment\":\"MCX_COMM\",\"SecurityId\":\"4242\"}],"
                                      "\"RequestCode\":21}"));
        QVERIFY(f.broker.pendingSubscriptions().isEmpty());
        QCOMPARE(f.broker.subscribedSymbols(), (QStringList{"NSE:SBIN", "4242"}));
    }

    void segmentsAndIds_data()
    {
        QTest::addColumn<QStringList>("symbols");
        QTest::addColumn<QStringList>("sent");
        QTest::addColumn<QList<int>>("counts");  // instruments per request
        // The master's segment column decides, whatever the name looks like.
        QTest::newRow("future") << QStringList{"NSE:NIFTY24DECFUT"} << QStringList{"NSE_FNO/35001"} << QList<int>{1};
        QTest::newRow("index") << QStringList{"BSE:SENSEX", "NSE:NIFTY"} << QStringList{"IDX_I/51", "IDX_I/13"}
                               << QList<int>{2};
        QTest::newRow("numeric id takes its symbol's segment") << QStringList{"35001"} << QStringList{"NSE_FNO/35001"}
                                                               << QList<int>{1};
        QTest::newRow("unknown numeric id") << QStringList{"777"} << QStringList{"NSE_EQ/777"} << QList<int>{1};
        QTest::newRow("unknown symbol left out") << QStringList{"NSE:NOPE", "NSE:SBIN"} << QStringList{"NSE_EQ/3045"}
                                                 << QList<int>{1};
        QStringList ids, sent;
        for (int i = 0; i < 250; ++i) {
            ids << QString::number(100000 + i);
            sent << "NSE_EQ/" + ids.last();
        }
        QTest::newRow("long lists go out in hundreds") << ids << sent << QList<int>{100, 100, 50};
    }

    void segmentsAndIds()
    {
        QFETCH(QStringList, symbols);
        QFETCH(QList<int>, counts);
        Feed f;
        QVERIFY(f.open());
        f.broker.subscribeLiveData(symbols);
        QTRY_COMPARE_WITH_TIMEOUT(subscriptions(f.server.textMessages()).size(), counts.size(), 5000);
        QStringList all;
        QList<int> got;
        for (const QString& m : subscriptions(f.server.textMessages())) {
            got << QJsonDocument::fromJson(m.toUtf8()).object().value("InstrumentCount").toInt(-1);
            all += instrumentsOf(m);
        }
        QTEST(all, "sent");
        QCOMPARE(got, counts);
    }

    void dropResubscribesEverything()
    {
        Feed f;
        QVERIFY(f.open());
        f.broker.subscribeLiveData(QStringList{"NSE:SBIN", "MCX:CRUDEOIL", "BSE:SENSEX"});
        f.broker.unsubscribeLiveData("BSE:SENSEX");
        QTRY_COMPARE_WITH_TIMEOUT(subscriptions(f.server.textMessages()).size(), 1, 5000);

        QSignalSpy status(&f.broker, &IBroker::connectionStatusChanged);
        f.server.clearMessages();
        f.server.closeClients();
        QTRY_COMPARE_WITH_TIMEOUT(status.count(), 2, 5000);
        QCOMPARE(status.at(0).at(0).toBool(), false);
        QCOMPARE(status.at(1).at(0).toBool(), true);
        QTRY_COMPARE_WITH_TIMEOUT(subscriptions(f.server.textMessages()).size(), 1, 5000);
        // The reopened feed carries what is subscribed now, not what was unsubscribed.
        QCOMPARE(instrumentsOf(subscriptions(f.server.textMessages()).first()),
                 (QStringList{"NSE_EQ/3045", "MCX_COMM/4242"}));
        QCOMPARE(f.server.connectionUrls().size(), 2);
    }

    void ticksArriveOnTheGuiThread()
    {
        Feed f;
        const qint32 now = qint32(QDateTime::currentSecsSinceEpoch());
        QVERIFY(f.open());
        QList<QThread*> threads;
        QStringList got;
        connect(&f.broker, &IBroker::tickReceived, this, [&](const TickData& t) {
            threads << QThread::currentThread();
            got << QStringLiteral("%1/%2/%3 %4").arg(t.symbol, t.exchange, t.token).arg(t.ltp);
        });
        f.server.sendBinary(packet(3045, 812.5f, now));
        // An id the master does not know keeps its number as the name instead of an empty ticker.
        f.server.sendBinary(packet(999999, 10.5f, now));
        // One number in two segments: each packet reaches its own instrument.
        f.server.sendBinary(packet(13, 22500.0f, now, 0));
        f.server.sendBinary(packet(13, 5600.0f, now, 1));
        f.server.sendBinary(packet(777001, 1.5f, now, 1));
        QTRY_COMPARE_WITH_TIMEOUT(got.size(), 5, 5000);
        QCOMPARE(threads.count(QThread::currentThread()), 5);
        QCOMPARE(got, (QStringList{"NSE:SBIN/NSE/3045 812.5", "999999/NSE/999999 10.5", "NSE:NIFTY/NSE/13 22500",
                                   "NSE:ABB/NSE/13 5600", "NSE:OLD/NSE/777001 1.5"}));
    }

    void marketHoursFilter()
    {
        Feed f;
        SettingsManager settings;
        const QDateTime night(QDate(2025, 3, 14), QTime(3, 0));
        const QDateTime day(QDate(2025, 3, 14), QTime(10, 0));
        f.broker.setClock([day] { return day; });
        f.broker.setSettingsManager(&settings);
        QVERIFY(f.open());
        QSignalSpy ticks(&f.broker, &IBroker::tickReceived);
        // A trade at 03:00 is plausible (within a day) but outside the session; the 10:00 one is the
        // sentinel that shows the first was handled and dropped.
        f.server.sendBinary(packet(3045, 800.0f, qint32(night.toSecsSinceEpoch())));
        f.server.sendBinary(packet(3045, 801.0f, qint32(day.toSecsSinceEpoch())));
        QTRY_VERIFY_WITH_TIMEOUT(ticks.count() >= 1, 5000);
        QCOMPARE(ticks.count(), 1);
        QCOMPARE(ticks.first().at(0).value<TickData>().ltp, 801.0);
    }

    void jsonTicksAndBadFrames()
    {
        Feed f;
        QVERIFY(f.open());
        QSignalSpy ticks(&f.broker, &IBroker::tickReceived);
        f.server.sendBinary(QByteArray(61, '\x01'));  // one byte short of a packet
        f.server.sendText("not json");
        f.server.sendText("[1,2,3]");
        f.server.sendText(R"({"ResponseCode":5})");
        f.server.sendText(R"({"ResponseCode":50,"Data":{"SecurityId":4242,"LTP":6123.5,"Volume":77,"OI":9}})");
        QTRY_COMPARE_WITH_TIMEOUT(ticks.count(), 1, 5000);
        // The server ends the session with a reason: it is reported, not dropped.
        QSignalSpy errors(&f.broker, &IBroker::errorOccurred);
        f.server.sendBinary(DhanFrames::disconnect(1, 0, 807));
        QVERIFY(errors.wait(5000));
        QCOMPARE(errors.first().at(0).toString(),
                 QStringLiteral("Dhan feed disconnected by the server (reason 807: access token expired)"));
        QCOMPARE(f.broker.lastError(), errors.first().at(0).toString());
        QCOMPARE(ticks.first().at(0).value<TickData>().symbol, QStringLiteral("MCX:CRUDEOIL"));
        QVERIFY(f.broker.isConnected());
    }

    void keepAliveOnlyWhileOpen()
    {
        Feed f;
        f.broker.setPingIntervalMs(10);
        QVERIFY(!f.broker.pingTimerActive());
        QVERIFY(f.open());
        QVERIFY(f.broker.pingTimerActive());
        QTRY_VERIFY_WITH_TIMEOUT(f.server.textMessages().contains("{\"RequestCode\":16}"), 5000);
        f.broker.stopLiveData();
        QVERIFY(!f.broker.pingTimerActive());
        QVERIFY(f.broker.isConnected());  // the feed stays

        QList<bool> timerAtStatus;
        connect(&f.broker, &IBroker::connectionStatusChanged, this,
                [&](bool) { timerAtStatus << f.broker.pingTimerActive(); });
        f.server.closeClients();
        // Down: the timer stops; back up by itself: it runs again.
        QTRY_COMPARE_WITH_TIMEOUT(timerAtStatus, (QList<bool>{false, true}), 5000);
        f.broker.disconnectFromBroker();
        QVERIFY(!f.broker.pingTimerActive());
    }

    void refusedHandshakeWarnsAboutToken()
    {
        RefusingHttpServer refuser("HTTP/1.1 403 Forbidden");
        QVERIFY(refuser.listen());
        LogCapture log(false);
        DhanBroker broker;
        broker.setFeedBaseUrl(refuser.wsUrl());
        broker.setReconnectWaitRange(1000, 1000);
        QSignalSpy errors(&broker, &IBroker::errorOccurred);
        broker.initialize(creds());
        QVERIFY(errors.wait(5000));
        QCOMPARE(errors.count(), 1);
        QVERIFY(errors.first().at(0).toString().contains("403"));
        // Said to be about the connection, so the window shows it in the status line.
        QVERIFY(errors.first().at(0).toString().startsWith("Dhan feed connection error: "));
        QCOMPARE(broker.lastError(), errors.first().at(0).toString());
        QCOMPARE(log.count(QtWarningMsg, "[DhanBroker] Authentication error - invalid or expired token"), 1);
        QCOMPARE(log.count(QtWarningMsg, "You need to authenticate using the 'Authenticate' button in Settings."), 1);
        QVERIFY(!broker.isConnected());
    }

    void disconnectWhileConnectingStaysDown()
    {
        Feed f;
        QSignalSpy status(&f.broker, &IBroker::connectionStatusChanged);
        QSignalSpy errors(&f.broker, &IBroker::errorOccurred);
        f.broker.initialize(creds());
        // Stopped before the open event is handled: whatever the feed thread queued is stale now.
        f.broker.disconnectFromBroker();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QCOMPARE(status.count(), 0);
        QVERIFY(!f.broker.isConnected());
        // The handshake of the stopped attempt may still reach the server; nothing comes after it
        // (a feed left retrying every few milliseconds would connect again and again).
        QSignalSpy arrivals(&f.server, &WebSocketTestServer::clientConnected);
        while (arrivals.wait(300)) {
        }
        QVERIFY(f.server.connectionUrls().size() <= 1);
        QTRY_COMPARE_WITH_TIMEOUT(f.server.clientCount(), 0, 5000);
        QCOMPARE(errors.count(), 0);
        // Disconnecting again is harmless and says nothing.
        f.broker.disconnectFromBroker();
        QCOMPARE(status.count(), 0);
    }

    void noTicksAfterDisconnect()
    {
        Feed f;
        QVERIFY(f.open());
        int afterDisconnect = 0;
        bool stopped = false;
        connect(&f.broker, &IBroker::tickReceived, this, [&](const TickData&) {
            if (stopped) {
                ++afterDisconnect;
                return;
            }
            // Stop at the first tick while the rest are still queued for this thread.
            stopped = true;
            f.broker.disconnectFromBroker();
        });
        for (int i = 0; i < 300; ++i)
            f.server.sendBinary(packet(3045, 100.0f + i, 0));
        QTRY_VERIFY_WITH_TIMEOUT(stopped, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(f.server.clientCount(), 0, 5000);
        QCoreApplication::processEvents();
        QCOMPARE(afterDisconnect, 0);
        QVERIFY(!f.broker.isConnected());
    }

    void destroyedWithTicksInFlight()
    {
        WebSocketTestServer server;
        QVERIFY(server.listen());
        auto* broker = new DhanBroker;
        broker->setFeedBaseUrl(server.baseUrl());
        QSignalSpy up(broker, &IBroker::connectionStatusChanged);
        broker->initialize(creds());
        QVERIFY(up.wait(5000));
        for (int i = 0; i < 200; ++i)
            server.sendBinary(packet(3045, 100.0f + i, 0));
        QTRY_VERIFY_WITH_TIMEOUT(!server.clients().isEmpty(), 5000);
        // Ticks may be half-way across the thread boundary; the broker must go cleanly anyway.
        delete broker;
        QCoreApplication::processEvents();
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), 0, 5000);
    }

    void history_data()
    {
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<QString>("interval");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("reported");
        QTest::addColumn<QByteArray>("body");  // besides "expiryCode":0 and "oi":false
        QTest::newRow("5minute equity") << "NSE:SBIN" << "5minute" << "/v2/charts/intraday" << "NSE:SBIN"
                                        << QByteArray(R"("securityId":"3045","exchangeSegment":"NSE_EQ","instrument":"EQUITY",)"
                                                      R"("interval":"5","fromDate":"2024-06-03 09:15:00","toDate":"2024-06-04 15:30:00")");
        // Daily: the end date is exclusive at the service, so the day after the user's last one.
        QTest::newRow("daily by id") << "4242" << "day" << "/v2/charts/historical" << "MCX:CRUDEOIL"
                                     << QByteArray(R"("securityId":"4242","exchangeSegment":"MCX_COMM","instrument":"FUTCOM",)"
                                                   R"("fromDate":"2024-06-03","toDate":"2024-06-05")");
        QTest::newRow("index from the master's columns")
            << "NSE:NIFTY" << "day" << "/v2/charts/historical" << "NSE:NIFTY"
            << QByteArray(R"("securityId":"13","exchangeSegment":"IDX_I","instrument":"INDEX","fromDate":"2024-06-03","toDate":"2024-06-05")");
        QTest::newRow("unknown id") << "777" << "1hour" << "/v2/charts/intraday" << "777"
                                    << QByteArray(R"("securityId":"777","exchangeSegment":"NSE_EQ","instrument":"EQUITY",)"
                                                  R"("interval":"60","fromDate":"2024-06-03 09:15:00","toDate":"2024-06-04 15:30:00")");
    }

    void history()
    {
        QFETCH(QString, symbol);
        QFETCH(QString, interval);
        QFETCH(QString, path);
        QFETCH(QString, reported);
        QFETCH(QByteArray, body);
        Rest r;
        HttpTestServer& http = r.http;
        DhanBroker& broker = r.broker;
        broker.initialize({{"access_token", ""}, {"client_id", "C1"}});
        broker.initialize({{"access_token", "TOK"}});  // absent key keeps the client id
        broker.disconnectFromBroker();
        http.setReply("POST", path,
                      HttpTestServer::Reply::json(R"({"open":[10.5,11],"high":[12,13],"low":[9,10],"close":[11,12.5],)"
                                                  R"("volume":[100],"timestamp":[1717386300,1717386600]})"));
        QSignalSpy bars(&broker, &IBroker::historicalDataReceived);
        broker.requestHistoricalData(symbol, QDate(2024, 6, 3), QDate(2024, 6, 4), interval);
        QVERIFY(bars.wait(5000));
        const HttpTestServer::Request req = http.lastRequest();
        QCOMPARE(req.header("access-token"), QByteArray("TOK"));
        QCOMPARE(req.header("content-type"), QByteArray("application/json"));
        QCOMPARE(QJsonDocument::fromJson(req.body).object(),
                 QJsonDocument::fromJson("{" + body + R"(,"expiryCode":0,"oi":false})").object());
        QCOMPARE(bars.first().at(0).toString(), reported);
        const QList<OHLCData> list = bars.first().at(1).value<QList<OHLCData>>();
        QCOMPARE(list.size(), 2);
        QCOMPARE(list.at(0).symbol, reported);
    }

    void historyFailures()
    {
        Rest r;
        HttpTestServer& http = r.http;
        DhanBroker& broker = r.broker;
        QSignalSpy errors(&broker, &IBroker::errorOccurred);
        QSignalSpy bars(&broker, &IBroker::historicalDataReceived);

        broker.requestHistoricalData("NSE:NOPE", QDate(2024, 6, 3), QDate(2024, 6, 3), "day");
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.last().at(0).toString(), QStringLiteral("Could not find security ID for symbol: NSE:NOPE"));
        QCOMPARE(http.requestCount(), 0);

        http.setReply("POST", "/v2/charts/historical", HttpTestServer::Reply::json(R"({"errorCode":"DH-906"})", 400));
        broker.requestHistoricalData("NSE:SBIN", QDate(2024, 6, 3), QDate(2024, 6, 3), "day");
        QVERIFY(errors.wait(5000));
        QVERIFY(errors.last().at(0).toString().startsWith("Historical data request failed for NSE:SBIN: "));

        http.setReply("POST", "/v2/charts/historical", HttpTestServer::Reply::json("{\"open\":[1,"));
        broker.requestHistoricalData("NSE:SBIN", QDate(2024, 6, 3), QDate(2024, 6, 3), "day");
        QVERIFY(errors.wait(5000));
        QVERIFY(errors.last().at(0).toString().startsWith("Failed to parse historical data: "));

        // A reply without arrays is an empty answer, not an error.
        http.setReply("POST", "/v2/charts/historical", HttpTestServer::Reply::json("{}"));
        broker.requestHistoricalData("NSE:SBIN", QDate(2024, 6, 3), QDate(2024, 6, 3), "day");
        QVERIFY(bars.wait(5000));
        QCOMPARE(bars.last().at(1).value<QList<OHLCData>>().size(), 0);
        QCOMPARE(errors.count(), 3);
    }

    void instrumentMaster()
    {
        HttpTestServer http;
        QVERIFY(http.listen());
        SymbolRepository repo;
        DhanBroker broker;
        broker.setScripMasterBaseUrl(http.baseUrl());
        QSignalSpy done(&broker, &DhanBroker::instrumentListDownloaded);

        http.setReply("GET", "/api-data/api-scrip-master.csv", HttpTestServer::Reply::json("{}", 503));
        broker.setSymbolRepository(&repo);
        broker.downloadInstrumentList();
        QTRY_VERIFY_WITH_TIMEOUT(!broker.lastError().isEmpty(), 5000);
        QCOMPARE(done.count(), 0);
        QCOMPARE(repo.size(), 0);

        const QByteArray csv = "SEM_EXM_EXCH_ID,SEM_SEGMENT,SEM_SMST_SECURITY_ID,a,b,SEM_TRADING_SYMBOL,c,NAME,d,e,f,g,h,i,j,k\n"
                               "NSE,E,3045,x,x,SBIN,x,SBI,x,x,x,x,x,x,x,x\n"
                               "MCX,M,4242,x,x,CRUDEOIL,x,CRUDE,x,x,x,x,x,x,x,x,x,x\n";
        http.setReply("GET", "/api-data/api-scrip-master.csv", HttpTestServer::Reply::bytes(csv, "text/csv"));
        // The main window starts the download by name.
        QVERIFY(QMetaObject::invokeMethod(&broker, "downloadInstrumentList", Qt::DirectConnection));
        QVERIFY(done.wait(5000));
        QCOMPARE(repo.size(), 2);
        QCOMPARE(repo.tokenForSymbol("NSE:SBIN"), QStringLiteral("3045"));
        QCOMPARE(repo.symbolForToken("4242"), QStringLiteral("MCX:CRUDEOIL"));
        // The exchange column is the exchange; with the segment column it names the segment.
        QCOMPARE(repo.findByToken("3045").exchange, QStringLiteral("NSE"));
        QCOMPARE(repo.symbolForExchangeToken("NSE_EQ", "3045"), QStringLiteral("NSE:SBIN"));
        QCOMPARE(repo.symbolForExchangeToken("MCX_COMM", "4242"), QStringLiteral("MCX:CRUDEOIL"));
    }
};

QTEST_GUILESS_MAIN(TestDhanBroker)
#include "tst_dhanbroker.moc"
