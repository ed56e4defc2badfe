// Loopback listener for browser login redirects: one request line per connection, bounded in size
// and time, answered and closed.
#include "brokers/LoopbackRedirectServer.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {
const char kBufferProperty[] = "_redirectBuffer";
const char kAnsweredProperty[] = "_redirectAnswered";
}

LoopbackRedirectServer::LoopbackRedirectServer(QObject* parent) : QObject(parent), server(new QTcpServer(this))
{
    connect(server, &QTcpServer::newConnection, this, &LoopbackRedirectServer::onNewConnection);
}

LoopbackRedirectServer::~LoopbackRedirectServer() = default;

bool LoopbackRedirectServer::listen(const QList<quint16>& ports)
{
    server->close();
    lastError.clear();
    for (quint16 p : ports) {
        if (server->listen(QHostAddress::LocalHost, p))
            return true;
        lastError = server->errorString();
    }
    if (ports.isEmpty())
        lastError = QStringLiteral("No port to listen on");
    return false;
}

void LoopbackRedirectServer::close()
{
    server->close();
}

bool LoopbackRedirectServer::isListening() const
{
    return server->isListening();
}

quint16 LoopbackRedirectServer::port() const
{
    return server->serverPort();
}

void LoopbackRedirectServer::onNewConnection()
{
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        // The socket belongs to this object, not to the listener, so stopping the listener does
        // not cut off a page that is still being written.
        socket->setParent(this);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        auto* timer = new QTimer(socket);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this, socket] { drop(socket, QStringLiteral("timed out")); });
        timer->start(timeoutMs);
        if (socket->bytesAvailable() > 0)
            onReadyRead(socket);
    }
}

void LoopbackRedirectServer::onReadyRead(QTcpSocket* socket)
{
    if (socket->property(kAnsweredProperty).toBool()) {
        socket->readAll();  // anything after the request line is of no interest
        return;
    }
    QByteArray buffer = socket->property(kBufferProperty).toByteArray();
    buffer += socket->read(qint64(maxLineBytes) + 2 - buffer.size());
    const int end = buffer.indexOf('\n');
    if (end < 0) {
        if (buffer.size() > maxLineBytes) {
            drop(socket, QStringLiteral("request too long"));
            return;
        }
        socket->setProperty(kBufferProperty, buffer);
        return;
    }
    QByteArray line = buffer.left(end);
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.size() > maxLineBytes) {
        drop(socket, QStringLiteral("request too long"));
        return;
    }
    socket->setProperty(kBufferProperty, QVariant());
    socket->setProperty(kAnsweredProperty, true);
    socket->readAll();
    const QByteArray response = respond ? respond(line) : QByteArray();
    socket->write(response);
    socket->flush();
    socket->disconnectFromHost();
}

void LoopbackRedirectServer::drop(QTcpSocket* socket, const QString& reason)
{
    if (socket->property(kAnsweredProperty).toBool())
        return;
    socket->setProperty(kAnsweredProperty, true);
    emit requestDropped(reason);
    socket->abort();
    socket->deleteLater();
}
