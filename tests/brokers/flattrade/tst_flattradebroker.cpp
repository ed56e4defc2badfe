// FlatTrade broker against a loopback stream peer: key forms, queued and sent keys, resubscription
// on start and on a new stream, unsubscribe messages, keep-alive and stop.
#include "brokers/flattrade/FlatTradeBroker.h"
#include "support/LogCapture.h"
#include "support/WebSocketTestServer.h"
#include "symbols/SymbolRepository.h"

#include <QSignalSpy>
#include <QWebSocket>
#include <QtTest>

class TestFlatTradeBroker : public QObject {
    Q_OBJECT

    struct Stream {
        WebSocketTestServer server;
        SymbolRepository repo;
        FlatTradeBroker broker;
        Stream()
        {
            QVERIFY(server.listen());
            repo.addSymbol("RELIANCE", "2885", "NSE", "EQ");
            broker.setSymbolRepository(&repo);
            broker.initialize({{"access_token", "TOK"}, {"client_id", "FT1"},
                               {"ws_url", server.baseUrl() + "/PiConnectWSTp/"}});
        }
        bool open()
        {
            QSignalSpy up(&broker, &IBroker::connectionStatusChanged);
            broker.connectToBroker();
            return up.wait(5000) && broker.isConnected();
        }
    };

private slots:
    void keyFormsAndQueuedFlush();
    void onlyUnsentKeysGoOut();
    void unsubscribe();
    void keepAliveAndStop();
};

void TestFlatTradeBroker::keyFormsAndQueuedFlush()
{
    LogCapture log(false);
    Stream s;
    // Exchange-qualified keys pass unchanged, symbols become NSE keys, anything unknown or holding
    // the wire's key separator is left out.
    s.broker.subscribeLiveData(QStringList{"BSE|500325", "RELIANCE", "UNKNOWN", "NSE|1#NSE|2", "BSE|500325"});
    QVERIFY(log.contains("[FlatTradeBroker] Queued batch subscriptions (not connected):"));
    QCOMPARE(s.broker.pendingKeys(), (QStringList{"BSE|500325", "NSE|2885"}));
    QSignalSpy received(&s.server, &WebSocketTestServer::textMessageReceived);
    QVERIFY(s.open());
    QVERIFY(received.wait(5000));
    QCOMPARE(s.server.textMessages(), QStringList{"{\"t\":\"d\",\"k\":\"BSE|500325#NSE|2885\"}"});
    QVERIFY(s.broker.pendingKeys().isEmpty());
    QCOMPARE(s.server.connectionUrls().value(0).path(), QString("/PiConnectWSTp/"));
}

void TestFlatTradeBroker::onlyUnsentKeysGoOut()
{
    LogCapture log(false);
    Stream s;
    QVERIFY(s.open());
    QSignalSpy received(&s.server, &WebSocketTestServer::textMessageReceived);
    s.broker.subscribeLiveData(QStringList{"NSE|22", "RELIANCE"});
    s.broker.subscribeLiveData(QStringList{"NSE|22", "MCX|4"});  // NSE|22 is on the stream already
    s.broker.startLiveData();                                    // sends the whole set again
    QVERIFY(log.contains("[FlatTradeBroker] subscribing when start live"));
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 3, 5000);
    QCOMPARE(s.server.textMessages(), (QStringList{"{\"t\":\"d\",\"k\":\"NSE|22#NSE|2885\"}",
                                                   "{\"t\":\"d\",\"k\":\"MCX|4\"}",
                                                   "{\"t\":\"d\",\"k\":\"NSE|22#NSE|2885#MCX|4\"}"}));
    QCOMPARE(s.server.connectionUrls().size(), 1);

    // A new stream carries nothing of the old one: every key goes out on it again.
    s.server.clearMessages();
    received.clear();
    QVERIFY(s.open());
    QVERIFY(received.wait(5000));
    QCOMPARE(s.server.textMessages(), QStringList{"{\"t\":\"d\",\"k\":\"NSE|22#NSE|2885#MCX|4\"}"});
}

void TestFlatTradeBroker::unsubscribe()
{
    Stream s;
    s.broker.subscribeLiveData(QStringList{"NSE|22", "RELIANCE"});
    s.broker.unsubscribeLiveData("NSE|22");  // not connected: dropped from the queue, nothing sent
    QVERIFY(s.open());
    QSignalSpy received(&s.server, &WebSocketTestServer::textMessageReceived);
    QVERIFY(received.wait(5000));
    s.broker.unsubscribeLiveData("NSE|99");    // never held: ignored
    s.broker.unsubscribeLiveData("RELIANCE");  // the symbol names its NSE key
    QVERIFY(s.broker.subscribedKeys().isEmpty());
    // One more subscription: once it is in, anything the calls above sent is in before it.
    s.broker.subscribeLiveData("MCX|4");
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 3, 5000);
    QCOMPARE(s.server.textMessages(), (QStringList{"{\"t\":\"d\",\"k\":\"NSE|2885\"}",
                                                   "{\"t\":\"u\",\"k\":[\"NSE|2885\"]}",
                                                   "{\"t\":\"d\",\"k\":\"MCX|4\"}"}));
}

void TestFlatTradeBroker::keepAliveAndStop()
{
    Stream s;
    s.broker.setPingInterval(20);
    QVERIFY(s.open());
    auto* socket = s.broker.findChild<QWebSocket*>();
    QVERIFY(socket);
    QSignalSpy pongs(socket, &QWebSocket::pong);
    QVERIFY(pongs.wait(5000));
    s.broker.stopLiveData();
    QVERIFY(!s.broker.isPingActive());
    QVERIFY(s.broker.isConnected());
    QSignalSpy status(&s.broker, &IBroker::connectionStatusChanged);
    s.broker.disconnectFromBroker();
    QCOMPARE(status.count(), 1);
    QVERIFY(!status.at(0).at(0).toBool());
}

QTEST_GUILESS_MAIN(TestFlatTradeBroker)
#include "tst_flattradebroker.moc"
