// Loopback peer that refuses every request with a fixed status.
#include "support/RefusingHttpServer.h"

#include <QHostAddress>
#include <QTcpSocket>

RefusingHttpServer::RefusingHttpServer(const QByteArray& statusLine, QObject* parent)
    : QTcpServer(parent), status(statusLine)
{
    connect(this, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* s = nextPendingConnection()) {
            connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            auto* seen = new QByteArray;
            connect(s, &QObject::destroyed, s, [seen] { delete seen; });
            connect(s, &QTcpSocket::readyRead, s, [this, s, seen] {
                *seen += s->readAll();
                if (!seen->contains("\r\n\r\n"))
                    return;
                s->write(status + "\r\nContent-Length: 0\r\n\r\n");
                s->disconnectFromHost();
            });
        }
    });
}

bool RefusingHttpServer::listen()
{
    return QTcpServer::listen(QHostAddress::LocalHost, 0);
}

QString RefusingHttpServer::wsUrl() const
{
    return QStringLiteral("ws://127.0.0.1:%1").arg(serverPort());
}
