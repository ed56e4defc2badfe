// Misbehaving WebSocket server for fault-injection tests.
#include "support/HostileWebSocketPeer.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QtEndian>

namespace {

const char kBufferProperty[] = "hostileRequest";
const char kUpgradedProperty[] = "hostileUpgraded";
const char kLinkProperty[] = "hostileLink";
constexpr qint64 kOversizedBytes = 100LL * 1024 * 1024;
constexpr int kChunkBytes = 256 * 1024;

// The head of a frame as a server sends it (unmasked), with the length field n needs.
QByteArray header(int opcode, qint64 n)
{
    QByteArray out(1, char(0x80 | (opcode & 0x0F)));
    if (n < 126)
        return out.append(char(n));
    const int bytes = n < 65536 ? 2 : 8;
    out.append(char(bytes == 2 ? 126 : 127));
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        out.append(char((n >> shift) & 0xFF));
    return out;
}

QByteArray frame(int opcode, const QByteArray& payload)
{
    return header(opcode, payload.size()) + payload;
}

}  // namespace

HostileWebSocketPeer::HostileWebSocketPeer(Behaviour b, QObject* parent) : QObject(parent), behaviour(b)
{
    connect(&server, &QTcpServer::newConnection, this, &HostileWebSocketPeer::onNewConnection);
}

bool HostileWebSocketPeer::listen()
{
    return server.listen(QHostAddress::LocalHost, 0);
}

QString HostileWebSocketPeer::baseUrl() const
{
    return QStringLiteral("ws://127.0.0.1:%1").arg(server.serverPort());
}

void HostileWebSocketPeer::onNewConnection()
{
    while (QTcpSocket* client = server.nextPendingConnection()) {
        client->setParent(this);
        ++connections;
        ++open;
        connect(client, &QTcpSocket::readyRead, this, [this, client] { onReadyRead(client); });
        connect(client, &QTcpSocket::disconnected, this, [this] {
            --open;
            emit connectionClosed();
        });
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    }
}

void HostileWebSocketPeer::onReadyRead(QTcpSocket* client)
{
    if (client->property(kUpgradedProperty).toBool()) {
        if (behaviour == QuietButAlive || behaviour == StallAfterUpgrade)
            readFrames(client);
        else
            afterRequest += client->readAll().size();  // only counted: the content is of no interest
        return;
    }
    const QByteArray buffered = client->property(kBufferProperty).toByteArray();
    const int requestEnd = buffered.indexOf("\r\n\r\n");
    if (requestEnd >= 0) {
        // A held request is complete: whatever follows it came before any answer.
        afterRequest += client->readAll().size();
        return;
    }
    const QByteArray request = buffered + client->readAll();
    client->setProperty(kBufferProperty, request);
    if (!request.contains("\r\n\r\n") || behaviour == StallBeforeUpgrade)
        return;
    afterRequest += request.size() - (request.indexOf("\r\n\r\n") + 4);
    requests.append(request.left(request.indexOf("\r\n")));
    if (behaviour == HoldUpgrade) {
        held.append(qMakePair(QPointer<QTcpSocket>(client), request));
        emit upgradeHeld();
        return;
    }
    if (behaviour == Refuse401 || behaviour == Refuse403) {
        client->write(behaviour == Refuse401 ? "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n"
                                             : "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
        client->disconnectFromHost();
        return;
    }
    upgrade(client, request);
}

void HostileWebSocketPeer::answerHeldUpgrades()
{
    for (const auto& h : qAsConst(held)) {
        if (h.first && h.first->state() == QAbstractSocket::ConnectedState)
            upgrade(h.first, h.second);
    }
    held.clear();
}

void HostileWebSocketPeer::upgrade(QTcpSocket* client, const QByteArray& request)
{
    static const QRegularExpression keyLine(QStringLiteral("Sec-WebSocket-Key:\\s*(\\S+)"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QByteArray key = keyLine.match(QString::fromLatin1(request)).captured(1).toLatin1();
    const QByteArray accept =
        QCryptographicHash::hash(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11", QCryptographicHash::Sha1).toBase64();
    client->write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  "Sec-WebSocket-Accept: " + accept + "\r\n\r\n");
    client->setProperty(kUpgradedProperty, true);
    client->setProperty(kLinkProperty, upgrades);
    pings.append(0);
    client->setProperty(kBufferProperty, QByteArray());
    ++upgrades;
    afterUpgrade(client);
}

void HostileWebSocketPeer::afterUpgrade(QTcpSocket* client)
{
    switch (behaviour) {
    case CloseMidFrame:
        client->write(frame(0x2, QByteArray(200, 'x')).left(60));
        client->flush();
        client->abort();
        break;
    case OversizedFrame: {
        client->write(header(0x2, kOversizedBytes));
        connect(client, &QTcpSocket::bytesWritten, this, [this, client] { feedOversized(client); });
        feedOversized(client);
        break;
    }
    case CloseAfterUpgrade:
        client->flush();
        client->disconnectFromHost();
        break;
    case CloseWith4001: {
        QByteArray payload(2, '\0');
        qToBigEndian<quint16>(4001, payload.data());
        client->write(frame(0x8, payload + "session expired"));
        client->flush();
        client->disconnectFromHost();
        break;
    }
    case FramesThenIdle:
        for (const auto& f : qAsConst(script))
            client->write(frame(f.first, f.second));
        break;
    default:
        break;
    }
}

void HostileWebSocketPeer::feedOversized(QTcpSocket* client)
{
    // A chunk at a time, only once the last one has left: the peer's own memory stays small
    // and the count says how much the client took in before it hung up.
    if (client->state() != QAbstractSocket::ConnectedState || client->bytesToWrite() > 0
        || oversizedSent >= kOversizedBytes)
        return;
    client->write(QByteArray(kChunkBytes, 'z'));
    oversizedSent += kChunkBytes;
}

void HostileWebSocketPeer::readFrames(QTcpSocket* client)
{
    // Client frames are masked: header, length, four mask bytes, payload.
    QByteArray buffer = client->property(kBufferProperty).toByteArray() + client->readAll();
    for (;;) {
        if (buffer.size() < 2)
            break;
        const int opcode = quint8(buffer[0]) & 0x0F;
        qint64 length = quint8(buffer[1]) & 0x7F;
        int at = 2;
        if (length == 126) {
            if (buffer.size() < 4)
                break;
            length = (quint8(buffer[2]) << 8) | quint8(buffer[3]);
            at = 4;
        } else if (length == 127) {
            if (buffer.size() < 10)
                break;
            length = 0;
            for (int i = 2; i < 10; ++i)
                length = (length << 8) | quint8(buffer[i]);
            at = 10;
        }
        if (buffer.size() < at + 4 + length)
            break;
        QByteArray payload = buffer.mid(at + 4, int(length));
        for (int i = 0; i < payload.size(); ++i)
            payload[i] = char(payload[i] ^ buffer[at + (i % 4)]);
        buffer.remove(0, at + 4 + int(length));
        if (opcode == 0x9) {
            const int link = client->property(kLinkProperty).toInt();
            ++pings[link];
            if (behaviour == QuietButAlive) {
                client->write(frame(0xA, payload));
                ++pongs;
            }
        }
    }
    client->setProperty(kBufferProperty, buffer);
}
