// A peer on 127.0.0.1 that answers every HTTP request, WebSocket upgrades included, with one
// fixed status line: a feed host that refuses the handshake.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTcpServer>

class RefusingHttpServer : public QTcpServer {
public:
    // statusLine such as "HTTP/1.1 401 Unauthorized".
    explicit RefusingHttpServer(const QByteArray& statusLine, QObject* parent = nullptr);
    bool listen();
    QString wsUrl() const;  // "ws://127.0.0.1:<port>"

private:
    QByteArray status;
};
