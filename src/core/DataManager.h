// In-memory store of the running process's market data: latest tick, bounded tick history and bars per symbol.
#pragma once

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <vector>

#include "core/MarketData.h"

// Thread-safe: every public operation takes one non-recursive mutex for its whole run, so the GUI
// thread may store while the AmiBroker host reads from its own threads. Signals are emitted with the
// mutex held: a directly connected receiver must not call back into the store (use a queued one).
class DataManager : public QObject {
    Q_OBJECT
public:
    explicit DataManager(QObject* parent = nullptr);
    ~DataManager() override;

    // Drops invalid ticks (TickData::isValid) silently. Keeps at most maxTicksPerSymbol() per symbol,
    // pushing out the oldest; no de-duplication.
    void storeTick(const TickData& tick);
    // Replaces the symbol's bars as a whole and sorts them ascending by timestamp. An empty list
    // leaves the existing bars alone and emits nothing.
    void storeHistoricalData(const QString& symbol, const QList<OHLCData>& bars);

    TickData latestTick(const QString& symbol) const;       // invalid TickData when none
    QStringList availableSymbols() const;                   // ticks or bars, sorted by code unit
    OHLCData barForDate(const QString& symbol, const QDateTime& when) const;
    // Bars with from <= timestamp <= to in stored order; an invalid bound leaves that end open.
    QList<OHLCData> historicalData(const QString& symbol, const QDateTime& from,
                                   const QDateTime& to) const;
    bool hasSymbol(const QString& symbol) const;
    int barCount(const QString& symbol) const;
    int tickCount(const QString& symbol) const;
    QDateTime lastUpdateTime(const QString& symbol) const;
    QDateTime firstUpdateTime(const QString& symbol) const;
    void removeSymbol(const QString& symbol);
    void clearAll();

    int maxTicksPerSymbol() const { return m_maxTicksPerSymbol; }  // 10000
    int retentionDays() const { return m_retentionDays; }          // 365

signals:
    void newTickStored(QString symbol, TickData tick);
    void historicalDataStored(QString symbol, int count);

private slots:
    // Every 300000 ms: drops ticks and bars older than retentionDays(); keys and latest ticks stay.
    void cleanupOldData();

private:
    // One stored tick of the history. The symbol is the map key and token/exchange rarely change for a
    // symbol, so they are interned per symbol instead of held by every tick: a decoder that builds fresh
    // strings for each frame would otherwise keep three string buffers alive per stored tick.
    struct StoredTick {
        qint64 msecs;        // timestamp, milliseconds since the epoch
        double ltp, open, high, low, volume, openInterest;
        qint32 lastTradedQty;
        qint32 offsetSecs;   // for Qt::OffsetFromUTC (and time-zone stamps, kept as their offset)
        quint16 stringsIndex;  // into Slot::strings
        quint8 timeSpec;     // Qt::TimeSpec of the original timestamp
    };

    // Fixed-capacity ring of ticks in arrival order, oldest first. Grows by doubling up to the cap,
    // then overwrites the oldest, so a store is one copy and no allocation at steady state.
    class TickRing {
    public:
        int size() const { return m_size; }
        bool isEmpty() const { return m_size == 0; }
        const StoredTick& at(int i) const { return m_buf[(m_head + i) % m_buf.size()]; }
        void push(const StoredTick& t, int cap);
        // Drops the ticks for which pred is true, keeping the order of the rest; pred may edit a tick.
        template <typename Pred> void removeIf(Pred pred);
        void clear();
        size_t capacityBytes() const { return m_buf.capacity() * sizeof(StoredTick); }

    private:
        std::vector<StoredTick> m_buf;
        int m_head = 0;
        int m_size = 0;
    };

    struct TokenExchange {
        QString token;
        QString exchange;
    };

    // Everything kept for one symbol. hasTick/hasBars stand for the presence of the key in the
    // latest-tick and bar maps: an entry can exist with an empty list after a cleanup.
    struct Slot {
        bool hasTick = false;
        bool hasBars = false;
        TickData latest;
        QList<OHLCData> bars;  // ascending by timestamp
        TickRing ticks;
        std::vector<TokenExchange> strings;
    };

    static QDateTime toDateTime(const StoredTick& t);
    quint16 internStrings(Slot& slot, const TickData& tick);
    void startCleanupTimer();

    mutable QMutex m_mutex;
    QHash<QString, Slot> m_slots;
    QTimer* m_cleanupTimer = nullptr;
    const int m_maxTicksPerSymbol = 10000;
    const int m_retentionDays = 365;
};
