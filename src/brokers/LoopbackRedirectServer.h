// Catches a login redirect from the system browser on 127.0.0.1: listens on the first free port
// of a list, reads each connection's request line (buffered, size-capped, timed out), hands it to
// the owner and writes the owner's answer page.
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

class LoopbackRedirectServer : public QObject {
    Q_OBJECT
public:
    explicit LoopbackRedirectServer(QObject* parent = nullptr);
    ~LoopbackRedirectServer() override;

    // Tries the ports in order on 127.0.0.1; true when one listens.
    bool listen(const QList<quint16>& ports);
    void close();
    bool isListening() const;
    quint16 port() const;
    // Why the last listen() failed (the last port tried).
    QString errorString() const;

    // A request line longer than this, or not complete within the time-out, closes the connection.
    void setMaxRequestBytes(int bytes) { maxRequestBytes = bytes; }
    void setRequestTimeout(int ms) { requestTimeoutMs = ms; }

    // Writes the whole answer, flushes and closes the connection; the socket deletes itself once
    // closed, so the page still reaches the browser if this server is stopped meanwhile.
    static void respond(QTcpSocket* client, const QByteArray& answer);

signals:
    // One per connection: the first line of the request ("GET /path?query HTTP/1.1"), without its
    // line end. The receiver answers with respond(client, ...). Icon requests are answered 404
    // here and not passed on.
    void requestLineReceived(const QString& requestLine, QTcpSocket* client);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket* client);

    QTcpServer* server;
    int maxRequestBytes = 8192;
    int requestTimeoutMs = 30000;
};
