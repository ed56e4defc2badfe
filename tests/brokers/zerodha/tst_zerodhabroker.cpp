// Zerodha broker against a loopback stream peer: opening address, mode messages, queued keys,
// keep-alive, stop and disconnect behaviour.
#include "brokers/zerodha/ZerodhaBroker.h"
#include "support/LogCapture.h"
#include "support/WebSocketTestServer.h"

#include <QSignalSpy>
#include <QWebSocket>
#include <QtTest>

namespace {

QMap<QString, QString> config(const QString& wsUrl, const QString& token = "TOK", const QString& key = "KEY")
{
    return {{"api_key", key}, {"api_secret", "SECRET"}, {"access_token", token}, {"ws_url", wsUrl}};
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
    void openingAddress_data();
    void openingAddress();
    void emptyAddressIsAnError();
    void queuedKeysGoOutOnConnect();
    void subscribeWhileOpen();
    void keepAliveStopAndDisconnect();
    void replacedStreamResubscribes();
    void refusedStreamReportsAndRetries();
    void historyReportsUnavailable();
};

void TestZerodhaBroker::openingAddress_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("token");
    QTest::addColumn<QString>("expectedQuery");
    QTest::newRow("credentials appended") << "/" << "TOK" << "api_key=KEY&access_token=TOK";
    QTest::newRow("no token, nothing appended") << "/" << "" << "";
    QTest::newRow("address with a query kept as is") << "/?x=1" << "TOK" << "x=1";
    QTest::newRow("token cannot add parameters") << "/" << "a&b=c" << "api_key=KEY&access_token=a%26b%3Dc";
}

void TestZerodhaBroker::openingAddress()
{
    QFETCH(QString, suffix);
    QFETCH(QString, token);
    QFETCH(QString, expectedQuery);
    Stream s;
    QSignalSpy up(&s.broker, &IBroker::connectionStatusChanged);
    s.broker.initialize(config(s.server.baseUrl() + suffix, token));
    s.broker.connectToBroker();
    QVERIFY(up.wait(5000));
    const QUrl url = s.server.connectionUrls().value(0);
    QCOMPARE(url.path(), QString("/"));
    QCOMPARE(url.query(QUrl::FullyEncoded), expectedQuery);
}

void TestZerodhaBroker::emptyAddressIsAnError()
{
    ZerodhaBroker broker;
    QSignalSpy errors(&broker, &IBroker::errorOccurred);
    broker.initialize(config(""));
    broker.connectToBroker();
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QString("WebSocket URL not configured"));
    QCOMPARE(broker.lastError(), QString("WebSocket URL not configured"));
    QVERIFY(!broker.isConnected());
}

void TestZerodhaBroker::queuedKeysGoOutOnConnect()
{
    LogCapture log(false);
    Stream s;
    s.broker.initialize(config(s.url()));
    s.broker.subscribeLiveData(QStringList{"408065", "RELIANCE", "884737", "408065"});
    QVERIFY(log.contains("[ZerodhaBroker] Queued batch subscriptions (not connected):"));
    QSignalSpy received(&s.server, &WebSocketTestServer::textMessageReceived);
    s.broker.startLiveData();  // not connected: opens the stream
    s.broker.startLiveData();  // still opening: no second connection
    QVERIFY(received.wait(5000));
    QCOMPARE(s.server.connectionUrls().size(), 1);
    QCOMPARE(s.server.textMessages(), QStringList{"{\"a\":\"mode\",\"v\":[\"full\",[408065,884737]]}"});
    QVERIFY(log.contains("[ZerodhaBroker] Skipping non-numeric token: \"RELIANCE\""));
    QCOMPARE(s.broker.subscribedKeys(), (QStringList{"408065", "RELIANCE", "884737"}));
    QCOMPARE(log.count("access_token="), 0);  // the token stays out of the log
}

void TestZerodhaBroker::subscribeWhileOpen()
{
    Stream s;
    QVERIFY(s.open());
    QSignalSpy received(&s.server, &WebSocketTestServer::textMessageReceived);
    s.broker.subscribeLiveData("256265");
    s.broker.subscribeLiveData(QStringList{"9007199254740993", "NIFTY"});  // a token past double precision
    s.broker.subscribeLiveData(QStringList{"NIFTY"});                      // nothing numeric: nothing sent
    s.broker.unsubscribeLiveData("256265");                                 // sends nothing
    QCOMPARE(s.broker.subscribedKeys(), (QStringList{"9007199254740993", "NIFTY"}));
    // One more subscription: once it is in, anything the calls above sent is in before it.
    s.broker.subscribeLiveData("5633");
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 3, 5000);
    QCOMPARE(s.server.textMessages(), (QStringList{"{\"a\":\"mode\",\"v\":[\"full\",[256265]]}",
                                                   "{\"a\":\"mode\",\"v\":[\"full\",[9007199254740993]]}",
                                                   "{\"a\":\"mode\",\"v\":[\"full\",[5633]]}"}));
}

void TestZerodhaBroker::keepAliveStopAndDisconnect()
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

void TestZerodhaBroker::replacedStreamResubscribes()
{
    Stream s;
    s.broker.subscribeLiveData(QStringList{"408065"});
    QVERIFY(s.open());
    QSignalSpy status(&s.broker, &IBroker::connectionStatusChanged);
    QSignalSpy errors(&s.broker, &IBroker::errorOccurred);
    QSignalSpy gone(&s.server, &WebSocketTestServer::clientDisconnected);
    s.server.clearMessages();
    s.broker.connectToBroker();
    QCOMPARE(status.count(), 1);  // the old connection is over at once
    QVERIFY(!status.at(0).at(0).toBool());
    QTRY_COMPARE_WITH_TIMEOUT(status.count(), 2, 5000);
    QVERIFY(status.at(1).at(0).toBool());
    QTRY_COMPARE_WITH_TIMEOUT(s.server.textMessages(), QStringList{"{\"a\":\"mode\",\"v\":[\"full\",[408065]]}"}, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(gone.count() >= 1, 5000);
    // The replaced socket, once deleted, can send nothing late; a frame on the new stream makes
    // a full round through the event loop.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(s.broker.findChildren<QWebSocket*>().size(), 1);
    QSignalSpy frames(s.broker.findChild<QWebSocket*>(), &QWebSocket::binaryMessageReceived);
    s.server.sendBinary(QByteArray(1, '\0'));  // a keep-alive byte
    QVERIFY(frames.wait(5000));
    QCOMPARE(status.count(), 2);
    QCOMPARE(errors.count(), 0);
    QVERIFY(s.broker.isConnected());
    QCOMPARE(s.server.clientCount(), 1);
}

void TestZerodhaBroker::refusedStreamReportsAndRetries()
{
    QString deadUrl;
    {
        WebSocketTestServer gone;
        QVERIFY(gone.listen());
        deadUrl = gone.baseUrl() + "/";
    }
    ZerodhaBroker broker;
    QSignalSpy errors(&broker, &IBroker::errorOccurred);
    QSignalSpy status(&broker, &IBroker::connectionStatusChanged);
    broker.initialize(config(deadUrl));
    broker.startLiveData();
    QVERIFY(errors.wait(5000));
    QVERIFY(errors.at(0).at(0).toString().startsWith("WebSocket error: "));
    QCOMPARE(broker.lastError(), errors.at(0).at(0).toString());
    QCOMPARE(status.count(), 0);  // never connected, so no "lost" either
    QVERIFY(!broker.isConnected());

    // The failed attempt does not block a later start.
    WebSocketTestServer server;
    QVERIFY(server.listen());
    broker.setStreamUrl(server.baseUrl() + "/");
    broker.startLiveData();
    QVERIFY(status.wait(5000));
    QVERIFY(broker.isConnected());
}

void TestZerodhaBroker::historyReportsUnavailable()
{
    ZerodhaBroker broker;
    QSignalSpy errors(&broker, &IBroker::errorOccurred);
    QSignalSpy bars(&broker, &IBroker::historicalDataReceived);
    broker.requestIntradayData("408065", "1");
    QCOMPARE(errors.count(), 0);  // reported after the caller has returned
    QVERIFY(errors.wait(5000));
    QCOMPARE(errors.at(0).at(0).toString(), broker.lastError());
    QVERIFY(!broker.lastError().isEmpty());
    QCOMPARE(bars.count(), 0);
}

QTEST_GUILESS_MAIN(TestZerodhaBroker)
#include "tst_zerodhabroker.moc"
