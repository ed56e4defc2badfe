// A WebSocket server on 127.0.0.1 that misbehaves on purpose, speaking the protocol over a plain
// TCP server so that it can do what a well-behaved library would not: stall before or after the
// upgrade, refuse it, cut a frame short, announce a huge frame, close with odd codes, or mix
// junk frames among valid ones.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>

class QTcpSocket;

class HostileWebSocketPeer : public QObject {
    Q_OBJECT
public:
    enum Behaviour {
        StallBeforeUpgrade,  // takes the connection, never answers the upgrade
        StallAfterUpgrade,   // upgrades, then says nothing (no pong either) but counts pings
        CloseMidFrame,       // upgrades, sends half a frame and drops the connection
        OversizedFrame,      // upgrades, announces a 100 MB frame and streams it while the client listens
        CloseAfterUpgrade,   // upgrades and drops the connection at once
        CloseWith4001,       // upgrades, then a close frame with code 4001 "session expired"
        Refuse401,           // answers the upgrade with 401
        Refuse403,           // answers the upgrade with 403
        FramesThenIdle,      // upgrades, sends the frames set with setFrames, keeps the link open
        QuietButAlive,       // upgrades, then only answers pings with pongs
        HoldUpgrade,         // keeps each upgrade request unanswered until answerHeldUpgrades()
    };
    Q_ENUM(Behaviour)

    explicit HostileWebSocketPeer(Behaviour behaviour, QObject* parent = nullptr);
    bool listen();
    QString baseUrl() const;  // "ws://127.0.0.1:<port>"

    // Frames for FramesThenIdle, each (opcode, payload); 0x1 text, 0x2 binary.
    void setFrames(const QList<QPair<int, QByteArray>>& frames) { script = frames; }

    // HoldUpgrade: answers every held request whose connection is still up with 101; from then on
    // the link is kept open and what the client sends is counted.
    void answerHeldUpgrades();
    int heldCount() const { return held.size(); }
    // Connections not yet closed, as this side sees them.
    int openConnections() const { return open; }
    // Bytes clients sent after their upgrade request: frames, or anything written before the answer.
    qint64 bytesAfterRequest() const { return afterRequest; }

    int connectionCount() const { return connections; }
    int upgradeCount() const { return upgrades; }
    // OversizedFrame: payload bytes written before the client hung up.
    qint64 oversizedBytesSent() const { return oversizedSent; }
    int pongsSent() const { return pongs; }
    // Pings that came over the n-th upgraded link (from 0), and the milliseconds from its upgrade to
    // the first one (-1: none yet).
    int pingsOnLink(int n) const { return pings.value(n); }
    // The first line of each upgrade request, as the client sent it.
    QList<QByteArray> requestLines() const { return requests; }

signals:
    void upgradeHeld();
    void connectionClosed();

private:
    void onNewConnection();
    void upgrade(QTcpSocket* client, const QByteArray& request);
    void onReadyRead(QTcpSocket* client);
    void afterUpgrade(QTcpSocket* client);
    void feedOversized(QTcpSocket* client);
    void readFrames(QTcpSocket* client);

    const Behaviour behaviour;
    QTcpServer server;
    QList<QPair<int, QByteArray>> script;
    int connections = 0;
    int upgrades = 0;
    qint64 oversizedSent = 0;
    int pongs = 0;
    QList<int> pings;  // one count per upgraded link
    QList<QByteArray> requests;
    QList<QPair<QPointer<QTcpSocket>, QByteArray>> held;  // connection and its request
    int open = 0;
    qint64 afterRequest = 0;
};
