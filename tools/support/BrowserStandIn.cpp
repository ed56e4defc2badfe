// Browser stand-in for redirect-listener tests.
#include "support/BrowserStandIn.h"

#include <memory>

#include <QHostAddress>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include "brokers/LoopbackRedirectServer.h"

namespace BrowserStandIn {

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QTcpSocket* acceptedEnd(QObject* listener, const QTcpSocket& client)
{
    auto* server = qobject_cast<LoopbackRedirectServer*>(listener);
    if (!server && listener)
        server = listener->findChild<LoopbackRedirectServer*>();
    if (!server)
        return nullptr;
    auto* tcp = server->findChild<QTcpServer*>();
    if (!tcp)
        return nullptr;
    QSignalSpy taken(tcp, &QTcpServer::newConnection);
    // The listener keeps each connection it took as a direct child.
    for (;;) {
        for (QTcpSocket* s : server->findChildren<QTcpSocket*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (s->peerPort() == client.localPort())
                return s;
        }
        if (!taken.wait(5000))
            return nullptr;
    }
}

namespace {

QByteArray send(QObject* listener, quint16 port, const QList<QByteArray>& chunks)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(5000))
        return "no connection";
    QPointer<QTcpSocket> far;
    if (chunks.size() > 1) {
        far = acceptedEnd(listener, s);
        if (!far)
            return "not accepted";
    }
    QSignalSpy closed(&s, &QTcpSocket::disconnected);
    for (int i = 0; i < chunks.size(); ++i) {
        const bool more = i + 1 < chunks.size();
        if (more && !far)
            break;  // the listener dropped the connection early
        // The listener reads first: it connected to its end before this spy did.
        std::unique_ptr<QSignalSpy> read(more ? new QSignalSpy(far.data(), &QIODevice::readyRead) : nullptr);
        s.write(chunks.at(i));
        s.flush();
        if (more && read->isEmpty())
            read->wait(5000);
    }
    // The listener closes the connection after its answer.
    if (closed.isEmpty())
        closed.wait(5000);
    return s.readAll();
}

}  // namespace

QByteArray request(quint16 port, const QByteArray& whole)
{
    return send(nullptr, port, {whole});
}

QByteArray request(QObject* listener, quint16 port, const QList<QByteArray>& chunks)
{
    return send(listener, port, chunks);
}

}  // namespace BrowserStandIn
