// Browser-side client for loopback redirect listener tests.
#include "support/LoopbackClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

namespace LoopbackClient {

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QByteArray request(quint16 port, const QList<QByteArray>& pieces, bool* closed, int timeoutMs)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(timeoutMs))
        return "not connected";
    for (const QByteArray& p : pieces) {
        s.write(p);
        s.waitForBytesWritten(timeoutMs);
        QCoreApplication::processEvents();
    }
    QByteArray answer;
    QSignalSpy gone(&s, &QTcpSocket::disconnected);
    QElapsedTimer t;
    t.start();
    while (s.state() == QAbstractSocket::ConnectedState && t.elapsed() < timeoutMs) {
        gone.wait(100);
        answer += s.readAll();
    }
    answer += s.readAll();
    if (closed)
        *closed = s.state() != QAbstractSocket::ConnectedState;
    return answer;
}

}  // namespace LoopbackClient
