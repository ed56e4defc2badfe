// Loopback listener for login redirects: request line buffering, limits, answer and close.
#include "brokers/LoopbackRedirectServer.h"

#include <QDebug>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QVariant>

namespace {
const char kBufferProperty[] = "loopbackRequestBuffer";
const char kAnsweredProperty[] = "loopbackAnswered";
}

LoopbackRedirectServer::LoopbackRedirectServer(QObject* parent) : QObject(parent) {}

LoopbackRedirectServer::~LoopbackRedirectServer() = default;

void LoopbackRedirectServer::setLimits(int maxBytes, int ms)
{
    maxRequestBytes = maxBytes;
    timeoutMs = ms;
}

bool LoopbackRedirectServer::listen(const QList<quint16>& ports)
{
    close();
    server = new QTcpServer(this);
    connect(server, &QTcpServer::newConnection, this, &LoopbackRedirectServer::onNewConnection);
    for (quint16 port : ports) {
        if (server->listen(QHostAddress::LocalHost, port))
            return true;
    }
    server->deleteLater();
    server = nullptr;
    return false;
}

void LoopbackRedirectServer::close()
{
    if (!server)
        return;
    // Accepted sockets are children of this object, not of the listener, so closing the
    // listener does not cut off a page still being written.
    server->close();
    server->deleteLater();
    server = nullptr;
}

bool LoopbackRedirectServer::isListening() const
{
    return server && server->isListening();
}

quint16 LoopbackRedirectServer::port() const
{
    return server ? server->serverPort() : 0;
}

void LoopbackRedirectServer::onNewConnection()
{
    if (!server)
        return;
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        // A client that never finishes its request line is cut off.
        QTimer::singleShot(timeoutMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
    }
}

void LoopbackRedirectServer::onReadyRead(QTcpSocket* socket)
{
    if (socket->property(kAnsweredProperty).toBool()) {
        socket->readAll();  // the rest of the request (headers) is not needed
        return;
    }
    QByteArray buffer = socket->property(kBufferProperty).toByteArray();
    buffer += socket->read(qMax<qint64>(0, qint64(maxRequestBytes) + 1 - buffer.size()));
    const int end = buffer.indexOf('\n');
    if (end < 0 || end > maxRequestBytes) {
        if (buffer.size() > maxRequestBytes) {
            qWarning() << "[LoopbackRedirectServer] Request line too long, connection dropped";
            socket->abort();
            socket->deleteLater();
        } else {
            socket->setProperty(kBufferProperty, buffer);
        }
        return;
    }
    QByteArray line = buffer.left(end);
    if (line.endsWith('\r'))
        line.chop(1);
    socket->setProperty(kAnsweredProperty, true);
    socket->setProperty(kBufferProperty, QVariant());
    const QByteArray answer = onRequest ? onRequest(line) : QByteArray();
    if (!answer.isEmpty())
        socket->write(answer);
    socket->flush();
    socket->disconnectFromHost();
}
