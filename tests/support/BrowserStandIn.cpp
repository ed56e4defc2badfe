// Browser stand-in for redirect-listener tests.
#include "support/BrowserStandIn.h"

#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace BrowserStandIn {

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QByteArray request(quint16 port, const QList<QByteArray>& chunks)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(5000))
        return "no connection";
    QSignalSpy closed(&s, &QTcpSocket::disconnected);
    for (const QByteArray& c : chunks) {
        s.write(c);
        s.flush();
        // The listener shares this thread: run its loop so it reads each chunk on its own.
        QTest::qWait(20);
    }
    // The listener closes the connection after its answer.
    if (closed.isEmpty())
        closed.wait(5000);
    return s.readAll();
}

}  // namespace BrowserStandIn
