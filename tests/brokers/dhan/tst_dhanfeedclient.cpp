// The threaded feed client against a loopback WebSocket peer: events arrive on the client's own
// thread, a stop is no drop, and a client retrying a dead host stops when destroyed.
#include "brokers/dhan/DhanFeedClient.h"
#include "support/ClosedPort.h"
#include "support/WebSocketTestServer.h"

#include <QMutex>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

namespace {

// Collects events from the client's thread; the test reads them on its own.
struct Recorder {
    mutable QMutex mutex;
    QList<DhanFeedEvent::Type> types;
    QList<QThread*> threads;

    DhanFeedClient::Callback callback()
    {
        return [this](const DhanFeedEvent& e) {
            QMutexLocker lock(&mutex);
            types.append(e.type);
            threads.append(QThread::currentThread());
        };
    }
    int count(DhanFeedEvent::Type type) const
    {
        QMutexLocker lock(&mutex);
        return int(types.count(type));
    }
    bool allOffThread(QThread* main) const
    {
        QMutexLocker lock(&mutex);
        return !threads.isEmpty() && !threads.contains(main);
    }
};

}  // namespace

class TestDhanFeedClient : public QObject {
    Q_OBJECT
private slots:
    void eventsOffTheGuiThreadAndQuietStop()
    {
        WebSocketTestServer server;
        QVERIFY(server.listen());
        Recorder rec;
        DhanFeedClient client;
        QVERIFY(!client.sendText("early"));  // not started: nothing to send on
        client.setUrl(QUrl(server.baseUrl()));
        client.setOnMessageCallback(rec.callback());
        client.start();
        QTRY_COMPARE_WITH_TIMEOUT(rec.count(DhanFeedEvent::Open), 1, 5000);
        server.sendBinary(QByteArray("\x08\x00\x01", 3));
        QTRY_COMPARE_WITH_TIMEOUT(rec.count(DhanFeedEvent::Message), 1, 5000);
        QVERIFY(rec.allOffThread(QThread::currentThread()));

        QSignalSpy gone(&server, &WebSocketTestServer::clientDisconnected);
        client.stop(1000, "Normal closure");
        QVERIFY(!client.isOpen());
        QVERIFY(gone.count() > 0 || gone.wait(5000));
        // A stop is the owner's doing: no close event, no reconnection.
        QCOMPARE(rec.count(DhanFeedEvent::Close), 0);
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), 0, 5000);
        QCOMPARE(server.connectionUrls().size(), 1);
    }

    void stopWhileRetryingEndsEverything()
    {
        ClosedPort refusing;
        QVERIFY(refusing.isValid());
        const quint16 port = refusing.port();
        Recorder rec;
        {
            DhanFeedClient client;
            client.setUrl(QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(port)));
            client.setReconnectWaitRange(1, 5);
            client.setOnMessageCallback(rec.callback());
            client.start();
            QTRY_VERIFY_WITH_TIMEOUT(rec.count(DhanFeedEvent::Error) >= 3, 5000);
        }  // the destructor stops and joins: the thread is gone, so nothing more can arrive
        QVERIFY(rec.allOffThread(QThread::currentThread()));
    }
};

QTEST_GUILESS_MAIN(TestDhanFeedClient)
#include "tst_dhanfeedclient.moc"
