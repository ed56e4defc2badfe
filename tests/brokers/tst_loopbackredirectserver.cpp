// Loopback redirect listener: request lines split across reads, size and time limits, ports in
// order, and answers that survive closing the listener.
#include "brokers/LoopbackRedirectServer.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Sends the pieces one by one (each flushed on its own) and returns all the peer answered
// before closing the connection.
QByteArray exchange(quint16 port, const QList<QByteArray>& pieces, bool* closed = nullptr)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(5000))
        return "not connected";
    for (const QByteArray& p : pieces) {
        s.write(p);
        s.waitForBytesWritten(5000);
        QCoreApplication::processEvents();
    }
    QByteArray answer;
    QSignalSpy gone(&s, &QTcpSocket::disconnected);
    QElapsedTimer t;
    t.start();
    while (s.state() == QAbstractSocket::ConnectedState && t.elapsed() < 5000) {
        gone.wait(100);
        answer += s.readAll();
    }
    answer += s.readAll();
    if (closed)
        *closed = s.state() != QAbstractSocket::ConnectedState;
    return answer;
}

}  // namespace

class TestLoopbackRedirectServer : public QObject {
    Q_OBJECT
private slots:
    void requestLineSplitAcrossReads();
    void limitsDropTheConnectionUnanswered_data();
    void limitsDropTheConnectionUnanswered();
    void answerSurvivesClosingTheListener();
    void triesPortsInOrder();
};

void TestLoopbackRedirectServer::requestLineSplitAcrossReads()
{
    LoopbackRedirectServer server;
    QList<QByteArray> lines;
    server.setHandler([&](const QByteArray& line) {
        lines << line;
        return QByteArray("HTTP/1.1 200 OK\r\n\r\nok");
    });
    QVERIFY(server.listen({0}));
    const QByteArray answer =
        exchange(server.port(), {"GET /?code=AB", "CD&state=1 HTTP/1.1\r", "\nHost: 127.0.0.1\r\n\r\n"});
    QCOMPARE(answer, QByteArray("HTTP/1.1 200 OK\r\n\r\nok"));
    QCOMPARE(lines, QList<QByteArray>{"GET /?code=ABCD&state=1 HTTP/1.1"});
}

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
    const QByteArray answer = exchange(server.port(), {sent}, &closed);
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
    QCOMPARE(exchange(port, {"GET /?code=1 HTTP/1.1\r\n"}).size(), page.size());
    QVERIFY(!server.isListening());
}

void TestLoopbackRedirectServer::triesPortsInOrder()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
    const quint16 free = freePort();
    LoopbackRedirectServer server;
    QVERIFY(server.listen({taken.serverPort(), free}));
    QCOMPARE(server.port(), free);
    LoopbackRedirectServer second;
    QVERIFY(!second.listen({taken.serverPort()}));
    QVERIFY(!second.isListening());
}

QTEST_GUILESS_MAIN(TestLoopbackRedirectServer)
#include "tst_loopbackredirectserver.moc"
