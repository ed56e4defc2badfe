// Threaded WebSocket client of the Dhan feed: a worker object owns the QWebSocket on its own
// thread; the owner reaches it only through queued calls and an atomic open flag.
#include "brokers/dhan/DhanFeedClient.h"

#include "brokers/StreamLinkWatch.h"

#include <QPointer>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>

// Everything in this class runs on the client's thread.
class DhanFeedWorker : public QObject {
public:
    DhanFeedWorker(const QUrl& url, DhanFeedClient::Callback callback, int minWait, int maxWait, int handshakeMs,
                   int silenceMs, std::shared_ptr<std::atomic<bool>> openFlag,
                   std::shared_ptr<std::atomic<int>> attemptCount)
        : url(url), callback(std::move(callback)), minWaitMs(minWait), maxWaitMs(maxWait), handshakeMs(handshakeMs),
          silenceMs(silenceMs), open(std::move(openFlag)), attempts(std::move(attemptCount))
    {
    }

    void begin()
    {
        retryTimer = new QTimer(this);
        retryTimer->setSingleShot(true);
        QObject::connect(retryTimer, &QTimer::timeout, this, [this] { connectNow(); });
        // A server that closes right after each upgrade must not get a fresh back-off every time.
        stableTimer = new QTimer(this);
        stableTimer->setSingleShot(true);
        stableTimer->setInterval(StreamLinkWatch::kStableLinkMs);
        QObject::connect(stableTimer, &QTimer::timeout, this, [this] {
            retries = 0;
            attempts->store(0);
        });
        watch = new StreamLinkWatch(this);
        watch->setTimeouts(handshakeMs, silenceMs);
        QObject::connect(watch, &StreamLinkWatch::expired, this, [this](const QString& reason) {
            DhanFeedEvent e;
            e.type = DhanFeedEvent::Error;
            e.reason = reason;
            const bool wasUp = wasOpen;
            report(e);
            if (wasUp) {
                DhanFeedEvent c;
                c.type = DhanFeedEvent::Close;
                c.closeCode = QWebSocketProtocol::CloseCodeAbnormalDisconnection;
                report(c);
            }
            abandonAndRetry();
        });
        connectNow();
    }

    void send(const QString& text)
    {
        if (socket && open->load())
            socket->sendTextMessage(text);
    }

    void shutdown(quint16 code, const QString& reason)
    {
        stopping = true;
        if (retryTimer)
            retryTimer->stop();
        if (watch)
            watch->stop();
        if (stableTimer)
            stableTimer->stop();
        if (socket) {
            QObject::disconnect(socket, nullptr, this, nullptr);
            if (socket->state() == QAbstractSocket::ConnectedState) {
                socket->close(QWebSocketProtocol::CloseCode(code), reason);
                socket->flush();
            }
            socket->abort();
            delete socket;
            socket = nullptr;
        }
        open->store(false);
        delete retryTimer;
        retryTimer = nullptr;
        // Deleted when the thread finishes, on this thread.
        deleteLater();
        QThread::currentThread()->quit();
    }

private:
    void report(const DhanFeedEvent& event)
    {
        if (callback)
            callback(event);
    }

    void connectNow()
    {
        if (stopping)
            return;
        socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
        QWebSocket* s = socket;
        QObject::connect(s, &QWebSocket::connected, this, [this, s] {
            if (s != socket)
                return;
            stableTimer->start();
            wasOpen = true;
            open->store(true);
            DhanFeedEvent e;
            e.type = DhanFeedEvent::Open;
            report(e);
        });
        QObject::connect(s, &QWebSocket::disconnected, this, [this, s] {
            if (s != socket)
                return;
            open->store(false);
            if (!wasOpen) {
                // A failed attempt reports its error right after this signal; let that come
                // first, then retry (the error handler usually does it already).
                QMetaObject::invokeMethod(
                    this, [this, s] { if (s == socket) abandonAndRetry(); }, Qt::QueuedConnection);
                return;
            }
            DhanFeedEvent e;
            e.type = DhanFeedEvent::Close;
            e.closeCode = int(s->closeCode());
            e.reason = s->closeReason().left(200);
            report(e);
            abandonAndRetry();
        });
        QObject::connect(s, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
                         [this, s](QAbstractSocket::SocketError) {
                             if (s != socket)
                                 return;
                             DhanFeedEvent e;
                             e.type = DhanFeedEvent::Error;
                             e.reason = s->errorString();
                             e.httpStatus = httpStatusOf(e.reason);
                             report(e);
                             if (!wasOpen && (e.httpStatus == 401 || e.httpStatus == 403)) {
                                 // Refused for the credentials: another attempt would be too.
                                 refused = true;
                                 abandonAndRetry();
                                 return;
                             }
                             // A failed attempt may never emit disconnected; an open socket will.
                             if (!wasOpen)
                                 abandonAndRetry();
                         });
        QObject::connect(s, &QWebSocket::textMessageReceived, this, [this](const QString& text) {
            DhanFeedEvent e;
            e.data = text.toUtf8();
            report(e);
        });
        QObject::connect(s, &QWebSocket::binaryMessageReceived, this, [this](const QByteArray& bytes) {
            DhanFeedEvent e;
            e.data = bytes;
            e.binary = true;
            report(e);
        });
        QObject::connect(s, &QWebSocket::pong, this, [this](quint64, const QByteArray&) {
            DhanFeedEvent e;
            e.type = DhanFeedEvent::Pong;
            report(e);
        });
        watch->watch(s);
        s->open(url);
    }

    void abandonAndRetry()
    {
        watch->stop();
        stableTimer->stop();
        if (socket) {
            QObject::disconnect(socket, nullptr, this, nullptr);
            socket->abort();
            socket->deleteLater();
            socket = nullptr;
        }
        wasOpen = false;
        open->store(false);
        if (stopping || refused || !retryTimer || retryTimer->isActive())
            return;
        const qint64 wait = 100LL << std::min(retries, 20);
        ++retries;
        attempts->store(retries);
        retryTimer->start(int(std::clamp<qint64>(wait, minWaitMs, maxWaitMs)));
    }

    // Qt reports a refused handshake as text such as "Unhandled http status code: 401 (...)".
    static int httpStatusOf(const QString& text)
    {
        static const QRegularExpression re(QStringLiteral("status code: (\\d{3})"));
        const QRegularExpressionMatch m = re.match(text);
        return m.hasMatch() ? m.captured(1).toInt() : 0;
    }

    const QUrl url;
    const DhanFeedClient::Callback callback;
    const int minWaitMs;
    const int maxWaitMs;
    const int handshakeMs;
    const int silenceMs;
    std::shared_ptr<std::atomic<bool>> open;
    std::shared_ptr<std::atomic<int>> attempts;
    QWebSocket* socket = nullptr;
    QTimer* retryTimer = nullptr;
    QTimer* stableTimer = nullptr;
    StreamLinkWatch* watch = nullptr;
    int retries = 0;
    bool wasOpen = false;
    bool stopping = false;
    bool refused = false;  // the upgrade was refused for the credentials
};

DhanFeedClient::DhanFeedClient()
    : open(std::make_shared<std::atomic<bool>>(false)), attempts(std::make_shared<std::atomic<int>>(0))
{
}

void DhanFeedClient::setLinkTimeouts(int handshakeMs, int silenceMs)
{
    handshakeTimeoutMs = handshakeMs;
    silenceTimeoutMs = silenceMs;
}

DhanFeedClient::~DhanFeedClient()
{
    stop(1000, QStringLiteral("Normal closure"));
}

void DhanFeedClient::setReconnectWaitRange(int minMs, int maxMs)
{
    minWaitMs = std::max(1, minMs);
    maxWaitMs = std::max(minWaitMs, maxMs);
}

void DhanFeedClient::start()
{
    if (thread)
        return;
    thread = new QThread;
    thread->setObjectName(QStringLiteral("DhanFeed"));
    worker = new DhanFeedWorker(feedUrl, onEvent, minWaitMs, maxWaitMs, handshakeTimeoutMs, silenceTimeoutMs, open,
                                attempts);
    worker->moveToThread(thread);
    DhanFeedWorker* w = worker;
    QMetaObject::invokeMethod(w, [w] { w->begin(); }, Qt::QueuedConnection);
    thread->start();
}

void DhanFeedClient::stop(quint16 code, const QString& reason)
{
    if (!thread)
        return;
    DhanFeedWorker* w = worker;
    QMetaObject::invokeMethod(w, [w, code, reason] { w->shutdown(code, reason); }, Qt::QueuedConnection);
    thread->wait();
    delete thread;
    thread = nullptr;
    worker = nullptr;
    open->store(false);
}

bool DhanFeedClient::sendText(const QString& text)
{
    if (!worker || !open->load())
        return false;
    DhanFeedWorker* w = worker;
    QMetaObject::invokeMethod(w, [w, text] { w->send(text); }, Qt::QueuedConnection);
    return true;
}

bool DhanFeedClient::isOpen() const
{
    return worker && open->load();
}
