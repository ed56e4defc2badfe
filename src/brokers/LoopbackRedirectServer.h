// The small HTTP listener on 127.0.0.1 that catches a browser's login redirect for the brokers
// whose logins end in a redirect to this machine.
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>

#include <functional>

class QTcpServer;
class QTcpSocket;

// Each accepted connection is read until its request line ends (capped in size and time); the
// handler gets that line ("GET /?code=... HTTP/1.1") and returns the bytes to answer with, which
// are written before the connection is closed. Closing the listener stops new connections only:
// answers already under way still reach the browser.
class LoopbackRedirectServer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<QByteArray(const QByteArray& requestLine)>;

    static constexpr int kDefaultMaxRequestBytes = 16 * 1024;
    static constexpr int kDefaultTimeoutMs = 10000;

    explicit LoopbackRedirectServer(QObject* parent = nullptr);
    ~LoopbackRedirectServer() override;

    // The handler may close the listener; it must not delete this object (deleteLater is fine).
    void setHandler(Handler handler) { onRequest = std::move(handler); }
    // A request line longer than maxBytes, or not complete within timeoutMs, is dropped unanswered.
    void setLimits(int maxBytes, int timeoutMs);

    // Listens on 127.0.0.1 on the first of `ports` that is free; false when none is.
    bool listen(const QList<quint16>& ports);
    void close();
    bool isListening() const;
    quint16 port() const;

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);

    QTcpServer* server = nullptr;
    Handler onRequest;
    int maxRequestBytes = kDefaultMaxRequestBytes;
    int timeoutMs = kDefaultTimeoutMs;
};
