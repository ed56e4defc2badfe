// Catches a login redirect from the system browser on 127.0.0.1: listens on the first free port
// of a list, reads each connection's request line (buffered, size-capped, timed out), hands it to
// the owner and writes the owner's answer page. Each listen() starts one login attempt and close()
// ends it. A request belongs to the attempt during which its first bytes were read: one begun in
// an ended attempt gets a neutral page and nothing reaches the owner, so a browser that repeats
// the redirect cannot log in twice. A connection that has sent nothing yet belongs to no attempt:
// browsers keep idle connections and send the next attempt's redirect on one of them.
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

    // Starts a new attempt: tries the ports in order on 127.0.0.1; true when one listens. The
    // listener of an earlier attempt of the same login (a listener whose parent is of the same
    // class, on one of these ports) is closed first and its idle connections come over here.
    bool listen(const QList<quint16>& ports);
    // Ends the attempt: stops listening; requests on connections already accepted get the neutral
    // page until the next listen().
    void close();
    bool isListening() const;
    quint16 port() const;
    // Why the last listen() failed (the last port tried).
    QString errorString() const;
    // The ports of a list as a user reads them: "port 8766", "ports 8766-8776",
    // "ports 8766, 9000" (0 stands for a port the system chooses).
    static QString describePorts(const QList<quint16>& ports);

    // A request line longer than this, or not complete within the time-out, closes the connection.
    void setMaxRequestBytes(int bytes) { maxRequestBytes = bytes; }
    void setRequestTimeout(int ms) { requestTimeoutMs = ms; }

    // Writes the whole answer, flushes and closes the connection; the socket deletes itself once
    // closed, so the page still reaches the browser if this server is stopped meanwhile.
    static void respond(QTcpSocket* client, const QByteArray& answer);
    // The answer to a request that comes after its login attempt has ended.
    static QByteArray finishedPage();

signals:
    // One per connection of the current attempt: the first line of the request ("GET /path?query
    // HTTP/1.1"), without its line end. The receiver answers with respond(client, ...). Icon
    // requests are answered 404 and lines that are not a GET of a path 400 here, not passed on. Delivered from the event loop, never from
    // inside the socket's own signal, so a receiver may run an event loop of its own.
    void requestLineReceived(const QString& requestLine, QTcpSocket* client);

private:
    void onNewConnection();
    void adopt(QTcpSocket* client);
    void onReadyRead(QTcpSocket* client);
    void deliver(QTcpSocket* client, const QString& line);

    QTcpServer* server;
    quint64 attempt = 0;  // counts listen() calls; a connection keeps the one its first bytes came in
    bool attemptOpen = false;
    int maxRequestBytes = 8192;
    int requestTimeoutMs = 30000;
};
