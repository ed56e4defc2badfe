// Loopback listener for browser login redirects.
#include "brokers/LoopbackRedirectServer.h"

#include "brokers/RedirectRequestLine.h"

#include <QDebug>
#include <QHostAddress>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {
const char kBufferProperty[] = "loopbackRequestBuffer";
const char kAttemptProperty[] = "loopbackAttempt";

// Every listener of the process (all on the GUI thread): a new login object may start the attempt
// that replaces another's, as the main window makes one per click. Never destroyed, so a listener
// that outlives main() can still leave it.
QList<LoopbackRedirectServer*>& allListeners()
{
    static auto* listeners = new QList<LoopbackRedirectServer*>;
    return *listeners;
}
}

LoopbackRedirectServer::LoopbackRedirectServer(QObject* parent) : QObject(parent), server(new QTcpServer(this))
{
    connect(server, &QTcpServer::newConnection, this, &LoopbackRedirectServer::onNewConnection);
    allListeners().append(this);
}

LoopbackRedirectServer::~LoopbackRedirectServer()
{
    allListeners().removeOne(this);
}

bool LoopbackRedirectServer::listen(const QList<quint16>& ports)
{
    server->close();
    // The broker redirects to one registered port: an earlier attempt of the same login that
    // still holds it gives it up, and the browser's idle connections to it come along.
    for (LoopbackRedirectServer* other : allListeners()) {
        if (other == this || !parent() || !other->parent() || !other->isListening() || other->port() == 0
            || !ports.contains(other->port()) || other->parent()->metaObject() != parent()->metaObject())
            continue;
        other->close();
        for (QTcpSocket* client : other->findChildren<QTcpSocket*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (client->property(kAttemptProperty).isValid())
                continue;  // its request belongs to the other attempt
            disconnect(client, nullptr, other, nullptr);
            adopt(client);
        }
    }
    ++attempt;
    attemptOpen = false;
    for (quint16 p : ports) {
        if (server->listen(QHostAddress::LocalHost, p)) {
            attemptOpen = true;
            return true;
        }
    }
    return false;
}

void LoopbackRedirectServer::close()
{
    server->close();
    attemptOpen = false;
}

bool LoopbackRedirectServer::isListening() const
{
    return server->isListening();
}

QString LoopbackRedirectServer::errorString() const
{
    return server->errorString();
}

QString LoopbackRedirectServer::describePorts(const QList<quint16>& ports)
{
    if (ports.isEmpty())
        return QStringLiteral("no port");
    const auto name = [](quint16 p) {
        return p == 0 ? QStringLiteral("any free port") : QString::number(p);
    };
    // Runs of consecutive ports read as a range.
    QStringList parts;
    int start = 0;
    for (int i = 1; i <= ports.size(); ++i) {
        if (i < ports.size() && ports[i - 1] != 0 && ports[i] == ports[i - 1] + 1)
            continue;
        parts << (i - 1 > start ? name(ports[start]) + QLatin1Char('-') + name(ports[i - 1])
                                : name(ports[start]));
        start = i;
    }
    if (ports.size() == 1)
        return ports.first() == 0 ? name(0) : QStringLiteral("port ") + parts.first();
    return QStringLiteral("ports ") + parts.join(QStringLiteral(", "));
}

quint16 LoopbackRedirectServer::port() const
{
    return server->serverPort();
}

void LoopbackRedirectServer::onNewConnection()
{
    while (QTcpSocket* client = server->nextPendingConnection()) {
        adopt(client);
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        auto* timer = new QTimer(client);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, client, [client] { client->abort(); client->deleteLater(); });
        timer->start(requestTimeoutMs);
        if (client->bytesAvailable() > 0)
            onReadyRead(client);
    }
}

void LoopbackRedirectServer::adopt(QTcpSocket* client)
{
    // Owned by this object, not the listener: closing the listener must not cut a page short.
    client->setParent(this);
    connect(client, &QTcpSocket::readyRead, this, [this, client] { onReadyRead(client); });
}

void LoopbackRedirectServer::onReadyRead(QTcpSocket* client)
{
    if (!client->property(kAttemptProperty).isValid())
        client->setProperty(kAttemptProperty, attempt);
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
    // Only a GET of a path can be a login redirect: anything else is refused here for every
    // connector, and the attempt waits on.
    if (!RedirectRequestLine::target(line).isValid()) {
        qWarning() << "[LoopbackRedirectServer] Malformed redirect request refused";
        respond(client, RedirectRequestLine::page(400, QStringLiteral("Bad request"), QString()));
        return;
    }
    // Not from inside readyRead: a receiver that runs an event loop (a message box) would let
    // the socket be deleted under the code that is still delivering its signal.
    QPointer<QTcpSocket> guard(client);
    const QString text = QString::fromUtf8(line);
    QMetaObject::invokeMethod(
        this, [this, guard, text] { if (guard) deliver(guard, text); }, Qt::QueuedConnection);
}

void LoopbackRedirectServer::deliver(QTcpSocket* client, const QString& line)
{
    if (!attemptOpen || client->property(kAttemptProperty).toULongLong() != attempt) {
        respond(client, finishedPage());
        return;
    }
    emit requestLineReceived(line, client);
}

QByteArray LoopbackRedirectServer::finishedPage()
{
    return RedirectRequestLine::page(200, QStringLiteral("Login already handled"),
                                     QStringLiteral("This login has already been handled. You can close this window."));
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
