// Scripted HTTP/1.1 peer on 127.0.0.1.
#include "support/HttpTestServer.h"

#include <QTcpSocket>
#include <QTimer>

#include <memory>

HttpTestServer::Reply HttpTestServer::Reply::json(const QByteArray& body, int status)
{
    Reply r;
    r.status = status;
    r.body = body;
    r.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    return r;
}

HttpTestServer::Reply HttpTestServer::Reply::bytes(const QByteArray& body, const QByteArray& contentType)
{
    Reply r;
    r.body = body;
    r.headers.append(qMakePair(QByteArray("Content-Type"), contentType));
    return r;
}

HttpTestServer::Reply HttpTestServer::Reply::silent()
{
    Reply r;
    r.neverAnswer = true;
    return r;
}

HttpTestServer::Reply HttpTestServer::Reply::hold()
{
    Reply r;
    r.held = true;
    return r;
}

HttpTestServer::HttpTestServer(QObject* parent) : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, &HttpTestServer::onNewConnection);
}

HttpTestServer::~HttpTestServer()
{
    // The sockets are children of the server, which outlives the buffers: detach them first so
    // their disconnect handlers never touch destroyed members.
    const auto sockets = buffers.keys();
    for (QTcpSocket* s : sockets) {
        s->disconnect(this);
        s->abort();
        delete s;
    }
    buffers.clear();
}

bool HttpTestServer::listen()
{
    return server.listen(QHostAddress::LocalHost, 0);
}

QString HttpTestServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void HttpTestServer::setReply(const QByteArray& method, const QString& path, const Reply& reply)
{
    scripted[{method, path}] = {reply};
}

void HttpTestServer::queueReply(const QByteArray& method, const QString& path, const Reply& reply)
{
    scripted[{method, path}].append(reply);
}

QList<HttpTestServer::Request> HttpTestServer::requestsTo(const QString& path) const
{
    QList<Request> out;
    for (const Request& r : received) {
        if (r.path == path)
            out << r;
    }
    return out;
}

void HttpTestServer::dropConnections()
{
    const auto sockets = buffers.keys();
    for (QTcpSocket* s : sockets)
        s->abort();  // emits disconnected, which forgets and releases the socket
}

void HttpTestServer::onNewConnection()
{
    while (QTcpSocket* s = server.nextPendingConnection()) {
        buffers.insert(s, {});
        connect(s, &QTcpSocket::readyRead, this, [this, s] { onReadyRead(s); });
        connect(s, &QTcpSocket::disconnected, this, [this, s] {
            buffers.remove(s);
            s->deleteLater();
        });
    }
}

void HttpTestServer::onReadyRead(QTcpSocket* socket)
{
    if (!buffers.contains(socket))
        return;
    QByteArray& buf = buffers[socket];
    buf += socket->readAll();
    // Several requests may be pipelined on a keep-alive connection.
    for (;;) {
        const int headerEnd = buf.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        const QList<QByteArray> lines = buf.left(headerEnd).split('\n');
        Request req;
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        req.method = first.value(0);
        req.rawTarget = first.value(1);
        const QUrl url = QUrl::fromEncoded("http://127.0.0.1" + req.rawTarget);
        req.path = url.path();
        req.query = QUrlQuery(url);
        for (int i = 1; i < lines.size(); ++i) {
            QByteArray line = lines[i];
            if (line.endsWith('\r'))
                line.chop(1);
            const int colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            // The value as sent, but for the one space after the colon: a blank the client left
            // around a key or token must show in the test, not be trimmed away here.
            QByteArray value = line.mid(colon + 1);
            if (value.startsWith(' '))
                value.remove(0, 1);
            req.headers.insert(line.left(colon).trimmed().toLower(), value);
        }
        const int length = req.headers.value("content-length", "0").trimmed().toInt();
        if (buf.size() < headerEnd + 4 + length)
            return;  // body still arriving
        req.body = buf.mid(headerEnd + 4, length);
        buf.remove(0, headerEnd + 4 + length);
        const bool close = req.headers.value("connection").trimmed().toLower() == "close";
        received.append(req);
        emit requestReceived(received.size() - 1);
        answer(socket, req, close);
        if (!buffers.contains(socket))
            return;  // a listener dropped the connection
    }
}

void HttpTestServer::answer(QTcpSocket* socket, const Request& req, bool close)
{
    Reply reply;
    auto it = scripted.find({req.method, req.path});
    if (responder) {
        reply = responder(req);
    } else if (it == scripted.end()) {
        reply.status = 404;
        reply.body = "not scripted";
    } else {
        reply = it->first();
        if (it->size() > 1)
            it->removeFirst();
    }
    if (reply.neverAnswer)
        return;
    if (reply.held) {
        held.insert(received.size() - 1, {socket, close});
        return;
    }
    write(socket, reply, close);
}

bool HttpTestServer::answerHeld(int requestIndex, const Reply& reply)
{
    const auto it = held.find(requestIndex);
    if (it == held.end())
        return false;
    const Held h = it.value();
    held.erase(it);
    if (!buffers.contains(h.socket))
        return false;
    write(h.socket, reply, h.close);
    return true;
}

void HttpTestServer::write(QTcpSocket* socket, const Reply& reply, bool close)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(reply.status) + " Scripted\r\n";
    for (const auto& h : reply.headers)
        out += h.first + ": " + h.second + "\r\n";
    out += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    if (close)
        out += "Connection: close\r\n";
    out += "\r\n";
    if (reply.stallAfterBytes >= 0) {
        socket->write(out + reply.body.left(reply.stallAfterBytes));
        return;
    }
    if (reply.pieces <= 1) {
        socket->write(out + reply.body);
        if (close)
            socket->disconnectFromHost();
        return;
    }
    socket->write(out);
    const int size = int((reply.body.size() + reply.pieces - 1) / reply.pieces);
    // The timer belongs to the socket: a connection that goes away takes the rest of the body with it.
    auto* drip = new QTimer(socket);
    auto sent = std::make_shared<int>(0);
    const QByteArray body = reply.body;
    connect(drip, &QTimer::timeout, socket, [socket, drip, sent, size, body, close] {
        socket->write(body.mid(*sent, size));
        *sent += size;
        if (*sent >= body.size()) {
            drip->deleteLater();
            if (close)
                socket->disconnectFromHost();
        }
    });
    drip->start(reply.pieceIntervalMs);
}
