// One broker stream socket: opening, replacing and closing it, the keep-alive timer, the size caps
// and time-outs, and the guard that keeps a replaced socket's late signals away from the
// connection that took its place.
#pragma once

#include <QAbstractSocket>
#include <QObject>
#include <QString>

class QNetworkRequest;
class QTimer;
class QWebSocket;
class StreamLinkWatch;

// Ends a socket the caller has already cut off from its own slots: a close frame only on an open
// stream; one still opening is cut off, so its handshake cannot complete and nothing is written
// before the upgrade. The socket is deleted later.
void endStreamSocket(QWebSocket* socket);

class StreamSocketClient : public QObject {
    Q_OBJECT
public:
    explicit StreamSocketClient(QObject* parent = nullptr);
    ~StreamSocketClient() override;

    // Drops any socket there is (without a signal from it) and opens a new one.
    void open(const QNetworkRequest& request);
    // Closes an open stream normally, cuts off one still opening, and drops the socket; emits
    // nothing. The keep-alive stops too.
    void close();

    bool hasSocket() const { return socket != nullptr; }
    bool isOpen() const { return open_; }
    // UnconnectedState when there is no socket.
    QAbstractSocket::SocketState state() const;

    // Sends one text frame; false (nothing sent) while the stream is not open.
    bool sendText(const QString& text);

    // Keep-alive: the text message when one is set, otherwise a WebSocket ping frame. The timer
    // sends only while the stream is open.
    void setPingMessage(const QString& text) { pingMessage = text; }
    void setPingInterval(int ms);
    int pingInterval() const;
    void startPing();
    void stopPing();
    bool isPinging() const;
    // Test seam: the handshake and silence time-outs (15 s and 90 s).
    void setLinkTimeouts(int handshakeMs, int silenceMs);

signals:
    void connected();
    // Only after `connected`: a socket that never opened reports through `failed` alone. A close
    // that was not a normal one, and an open link gone silent, report through `failed` first.
    void disconnected();
    void textMessageReceived(QString message);
    void binaryMessageReceived(QByteArray data);
    void failed(QString errorText);

private:
    void release();
    void onPingTimer();
    void onLinkExpired(const QString& reason);

    QWebSocket* socket = nullptr;
    QTimer* pingTimer;
    StreamLinkWatch* watch;
    QString pingMessage;
    bool open_ = false;
};
