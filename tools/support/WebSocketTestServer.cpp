// Scripted WebSocket peer on 127.0.0.1.
#include "support/WebSocketTestServer.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QWebSocket>

WebSocketTestServer::WebSocketTestServer(QObject* parent)
    : QObject(parent), server(QStringLiteral("test"), QWebSocketServer::NonSecureMode)
{
    connect(&server, &QWebSocketServer::newConnection, this, &WebSocketTestServer::onNewConnection);
}

WebSocketTestServer::~WebSocketTestServer()
{
    for (QWebSocket* s : sockets) {
        s->disconnect(this);
        s->abort();
        delete s;
    }
    sockets.clear();
}

bool WebSocketTestServer::listen()
{
    return server.listen(QHostAddress::LocalHost, 0);
}

QString WebSocketTestServer::baseUrl() const
{
    return QStringLiteral("ws://127.0.0.1:%1").arg(port());
}

void WebSocketTestServer::clearMessages()
{
    texts.clear();
    binaries.clear();
}

void WebSocketTestServer::sendText(const QString& text)
{
    for (QWebSocket* s : sockets)
        s->sendTextMessage(text);
}

void WebSocketTestServer::sendBinary(const QByteArray& data)
{
    for (QWebSocket* s : sockets)
        s->sendBinaryMessage(data);
}

void WebSocketTestServer::closeClients()
{
    const auto current = sockets;
    for (QWebSocket* s : current)
        s->close();
}

bool WebSocketTestServer::acceptSentinel(const QString& path)
{
    // What the code under test has already queued (a reconnect, say) runs before the sentinel.
    QCoreApplication::sendPostedEvents();
    auto* sentinel = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    QSignalSpy accepted(this, &WebSocketTestServer::clientConnected);
    sentinel->open(QUrl(baseUrl() + path));
    const auto taken = [this, path] {
        for (const QUrl& u : qAsConst(urls)) {
            if (u.path() == path)
                return true;
        }
        return false;
    };
    while (!taken()) {
        if (!accepted.wait(5000))
            return false;
    }
    return true;
}

void WebSocketTestServer::onNewConnection()
{
    while (QWebSocket* s = server.nextPendingConnection()) {
        sockets.append(s);
        urls.append(s->requestUrl());
        requests.append(s->request());
        connect(s, &QWebSocket::textMessageReceived, this, [this](const QString& t) {
            texts.append(t);
            emit textMessageReceived(t);
        });
        connect(s, &QWebSocket::binaryMessageReceived, this, [this](const QByteArray& b) {
            binaries.append(b);
            emit binaryMessageReceived(b);
        });
        connect(s, &QWebSocket::disconnected, this, [this, s] {
            sockets.removeAll(s);
            s->deleteLater();
            emit clientDisconnected();
        });
        emit clientConnected();
    }
}
