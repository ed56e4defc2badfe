// WebSocket client for the Dhan feed that runs on a thread of its own: connects, reads and
// reconnects there and reports every event through one callback called on that thread.
#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <atomic>
#include <functional>
#include <memory>

class QThread;
class DhanFeedWorker;

struct DhanFeedEvent {
    enum Type { Open, Close, Error, Message, Ping, Pong };
    Type type = Message;
    QByteArray data;      // Message: the frame's bytes (text frames as UTF-8)
    bool binary = false;  // Message: a binary frame
    int closeCode = 0;    // Close
    QString reason;       // Close: close reason; Error: what failed
    int httpStatus = 0;   // Error: status of a refused handshake, 0 when there was none
};

// The owner's thread calls every method; the callback runs on the client's own thread and must
// neither block on the owner's thread nor touch the owner's state (it may only copy, decode and
// post). stop() joins the thread, so no callback runs after it returns.
class DhanFeedClient {
public:
    using Callback = std::function<void(const DhanFeedEvent&)>;

    DhanFeedClient();
    ~DhanFeedClient();
    DhanFeedClient(const DhanFeedClient&) = delete;
    DhanFeedClient& operator=(const DhanFeedClient&) = delete;

    // Both are read by start(); later changes apply to the next start().
    void setUrl(const QUrl& url) { feedUrl = url; }
    void setOnMessageCallback(Callback callback) { onEvent = std::move(callback); }
    // Wait before reconnecting after a drop or a failed attempt: doubles from 100 ms per attempt,
    // kept within [minMs, maxMs]; reset once a link has stayed open for 30 s.
    void setReconnectWaitRange(int minMs, int maxMs);
    // How long the handshake may take and an open link may stay silent (15 s and 90 s); either
    // ends in an Error event and a reconnect.
    void setLinkTimeouts(int handshakeMs, int silenceMs);

    // Starts the thread, which connects at once and reconnects after every drop until stop(), or
    // until the server refuses the upgrade with 401 or 403 (reported, never retried).
    void start();
    // Sends a close frame when open, ends reconnection and joins the thread.
    void stop(quint16 code, const QString& reason);
    // Queues a text frame; false (nothing sent) unless the connection is open.
    bool sendText(const QString& text);
    bool isOpen() const;
    // Reconnects since the last link that lasted; 0 while none was needed.
    int reconnectAttempts() const { return attempts->load(); }

private:
    QUrl feedUrl;
    Callback onEvent;
    int minWaitMs = 1;
    int maxWaitMs = 10000;
    int handshakeTimeoutMs = 15000;
    int silenceTimeoutMs = 90000;
    QThread* thread = nullptr;
    DhanFeedWorker* worker = nullptr;  // lives on `thread`; only reached through queued calls
    std::shared_ptr<std::atomic<bool>> open;  // written by the worker, read by the owner
    std::shared_ptr<std::atomic<int>> attempts;  // likewise
};
