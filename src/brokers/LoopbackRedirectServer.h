// Catches a login redirect from the system browser on 127.0.0.1: reads one request line per
// connection, answers it with the page the owner chooses and closes the connection.
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class QTcpServer;
class QTcpSocket;

class LoopbackRedirectServer : public QObject {
    Q_OBJECT
public:
    // Gets the request line (without its line end) and returns the whole HTTP response to write.
    using Responder = std::function<QByteArray(const QByteArray& requestLine)>;

    explicit LoopbackRedirectServer(QObject* parent = nullptr);
    ~LoopbackRedirectServer() override;

    void setResponder(Responder responder) { respond = std::move(responder); }
    // A connection that has not finished its request line within this time, or whose line grows
    // past the cap, is closed without an answer (browsers open idle speculative connections).
    void setRequestTimeoutMs(int ms) { timeoutMs = ms; }
    void setMaxRequestLineBytes(int bytes) { maxLineBytes = bytes; }

    // Listens on the first of `ports` that is free; false when none is (errorString says why).
    bool listen(const QList<quint16>& ports);
    // Stops accepting; connections already accepted still get their answer.
    void close();
    bool isListening() const;
    quint16 port() const;
    QString errorString() const { return lastError; }

signals:
    // A connection closed without a complete request line ("timed out" or "request too long").
    void requestDropped(QString reason);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);
    void drop(QTcpSocket* socket, const QString& reason);

    QTcpServer* server;
    Responder respond;
    int timeoutMs = 10000;
    int maxLineBytes = 8192;
    QString lastError;
};
