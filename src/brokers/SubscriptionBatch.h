// The keys a connector wants streamed, and what its open stream already carries. Subscribe and
// unsubscribe calls only change the wanted set; once per event-loop turn the connector is handed
// the net change, so a burst of calls (a watchlist of a thousand rows, a feed stopped and started
// again) becomes a message or two, a key dropped and taken back in the same turn costs nothing,
// and a key the stream already carries is never sent again.
#pragma once

#include <QHash>
#include <QObject>
#include <QStringList>

#include <functional>

class SubscriptionBatch : public QObject {
    Q_OBJECT
public:
    struct Change {
        QStringList added;    // wanted, not yet on the stream; in the order first wanted
        QStringList removed;  // on the stream, no longer wanted; in the order they were sent
    };
    // `ready` tells whether the stream takes messages now; `send` writes one change to it.
    SubscriptionBatch(std::function<bool()> ready, std::function<void(const Change&)> send,
                      QObject* parent = nullptr);

    void add(const QStringList& keys);
    void remove(const QStringList& keys);
    void removeIf(const std::function<bool(const QString&)>& pred);
    void removeAll();
    // Wanted keys in the order first wanted.
    QStringList wanted() const;
    bool isWanted(const QString& key) const { return wantedKeys.contains(key); }
    // Wanted keys the stream does not carry yet.
    QStringList waiting() const;
    // A new stream carries nothing: everything wanted goes out on it, now if it is ready.
    void streamReplaced();
    // Forgets everything, wanted and sent, without a message.
    void clear();
    // Sends the net change now when the stream is ready; otherwise it waits for the next flush.
    void flush();

private:
    void schedule();

    const std::function<bool()> ready;
    const std::function<void(const Change&)> send;
    QHash<QString, quint64> wantedKeys;  // key -> order in which it was first wanted
    QHash<QString, quint64> sentKeys;    // key -> order in which it went out
    quint64 next = 0;
    bool due = false;
};
