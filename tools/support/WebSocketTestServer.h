// Scripted WebSocket peer on 127.0.0.1 (no TLS) that records what clients send.
#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkRequest>
#include <QObject>
#include <QStringList>
#include <QUrl>
#include <QWebSocketServer>

class QWebSocket;

class WebSocketTestServer : public QObject {
    Q_OBJECT
public:
    explicit WebSocketTestServer(QObject* parent = nullptr);
    ~WebSocketTestServer() override;
    bool listen();
    quint16 port() const { return server.serverPort(); }
    QString baseUrl() const;  // "ws://127.0.0.1:<port>"

    QList<QWebSocket*> clients() const { return sockets; }
    int clientCount() const { return sockets.size(); }
    // Request URL (path and query) of every connection accepted, in order.
    QList<QUrl> connectionUrls() const { return urls; }
    // Opening request of every connection accepted, in order, with its headers.
    QList<QNetworkRequest> connectionRequests() const { return requests; }
    QStringList textMessages() const { return texts; }
    QList<QByteArray> binaryMessages() const { return binaries; }
    void clearMessages();

    // Sends to every connected client.
    void sendText(const QString& text);
    void sendBinary(const QByteArray& data);
    // Closes every client connection from the server side.
    void closeClients();

    // Runs the events already posted, then opens a connection of the test's own to `path` and
    // waits until this server has taken it. The code under test connects to 127.0.0.1 at once
    // when it connects at all, so a connection it opened before the sentinel shows in
    // connectionUrls() before the sentinel's. The sentinel
    // stays open until the server is destroyed; it counts as a client.
    bool acceptSentinel(const QString& path = QStringLiteral("/sentinel"));

signals:
    void clientConnected();
    void clientDisconnected();
    void textMessageReceived(const QString& text);
    void binaryMessageReceived(const QByteArray& data);

private:
    void onNewConnection();

    QWebSocketServer server;
    QList<QWebSocket*> sockets;
    QList<QUrl> urls;
    QList<QNetworkRequest> requests;
    QStringList texts;
    QList<QByteArray> binaries;
};
