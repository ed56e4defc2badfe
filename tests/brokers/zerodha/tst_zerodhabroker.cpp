// Zerodha broker against a loopback stream peer: subscription messages, queued keys, ticks named
// from the repository, hostile frames, the refused-token alert, keep-alive, stop and disconnect.
#include "brokers/zerodha/ZerodhaBroker.h"
#include "core/SettingsManager.h"
#include "support/BrokerTestSetup.h"
#include "support/LogCapture.h"
#include "support/RefusingHttpServer.h"
#include "support/WebSocketTestServer.h"
#include "support/ZerodhaFrames.h"
#include "symbols/SymbolRepository.h"

#include <QSignalSpy>
#include <QWebSocket>
#include <QtTest>

namespace {

QMap<QString, QString> config(const QString& wsUrl)
{
    return {{"api_key", "KEY"}, {"api_secret", "SECRET"}, {"access_token", "TOK"}, {"ws_url", wsUrl}};
}

QString subscribe(const QString& tokens)
{
    return QStringLiteral("{\"a\":\"subscribe\",\"v\":[%1]}").arg(tokens);
}

QString mode(const QString& tokens)
{
    return QStringLiteral("{\"a\":\"mode\",\"v\":[\"full\",[%1]]}").arg(tokens);
}

}  // namespace

class TestZerodhaBroker : public QObject {
    Q_OBJECT

    struct Stream {
        WebSocketTestServer server;
        ZerodhaBroker broker;
        Stream() { QVERIFY(server.listen()); }
        QString url() const { return server.baseUrl() + "/"; }
        bool open()
        {
            QSignalSpy up(&broker, &IBroker::connectionStatusChanged);
            broker.initialize(config(url()));
            broker.connectToBroker();
            return up.wait(5000) && broker.isConnected();
        }
    };

private slots:
    void initTestCase() { setUpBrokerTest("tst_zerodhabroker"); }

    void queuedKeysGoOutOnConnect()
    {
        LogCapture log(false);
        Stream s;
        s.broker.initialize(config(s.url()));
        s.broker.subscribeLiveData(QStringList{"408065", "RELIANCE", "884737", "408065"});
        QSignalSpy received(&s.server, &WebSocketTestServer::textMessageReceived);
        s.broker.startLiveData();  // not connected: opens the stream
        s.broker.startLiveData();  // still opening: no second connection
        QVERIFY(received.wait(5000));
        QCOMPARE(s.server.connectionUrls().size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(s.server.textMessages(),
                                  (QStringList{subscribe("408065,884737"), mode("408065,884737")}), 5000);
        QCOMPARE(s.broker.subscribedKeys(), (QStringList{"408065", "RELIANCE", "884737"}));
        QCOMPARE(log.count("access_token="), 0);  // the token stays out of the log
    }

    void subscribeWhileOpen()
    {
        Stream s;
        QVERIFY(s.open());
        // A name without a token is held but not sent; a token past double precision goes out exact.
        s.broker.subscribeLiveData(QStringList{"9007199254740993", "NIFTY"});
        QTRY_COMPARE_WITH_TIMEOUT(s.server.textMessages().size(), 2, 5000);
        QCOMPARE(s.server.textMessages(), (QStringList{subscribe("9007199254740993"), mode("9007199254740993")}));
        QCOMPARE(s.broker.subscribedKeys(), (QStringList{"9007199254740993", "NIFTY"}));

        // One unsubscribe for what left, then what came.
        s.server.clearMessages();
        s.broker.unsubscribeLiveData("9007199254740993");
        s.broker.unsubscribeLiveData("NIFTY");
        s.broker.subscribeLiveData(QStringList{"5633", "256265"});
        const QStringList expected{"{\"a\":\"unsubscribe\",\"v\":[9007199254740993]}", subscribe("5633,256265"),
                                   mode("5633,256265")};
        QTRY_COMPARE_WITH_TIMEOUT(s.server.textMessages().size(), expected.size(), 5000);
        QCOMPARE(s.server.textMessages(), expected);

        // Every (re)connection sends the whole set again, subscribe first.
        s.server.clearMessages();
        s.server.closeClients();
        QTRY_VERIFY_WITH_TIMEOUT(!s.broker.isConnected(), 5000);
        s.broker.startLiveData();
        QTRY_COMPARE_WITH_TIMEOUT(s.server.textMessages(),
                                  (QStringList{subscribe("5633,256265"), mode("5633,256265")}), 5000);
    }

    void keepAliveStopAndDisconnect()
    {
        Stream s;
        s.broker.setPingInterval(20);
        QVERIFY(s.open());
        QVERIFY(s.broker.isPingActive());
        auto* socket = s.broker.findChild<QWebSocket*>();
        QVERIFY(socket);
        QSignalSpy pongs(socket, &QWebSocket::pong);
        QVERIFY(pongs.wait(5000));

        // Stop halts the keep-alive only: the stream stays open and its frames still arrive.
        s.broker.stopLiveData();
        QVERIFY(!s.broker.isPingActive());
        QVERIFY(s.broker.isConnected());
        QSignalSpy binaries(socket, &QWebSocket::binaryMessageReceived);
        s.server.sendBinary(QByteArray(44, '\x01'));
        QVERIFY(binaries.wait(5000));
        s.broker.startLiveData();  // connected: nothing
        QCOMPARE(s.server.connectionUrls().size(), 1);
        QVERIFY(!s.broker.isPingActive());

        QSignalSpy status(&s.broker, &IBroker::connectionStatusChanged);
        s.broker.disconnectFromBroker();
        QCOMPARE(status.count(), 1);
        QVERIFY(!status.at(0).at(0).toBool());
        QVERIFY(!s.broker.isConnected());

        // A server-side close is reported once and not retried.
        QVERIFY(s.open());
        status.clear();
        s.server.closeClients();
        QTRY_COMPARE_WITH_TIMEOUT(status.count(), 1, 5000);
        QVERIFY(!status.at(0).at(0).toBool());
        QVERIFY(!s.broker.isPingActive());
        QCOMPARE(s.server.connectionUrls().size(), 2);
    }

    void refusedUpgrade_data()
    {
        QTest::addColumn<QByteArray>("statusLine");
        QTest::addColumn<bool>("expired");
        QTest::newRow("403: token expired") << QByteArray("HTTP/1.1 403 Forbidden") << true;
        QTest::newRow("401: an ordinary error") << QByteArray("HTTP/1.1 401 Unauthorized") << false;
    }

    void refusedUpgrade()
    {
        QFETCH(QByteArray, statusLine);
        QFETCH(bool, expired);
        RefusingHttpServer refuser(statusLine);
        QVERIFY(refuser.listen());
        ZerodhaBroker broker;
        QSignalSpy errors(&broker, &IBroker::errorOccurred);
        QSignalSpy alerts(&broker, &ZerodhaBroker::tokenExpired);
        broker.initialize(config(refuser.wsUrl() + "/"));
        broker.connectToBroker();
        QVERIFY(errors.wait(5000));
        QVERIFY(errors.at(0).at(0).toString().startsWith("WebSocket error: "));
        // Qt reports the one refusal twice: still one alert per attempt.
        QCOMPARE(alerts.count(), expired ? 1 : 0);
        QVERIFY(!broker.isConnected());
        broker.connectToBroker();  // the first attempt's socket can report nothing more
        errors.clear();
        QVERIFY(errors.wait(5000));
        QCOMPARE(alerts.count(), expired ? 2 : 0);
    }

    void ticksNamedAndStamped()
    {
        using namespace ZerodhaFrames;
        Stream s;
        SymbolRepository repository;
        repository.addSymbol("RELIANCE", "408065", "NSE", "EQ");
        repository.addSymbol("NIFTY 50", "256265", "NSE", "INDEX");
        repository.addSymbol("OTHER", "884737", "BSE", "EQ");  // same number, another exchange: not a match
        SettingsManager settings;
        settings.cacheSymbolName("1234945", "CACHEDNAME");
        s.broker.setSymbolRepository(&repository);
        s.broker.setSettingsManager(&settings);
        QVERIFY(s.open());
        QSignalSpy ticks(&s.broker, &IBroker::tickReceived);
        s.server.sendBinary(message({packet({408065, 250010, 1, 0, 7, 0, 0, 249000, 0, 0, 0, 1709264765}, 184),
                                     packet({256265, 2245010, 0, 0, 0, 0, 0, 1709264767}, 32),
                                     packet({884737, 100}, 8), packet({1234945, 5000}, 8)}));
        QTRY_COMPARE_WITH_TIMEOUT(ticks.count(), 4, 5000);
        QStringList got;
        for (const QList<QVariant>& args : ticks) {
            const auto t = args.at(0).value<TickData>();
            QVERIFY(t.isValid());
            got << QStringLiteral("%1 %2 %3 %4").arg(t.symbol, t.exchange).arg(t.ltp).arg(t.timestamp.toSecsSinceEpoch());
        }
        QCOMPARE(got.mid(0, 2), (QStringList{"RELIANCE NSE 2500.1 1709264765", "NIFTY 50 NSE 22450.1 1709264767"}));
        QVERIFY(got[2].startsWith("884737 NSE 1 "));
        QVERIFY(got[3].startsWith("CACHEDNAME NSE 50 "));
    }

    void hostileFramesAndTextMessages()
    {
        using namespace ZerodhaFrames;
        LogCapture log(false);
        Stream s;
        QVERIFY(s.open());
        QSignalSpy ticks(&s.broker, &IBroker::tickReceived);
        QSignalSpy errors(&s.broker, &IBroker::errorOccurred);
        const QByteArray ltp = packet({408065, 100}, 8);
        for (int i = 0; i < 3; ++i) {
            s.server.sendBinary(message({QByteArray(20, '\x02'), QByteArray(20, '\x02')}));
            s.server.sendBinary(message({ltp, packet({}, 184)}).chopped(100));
            s.server.sendBinary(QByteArray(1, '\0'));
        }
        // Order updates, notices and text that is not JSON are no errors; an error message is.
        s.server.sendText(R"({"type":"order","data":{"order_id":"1"}})");
        s.server.sendText(R"({"type":"message","data":"maintenance at 6"})");
        s.server.sendText("not json");
        s.server.sendText(R"({"type":"error","data":"Invalid subscription"})");
        QVERIFY(errors.wait(5000));
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(0).toString(), QString("Zerodha stream error: Invalid subscription"));
        QCOMPARE(ticks.count(), 3);  // the packet before each cut
        QCOMPARE(log.count(QtWarningMsg, "[ZerodhaBroker] Skipping packets of unknown length 20"), 1);
        QCOMPARE(log.count(QtWarningMsg, "[ZerodhaBroker] Malformed binary message: packet 2 of 2 claims 184 bytes"), 1);
        QVERIFY(s.broker.isConnected());
    }
};

QTEST_GUILESS_MAIN(TestZerodhaBroker)
#include "tst_zerodhabroker.moc"
