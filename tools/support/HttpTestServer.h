// Scripted HTTP/1.1 peer on 127.0.0.1 for broker, master-file and Custom API tests.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTcpServer>
#include <QUrl>
#include <QUrlQuery>

#include <functional>

class QTcpSocket;

class HttpTestServer : public QObject {
    Q_OBJECT
public:
    struct Reply {
        int status = 200;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
        bool neverAnswer = false;  // keep the connection open and say nothing
        bool held = false;         // say nothing until the test answers it with answerHeld
        // A slow link: the body goes out in this many pieces, one every `pieceIntervalMs`.
        int pieces = 1;
        int pieceIntervalMs = 0;
        // A stalled link: the headers (with the whole body's length) and only this many bytes of
        // the body go out, then nothing more while the connection stays open. Negative: all of it.
        int stallAfterBytes = -1;

        static Reply json(const QByteArray& body, int status = 200);
        static Reply bytes(const QByteArray& body, const QByteArray& contentType = "application/octet-stream");
        static Reply silent();
        static Reply hold();
    };
    struct Request {
        QByteArray method;
        QString path;  // decoded path without the query
        QUrlQuery query;
        QByteArray rawTarget;  // request target exactly as sent
        QHash<QByteArray, QByteArray> headers;  // names lower-cased; values as sent, blanks kept
        QByteArray body;
        QByteArray header(const QByteArray& name) const { return headers.value(name.toLower()); }
    };

    explicit HttpTestServer(QObject* parent = nullptr);
    ~HttpTestServer() override;
    bool listen();
    quint16 port() const { return server.serverPort(); }
    QString baseUrl() const;  // "http://127.0.0.1:<port>"

    // A reply for method and path. Replies queued for the same key are used in order; the last
    // one stays and answers every later request. Unscripted requests get 404.
    void setReply(const QByteArray& method, const QString& path, const Reply& reply);
    void queueReply(const QByteArray& method, const QString& path, const Reply& reply);
    // Answers every request by what it holds (requests sent in parallel arrive in any order),
    // taking the place of the scripted replies.
    void setResponder(std::function<Reply(const Request&)> answer) { responder = std::move(answer); }

    QList<Request> requests() const { return received; }
    int requestCount() const { return received.size(); }
    Request lastRequest() const { return received.isEmpty() ? Request() : received.last(); }
    QList<Request> requestsTo(const QString& path) const;
    void clearRequests() { received.clear(); }
    // Closes every open client connection (requests left unanswered see a remote close).
    void dropConnections();
    // Client connections still open (a client that closed its end is counted out).
    int openConnections() const { return buffers.size(); }
    // Answers the held request with this index in requests(); false when it is not held (any more)
    // or its connection has gone.
    bool answerHeld(int requestIndex, const Reply& reply);

signals:
    void requestReceived(int index);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const Request& req, bool close);
    void write(QTcpSocket* socket, const Reply& reply, bool close);

    QTcpServer server;
    QHash<QTcpSocket*, QByteArray> buffers;
    QMap<QPair<QByteArray, QString>, QList<Reply>> scripted;
    QList<Request> received;
    std::function<Reply(const Request&)> responder;
    struct Held {
        QTcpSocket* socket;
        bool close;
    };
    QHash<int, Held> held;  // request index -> its open connection
};
