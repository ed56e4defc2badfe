// Loopback redirect listener: size and time limits, ports in order, and answers that survive
// closing the listener (request lines split across reads are covered by the login tests).
#include "brokers/LoopbackRedirectServer.h"
#include "support/LoopbackClient.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

class TestLoopbackRedirectServer : public QObject {
    Q_OBJECT
private slots:
    void limitsDropTheConnectionUnanswered_data();
    void limitsDropTheConnectionUnanswered();
    void answerSurvivesClosingTheListener();
    void triesPortsInOrder();
};

void TestLoopbackRedirectServer::limitsDropTheConnectionUnanswered_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<int>("timeoutMs");
    QTest::newRow("line longer than the cap") << QByteArray(4096, 'a') << 10000;
    QTest::newRow("line never finished") << QByteArray("GET /?code=1") << 100;
}

void TestLoopbackRedirectServer::limitsDropTheConnectionUnanswered()
{
    QFETCH(QByteArray, sent);
    QFETCH(int, timeoutMs);
    LoopbackRedirectServer server;
    server.setLimits(1024, timeoutMs);
    int calls = 0;
    server.setHandler([&](const QByteArray&) {
        ++calls;
        return QByteArray("x");
    });
    QVERIFY(server.listen({0}));
    bool closed = false;
    const QByteArray answer = LoopbackClient::request(server.port(), {sent}, &closed);
    QVERIFY(closed);
    QVERIFY(answer.isEmpty());
    QCOMPARE(calls, 0);
    QVERIFY(server.isListening());
}

void TestLoopbackRedirectServer::answerSurvivesClosingTheListener()
{
    LoopbackRedirectServer server;
    const QByteArray page = "HTTP/1.1 200 OK\r\n\r\n" + QByteArray(256 * 1024, 'p');
    server.setHandler([&](const QByteArray&) {
        server.close();
        return page;
    });
    QVERIFY(server.listen({0}));
    const quint16 port = server.port();
    QCOMPARE(LoopbackClient::request(port, {"GET /?code=1 HTTP/1.1\r\n"}).size(), page.size());
    QVERIFY(!server.isListening());
}

void TestLoopbackRedirectServer::triesPortsInOrder()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
    const quint16 free = LoopbackClient::freePort();
    LoopbackRedirectServer server;
    QVERIFY(server.listen({taken.serverPort(), free}));
    QCOMPARE(server.port(), free);
    LoopbackRedirectServer second;
    QVERIFY(!second.listen({taken.serverPort()}));
    QVERIFY(!second.isListening());
}

QTEST_GUILESS_MAIN(TestLoopbackRedirectServer)
#include "tst_loopbackredirectserver.moc"
