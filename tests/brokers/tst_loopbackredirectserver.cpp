// Loopback redirect listener: port fallback, request line assembly, size cap and time-out.
#include "brokers/LoopbackRedirectServer.h"
#include "support/BrowserStandIn.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

class TestLoopbackRedirectServer : public QObject {
    Q_OBJECT
private slots:
    void triesPortsInOrder();
    void requestLines_data();
    void requestLines();
    void silentClientIsDropped();
};

void TestLoopbackRedirectServer::triesPortsInOrder()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 freePort = probe.serverPort();
    probe.close();

    LoopbackRedirectServer server;
    QVERIFY(server.listen({taken.serverPort(), freePort}));
    QCOMPARE(server.port(), freePort);
    QVERIFY(!LoopbackRedirectServer().listen({taken.serverPort()}));
    server.close();
    QVERIFY(!server.isListening());
}

void TestLoopbackRedirectServer::requestLines_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QString>("line");  // null: dropped unanswered; empty: answered here
    QTest::newRow("whole") << QList<QByteArray>{"GET /?code=1 HTTP/1.1\r\nHost: x\r\n\r\n"}
                           << "GET /?code=1 HTTP/1.1";
    QTest::newRow("in chunks") << QList<QByteArray>{"GET /?co", "de=1 HTTP/1.1", "\r\n\r\n"}
                               << "GET /?code=1 HTTP/1.1";
    QTest::newRow("bare line feed") << QList<QByteArray>{"GET / HTTP/1.0\n"} << "GET / HTTP/1.0";
    QTest::newRow("NUL ends the line") << QList<QByteArray>{QByteArray("GET /?a=1\0&b=2 HTTP/1.1\r\n", 25)}
                                       << "GET /?a=1";
    QTest::newRow("icon request not passed on") << QList<QByteArray>{"GET /favicon.ico HTTP/1.1\r\n\r\n"}
                                                << QString("");
    QTest::newRow("too long") << QList<QByteArray>{QByteArray(300, 'x'), QByteArray(300, 'y')} << QString();
}

void TestLoopbackRedirectServer::requestLines()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QString, line);
    LoopbackRedirectServer server;
    server.setMaxRequestBytes(512);
    QVERIFY(server.listen({0}));
    QStringList lines;
    connect(&server, &LoopbackRedirectServer::requestLineReceived, this, [&](const QString& l, QTcpSocket* c) {
        lines << l;
        LoopbackRedirectServer::respond(c, "HTTP/1.1 204 No Content\r\n\r\n");
    });
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(client.waitForConnected(5000));
    QPointer<QTcpSocket> far = BrowserStandIn::acceptedEnd(&server, client);
    QVERIFY(far);
    for (const QByteArray& p : chunks) {
        // Each chunk is read on its own: the server reads before this spy sees the signal.
        QSignalSpy read(far.data(), &QIODevice::readyRead);
        client.write(p);
        QVERIFY(client.waitForBytesWritten(5000));
        QTRY_VERIFY_WITH_TIMEOUT(!far || !read.isEmpty(), 5000);
        if (!far)
            break;
    }
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 5000);
    if (line.isNull()) {
        QVERIFY(lines.isEmpty());
        QVERIFY(client.readAll().isEmpty());
    } else if (line.isEmpty()) {
        QVERIFY(lines.isEmpty());
        QVERIFY(client.readAll().startsWith("HTTP/1.1 404 Not Found\r\n"));
    } else {
        QCOMPARE(lines, QStringList{line});
        QCOMPARE(client.readAll(), QByteArray("HTTP/1.1 204 No Content\r\n\r\n"));
    }
}

void TestLoopbackRedirectServer::silentClientIsDropped()
{
    LoopbackRedirectServer server;
    server.setRequestTimeout(100);
    QVERIFY(server.listen({0}));
    QSignalSpy lines(&server, &LoopbackRedirectServer::requestLineReceived);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(client.waitForConnected(5000));
    client.write("GET /?code=");
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 5000);
    QCOMPARE(lines.count(), 0);
}

QTEST_GUILESS_MAIN(TestLoopbackRedirectServer)
#include "tst_loopbackredirectserver.moc"
