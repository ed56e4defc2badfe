// The loopback redirect listener: port fallback, request lines cut across reads, idle and
// oversized connections dropped without disturbing the real redirect.
#include "brokers/LoopbackRedirectServer.h"

#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

class TestLoopbackRedirectServer : public QObject {
    Q_OBJECT
private slots:
    void answersTheFirstFreePort();
    void droppedConnectionsLeaveTheListenerWaiting();
};

void TestLoopbackRedirectServer::answersTheFirstFreePort()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 freePort = probe.serverPort();
    probe.close();

    LoopbackRedirectServer server;
    QList<QByteArray> lines;
    server.setResponder([&lines](const QByteArray& line) {
        lines << line;
        return QByteArray("HTTP/1.1 200 OK\r\n\r\ndone");
    });
    QVERIFY(server.listen({taken.serverPort(), freePort}));
    QCOMPARE(server.port(), freePort);

    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, freePort);
    QVERIFY(s.waitForConnected(5000));
    s.write("GET /?code=a");
    QTRY_VERIFY_WITH_TIMEOUT(s.bytesToWrite() == 0, 5000);
    s.write("bc HTTP/1.1\r\nHost: x\r\n\r\n");
    QSignalSpy closed(&s, &QTcpSocket::disconnected);
    QVERIFY(closed.wait(5000));
    QCOMPARE(s.readAll(), QByteArray("HTTP/1.1 200 OK\r\n\r\ndone"));
    QCOMPARE(lines, QList<QByteArray>{"GET /?code=abc HTTP/1.1"});

    LoopbackRedirectServer none;
    QVERIFY(!none.listen({taken.serverPort()}));
    QVERIFY(!none.errorString().isEmpty());
}

void TestLoopbackRedirectServer::droppedConnectionsLeaveTheListenerWaiting()
{
    LoopbackRedirectServer server;
    int answered = 0;
    server.setResponder([&answered](const QByteArray&) {
        ++answered;
        return QByteArray("HTTP/1.1 200 OK\r\n\r\n");
    });
    server.setRequestTimeoutMs(50);
    server.setMaxRequestLineBytes(64);
    QVERIFY(server.listen({0}));
    QSignalSpy dropped(&server, &LoopbackRedirectServer::requestDropped);

    QTcpSocket idle;  // a browser's speculative connection that never sends
    idle.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(idle.waitForConnected(5000));
    QVERIFY(dropped.wait(5000));
    QCOMPARE(dropped.last().at(0).toString(), QStringLiteral("timed out"));

    QTcpSocket flood;
    flood.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(flood.waitForConnected(5000));
    flood.write(QByteArray(200, 'A'));
    QVERIFY(dropped.wait(5000));
    QCOMPARE(dropped.last().at(0).toString(), QStringLiteral("request too long"));
    QCOMPARE(answered, 0);

    QVERIFY(server.isListening());
    QTcpSocket real;
    real.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(real.waitForConnected(5000));
    real.write("GET /?tokenId=x HTTP/1.1\r\n\r\n");
    QSignalSpy closed(&real, &QTcpSocket::disconnected);
    QVERIFY(closed.wait(5000));
    QCOMPARE(answered, 1);
}

QTEST_GUILESS_MAIN(TestLoopbackRedirectServer)
#include "tst_loopbackredirectserver.moc"
