// Guards one broker stream socket against a peer that misbehaves at length: incoming messages and
// frames are capped at 16 MB (a larger one closes the connection), an opening handshake gets 15 s,
// and an open link that carries no frame and no pong for 90 s counts as dropped. A quiet link is
// probed with a WebSocket ping every third of that time, which any live server answers with a
// pong. The owner hears of either time-out through `expired` and treats the link as failed or lost.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QTimer;
class QWebSocket;

class StreamLinkWatch : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kMaxMessageBytes = 16 * 1024 * 1024;
    static constexpr int kHandshakeTimeoutMs = 15000;
    static constexpr int kSilenceTimeoutMs = 90000;
    // A link that stayed up this long has earned a fresh reconnect back-off.
    static constexpr int kStableLinkMs = 30000;

    explicit StreamLinkWatch(QObject* parent = nullptr);

    // Sets the size caps on a socket that is about to open.
    static void limitSizes(QWebSocket* socket);

    // Test seam: the handshake and silence time-outs.
    void setTimeouts(int handshakeMs, int silenceMs);
    // Test seam: the monotonic clock, in milliseconds, that frames and the timers read.
    void setClock(std::function<qint64()> msClock);

    // Caps the socket and watches it from now on (call before open()); any socket watched before
    // is forgotten.
    void watch(QWebSocket* socket);
    // Stops watching; nothing more is emitted for the socket.
    void stop();

    // The text reported for a close that was not a normal one ("" for a normal close): the code
    // and the server's reason, which for a dropped session says why ("session expired").
    static QString closeProblem(const QWebSocket* socket);
    static QString closeProblem(int code, const QString& reason);
    // An upgrade refused with 401 or 403: the credentials are no good, trying again will not help.
    static bool refusedAuthentication(const QString& errorText);

signals:
    // The handshake took too long, or the open link went silent. The socket is left as it is: the
    // owner releases it, reports `reason` and reconnects or reports the drop.
    void expired(QString reason);

private slots:
    void onHandshakeTimeout();
    void onSilenceTimeout();
    void onProbeTimeout();

private:
    qint64 msSinceFrame() const { return clock() - lastFrameAt; }

    QPointer<QWebSocket> socket;
    QTimer* handshakeTimer;
    QTimer* silenceTimer;
    QTimer* probeTimer;
    int silenceMs = kSilenceTimeoutMs;
    int probeInterval;
    std::function<qint64()> clock;
    // Set by every frame: a clock read is all a frame costs, the timers look at it when due.
    qint64 lastFrameAt = 0;
};
