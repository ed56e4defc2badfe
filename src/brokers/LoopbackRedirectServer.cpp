// Loopback listener for browser login redirects.
#include "brokers/LoopbackRedirectServer.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {
const char kBufferProperty[] = "loopbackRequestBuffer";
}

LoopbackRedirectServer::LoopbackRedirectServer(QObject* parent) : QObject(parent), server(new QTcpServer(this))
{
    connect(server, &QTcpServer::newConnection, this, &LoopbackRedirectServer::onNewConnection);
}

LoopbackRedirectServer::~LoopbackRedirectServer() = default;

bool LoopbackRedirectServer::listen(const QList<quint16>& ports)
{
    server->close();
    for (quint16 p : ports) {
        if (server->listen(QHostAddress::LocalHost, p))
            return true;
    }
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

QString LoopbackRedirectServer::errorString() const
{
    return server->errorString();
}

quint16 LoopbackRedirectServer::port() const
{
    return server->serverPort();
}

void LoopbackRedirectServer::onNewConnection()
{
    while (QTcpSocket* client = server->nextPendingConnection()) {
        // Owned by this object, not the listener: closing the listener must not cut a page short.
        client->setParent(this);
        connect(client, &QTcpSocket::readyRead, this, [this, client] { onReadyRead(client); });
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        auto* timer = new QTimer(client);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, client, [client] { client->abort(); client->deleteLater(); });
        timer->start(requestTimeoutMs);
        if (client->bytesAvailable() > 0)
            onReadyRead(client);
    }
}

void LoopbackRedirectServer::onReadyRead(QTcpSocket* client)
{
    QByteArray buffer = client->property(kBufferProperty).toByteArray();
    buffer += client->read(qMax<qint64>(0, maxRequestBytes + 1 - buffer.size()));
    const int end = buffer.indexOf('\n');
    if (end < 0) {
        if (buffer.size() > maxRequestBytes) {
            client->abort();
            client->deleteLater();
        } else {
            client->setProperty(kBufferProperty, buffer);
        }
        return;
    }
    disconnect(client, &QTcpSocket::readyRead, this, nullptr);
    client->readAll();  // the rest of the request (headers) is not needed
    QByteArray line = buffer.left(end);
    if (line.endsWith('\r'))
        line.chop(1);
    // Nothing after a NUL is part of a request line a browser would send.
    const int nul = line.indexOf('\0');
    if (nul >= 0)
        line.truncate(nul);
    // Browsers fetch the page's icon from the same address after showing the answer: that is
    // no redirect and must not be judged as one.
    if (line.startsWith("GET /favicon.ico ")) {
        respond(client, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
        return;
    }
    emit requestLineReceived(QString::fromUtf8(line), client);
}

void LoopbackRedirectServer::respond(QTcpSocket* client, const QByteArray& answer)
{
    if (!client)
        return;
    if (auto* timer = client->findChild<QTimer*>())
        timer->stop();
    client->write(answer);
    client->flush();
    client->disconnectFromHost();
}
