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

#include <memory>
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
    // Drops ticks and bars older than retentionDays() from every symbol at once; keys and latest
    // ticks stay. Every 300000 ms the same clean-up runs in steps (startCleanupPass).
    void cleanupOldData();
    // Starts a stepped clean-up pass (what the five-minute timer does).
    void startCleanupPass();

private:
    // One tick of the history, without its texts: the symbol is the map key, and token and exchange
    // are kept with the latest tick. Holding the strings per tick would keep a decoder's freshly built
    // string buffers alive for every stored tick, several times the size of the prices. The timestamp
    // stays a QDateTime (8 bytes for local and UTC times): turning a local time into epoch
    // milliseconds costs a time-zone lookup that would dominate the store.
    struct StoredTick {
        QDateTime timestamp;
        double ltp, open, high, low, volume, openInterest;
        qint32 lastTradedQty;
    };

    // Ring of ticks in arrival order, oldest first, up to the cap, then overwriting the oldest.
    // It grows block by block and never moves a stored tick: a thousand histories growing at
    // the same moment would otherwise copy hundreds of megabytes on the caller's thread. Blocks
    // are small (2 KB) so that the fresh memory of such a moment is touched in small steps.
    class TickRing {
    public:
        TickRing() = default;
        TickRing(const TickRing& other) { *this = other; }
        TickRing& operator=(const TickRing& other);
        TickRing(TickRing&&) = default;
        TickRing& operator=(TickRing&&) = default;
        int size() const { return m_size; }
        bool isEmpty() const { return m_size == 0; }
        const StoredTick& at(int i) const { return slot(wrap(m_head + i)); }
        void push(const StoredTick& t, int cap);
        // Drops the ticks for which pred is true, keeping the order of the rest.
        template <typename Pred> void removeIf(Pred pred);

    private:
        static constexpr int kBlockShift = 5;
        static constexpr int kBlockTicks = 1 << kBlockShift;
        StoredTick& slot(int p) const { return m_blocks[size_t(p >> kBlockShift)][p & (kBlockTicks - 1)]; }
        int wrap(int i) const { return i >= m_length ? i - m_length : i; }

        std::vector<std::unique_ptr<StoredTick[]>> m_blocks;
        int m_length = 0;  // slots in the ring: those of the blocks, at most the cap
        int m_head = 0;    // index of the oldest tick
        int m_size = 0;
    };

    // Everything kept for one symbol. hasTick/hasBars stand for the presence of the key in the
    // latest-tick and bar maps: an entry can exist with an empty list after a cleanup.
    struct Slot {
        bool hasTick = false;
        bool hasBars = false;
        TickData latest;
        QList<OHLCData> bars;  // ascending by timestamp
        TickRing ticks;
    };

    void startCleanupTimer();
    // The periodic clean-up walks the symbols a few milliseconds at a time, each step on its own
    // turn of the event loop, so that a thousand full histories never hold the loop at once.
    void cleanupSome();
    struct Cutoff {
        QDateTime local, utc;
    };
    static Cutoff retentionCutoff(int days);
    static void dropOlderThan(Slot& slot, const Cutoff& cutoff);

    mutable QMutex m_mutex;
    QHash<QString, Slot> m_slots;
    QTimer* m_cleanupTimer = nullptr;
    QStringList m_cleanupQueue;  // symbols the running pass has still to visit
    Cutoff m_cleanupCutoff;
    const int m_maxTicksPerSymbol = 10000;
    const int m_retentionDays = 365;
};
