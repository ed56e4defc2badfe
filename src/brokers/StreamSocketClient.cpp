// Broker stream socket with keep-alive and replacement guard.
#include "brokers/StreamSocketClient.h"

#include "brokers/StreamLinkWatch.h"

#include <QNetworkRequest>
#include <QTimer>
#include <QWebSocket>

void endStreamSocket(QWebSocket* socket)
{
    if (socket->state() == QAbstractSocket::ConnectedState)
        socket->close(QWebSocketProtocol::CloseCodeNormal, QString());
    else
        socket->abort();
    socket->deleteLater();
}

StreamSocketClient::StreamSocketClient(QObject* parent)
    : QObject(parent), pingTimer(new QTimer(this)), watch(new StreamLinkWatch(this))
{
    pingTimer->setInterval(30000);
    connect(pingTimer, &QTimer::timeout, this, &StreamSocketClient::onPingTimer);
    connect(watch, &StreamLinkWatch::expired, this, &StreamSocketClient::onLinkExpired);
}

StreamSocketClient::~StreamSocketClient()
{
    release();
}

QAbstractSocket::SocketState StreamSocketClient::state() const
{
    return socket ? socket->state() : QAbstractSocket::UnconnectedState;
}

void StreamSocketClient::release()
{
    open_ = false;
    watch->stop();
    if (!socket)
        return;
    // Cut the old socket off first: nothing it reports later may reach the current connection.
    disconnect(socket, nullptr, this, nullptr);
    socket->abort();
    socket->deleteLater();
    socket = nullptr;
}

void StreamSocketClient::open(const QNetworkRequest& request)
{
    release();
    socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    QWebSocket* const current = socket;
    connect(socket, &QWebSocket::connected, this, [this, current] {
        if (current != socket)
            return;
        open_ = true;
        emit connected();
    });
    connect(socket, &QWebSocket::disconnected, this, [this, current] {
        if (current != socket || !open_)
            return;
        open_ = false;
        pingTimer->stop();
        const QString problem = StreamLinkWatch::closeProblem(current);
        if (!problem.isEmpty())
            emit failed(problem);
        emit disconnected();
    });
    connect(socket, &QWebSocket::textMessageReceived, this, [this, current](const QString& message) {
        if (current == socket)
            emit textMessageReceived(message);
    });
    connect(socket, &QWebSocket::binaryMessageReceived, this, [this, current](const QByteArray& data) {
        if (current == socket)
            emit binaryMessageReceived(data);
    });
    connect(socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            [this, current](QAbstractSocket::SocketError) {
                if (current == socket)
                    emit failed(socket->errorString());
            });
    watch->watch(socket);
    socket->open(request);
}

void StreamSocketClient::close()
{
    pingTimer->stop();
    watch->stop();
    if (socket) {
        disconnect(socket, nullptr, this, nullptr);
        endStreamSocket(socket);
        socket = nullptr;
    }
    open_ = false;
}

bool StreamSocketClient::sendText(const QString& text)
{
    if (!open_ || !socket)
        return false;
    socket->sendTextMessage(text);
    return true;
}

void StreamSocketClient::setPingInterval(int ms)
{
    pingTimer->setInterval(ms);
}

int StreamSocketClient::pingInterval() const
{
    return pingTimer->interval();
}

void StreamSocketClient::startPing()
{
    pingTimer->start();
}

void StreamSocketClient::stopPing()
{
    pingTimer->stop();
}

bool StreamSocketClient::isPinging() const
{
    return pingTimer->isActive();
}

void StreamSocketClient::onPingTimer()
{
    if (!open_ || !socket)
        return;
    if (pingMessage.isEmpty())
        socket->ping();
    else
        socket->sendTextMessage(pingMessage);
}

void StreamSocketClient::setLinkTimeouts(int handshakeMs, int silenceMs)
{
    watch->setTimeouts(handshakeMs, silenceMs);
}

void StreamSocketClient::onLinkExpired(const QString& reason)
{
    const bool wasOpen = open_;
    pingTimer->stop();
    release();
    emit failed(reason);
    if (wasOpen)
        emit disconnected();
}
