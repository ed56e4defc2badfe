// Loopback redirect listener: port fallback, request line assembly, size cap and time-out, and
// receivers that run an event loop of their own (attempts: tst_browserlogins).
#include "brokers/LoopbackRedirectServer.h"
#include "brokers/RedirectRequestLine.h"
#include "support/BrowserStandIn.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

class TestLoopbackRedirectServer : public QObject {
    Q_OBJECT
private slots:
    void triesPortsInOrder()
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
    void describePorts_data()
    {
        QTest::addColumn<QList<quint16>>("ports");
        QTest::addColumn<QString>("text");
        QTest::newRow("one") << QList<quint16>{40123} << "port 40123";
        QTest::newRow("a run") << QList<quint16>{8766, 8767, 8768} << "ports 8766-8768";
        QTest::newRow("apart") << QList<quint16>{8766, 9000} << "ports 8766, 9000";
        QTest::newRow("run and single") << QList<quint16>{9000, 8766, 8767} << "ports 9000, 8766-8767";
        QTest::newRow("system's choice") << QList<quint16>{0} << "any free port";
        QTest::newRow("none") << QList<quint16>{} << "no port";
    }
    void describePorts()
    {
        QFETCH(QList<quint16>, ports);
        QTEST(LoopbackRedirectServer::describePorts(ports), "text");
    }
    void requestLines_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<QString>("line");  // null: dropped unanswered; empty: answered here with `answer`
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("whole") << QList<QByteArray>{"GET /?code=1 HTTP/1.1\r\nHost: x\r\n\r\n"}
                               << "GET /?code=1 HTTP/1.1" << QByteArray();
        QTest::newRow("in chunks") << QList<QByteArray>{"GET /?co", "de=1 HTTP/1.1", "\r\n\r\n"}
                                   << "GET /?code=1 HTTP/1.1" << QByteArray();
        QTest::newRow("bare line feed") << QList<QByteArray>{"GET / HTTP/1.0\n"} << "GET / HTTP/1.0" << QByteArray();
        QTest::newRow("NUL ends the line") << QList<QByteArray>{QByteArray("GET /?a=1\0&b=2 HTTP/1.1\r\n", 25)}
                                           << "GET /?a=1" << QByteArray();
        QTest::newRow("icon request not passed on") << QList<QByteArray>{"GET /favicon.ico HTTP/1.1\r\n\r\n"}
                                                    << QString("") << QByteArray("HTTP/1.1 404 Not Found\r\n");
        QTest::newRow("not a GET refused") << QList<QByteArray>{"POST /?code=1 HTTP/1.1\r\n\r\n"} << QString("")
                                           << QByteArray("HTTP/1.1 400 Bad Request\r\n");
        QTest::newRow("target not a path refused") << QList<QByteArray>{"GET @evil/?code=1 HTTP/1.1\r\n\r\n"}
                                                   << QString("") << QByteArray("HTTP/1.1 400 Bad Request\r\n");
        QTest::newRow("too long") << QList<QByteArray>{QByteArray(300, 'x'), QByteArray(300, 'y')} << QString() << QByteArray();
    }
    void requestLines()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QString, line);
        QFETCH(QByteArray, answer);
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
            QVERIFY(client.readAll().startsWith(answer));
        } else {
            QCOMPARE(lines, QStringList{line});
            QCOMPARE(client.readAll(), QByteArray("HTTP/1.1 204 No Content\r\n\r\n"));
        }
    }
    void silentClientIsDropped()
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
    void receiverMayRunAnEventLoop()
    {
        LoopbackRedirectServer server;
        QVERIFY(server.listen({0}));
        QTcpSocket browser;
        browser.connectToHost(QHostAddress::LocalHost, server.port());
        QVERIFY(browser.waitForConnected(5000));
        QPointer<QTcpSocket> far = BrowserStandIn::acceptedEnd(&server, browser);
        QVERIFY(far);
        bool stillReading = false;
        bool farGone = false;
        // A message box runs an event loop: the socket must not be inside its own readyRead then
        // (it would read nothing more, and could be deleted under that signal). The browser gives up
        // meanwhile and its connection goes.
        connect(&server, &LoopbackRedirectServer::requestLineReceived, this, [&](const QString&, QTcpSocket*) {
            QSignalSpy more(far.data(), &QIODevice::readyRead);
            browser.write("Host: 127.0.0.1\r\n");
            browser.flush();
            stillReading = more.wait(5000) || !more.isEmpty();
            browser.abort();
            farGone = QTest::qWaitFor([&] { return far.isNull(); }, 5000);
        });
        browser.write("GET /?code=1 HTTP/1.1\r\n");
        browser.flush();
        QTRY_VERIFY_WITH_TIMEOUT(farGone, 15000);
        QVERIFY(stillReading);
    }
    void requestTargets_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("path");  // null: refused as malformed
        QTest::addColumn<QString>("code");
        QTest::newRow("redirect") << QByteArray("GET /cb?code=A%2Fb HTTP/1.1") << "/cb" << "A/b";
        QTest::newRow("not a GET") << QByteArray("POST /?code=A HTTP/1.1") << QString() << QString();
        QTest::newRow("target not a path") << QByteArray("GET @evil/?code=A HTTP/1.1") << QString() << QString();
        QTest::newRow("absolute target") << QByteArray("GET http://evil/?code=A HTTP/1.1") << QString() << QString();
        QTest::newRow("no target") << QByteArray("GET") << QString() << QString();
        QTest::newRow("look-alike name") << QByteArray("GET /?x_code=A HTTP/1.1") << "/" << QString();
    }
    void requestTargets()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, path);
        QFETCH(QString, code);
        const QUrl target = RedirectRequestLine::target(line);
        QCOMPARE(target.isValid(), !path.isNull());
        if (path.isNull())
            return;
        QCOMPARE(target.path(), path);
        QCOMPARE(QUrlQuery(target).queryItemValue("code", QUrl::FullyDecoded), code);
    }
};

QTEST_GUILESS_MAIN(TestLoopbackRedirectServer)
#include "tst_loopbackredirectserver.moc"
