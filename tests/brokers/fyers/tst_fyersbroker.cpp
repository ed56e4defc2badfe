// Fyers broker against a loopback stream peer: opening request, subscription and resume frames,
// queued symbols, the keep-alive and what stop and disconnect leave behind.
#include "brokers/fyers/FyersBroker.h"
#include "support/LogCapture.h"
#include "support/WebSocketTestServer.h"

#include <QSignalSpy>
#include <QWebSocket>
#include <QtTest>

namespace {

const QString kResume = "{\"type\":2,\"data\":{\"resumeChannels\":[\"1\"],\"pauseChannels\":[]}}";

QString subscription(const QString& mode, const QString& symbols)
{
    return "{\"type\":1,\"data\":{\"subs\":1,\"mode\":\"" + mode + "\",\"channel\":\"1\",\"symbols\":[" + symbols + "]}}";
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
    void openingRequest_data();
    void openingRequest();
    void queuedSymbolsGoOutOnConnect();
    void subscribeWhileConnected();
    void keepAliveFollowsLiveData();
    void disconnectIsSilent();
};

void TestFyersBroker::openingRequest_data()
{
    QTest::addColumn<QString>("appId");
    QTest::addColumn<QByteArray>("authorization");
    QTest::newRow("app id") << "APP-100" << QByteArray("APP-100:TOK");
    QTest::newRow("client id when no app id") << "" << QByteArray("XY123:TOK");
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

void TestFyersBroker::queuedSymbolsGoOutOnConnect()
{
    LogCapture log(false);
    Stream s;
    s.broker.subscribeLiveData(QStringList{"NSE:SBIN-EQ", "RELIANCE", "NSE:SBIN-EQ"});
    QVERIFY(log.contains("[Fyers] Queued batch subscriptions (not connected):"));
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
    s.broker.subscribeLiveData(QStringList{"BSE:\"Q\"-EQ"});  // quoted names stay valid JSON
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 4, 5000);
    QCOMPARE(s.server.textMessages(), (QStringList{subscription("lite", "\"MCX:GOLD-COM\""), kResume,
                                                   subscription("lite", "\"BSE:\\\"Q\\\"-EQ\""), kResume}));
    s.broker.unsubscribeLiveData("MCX:GOLD-COM");
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
    QCOMPARE(s.server.textMessages().value(0), QString("{\"type\":\"ping\"}"));
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

QTEST_GUILESS_MAIN(TestFyersBroker)
#include "tst_fyersbroker.moc"
