// Candle store over two SQLite databases (minute and day candles) through Qt's QSQLITE driver.
#pragma once

#include "backtest/IOHLCStore.h"

#include <QHash>
#include <QMutex>
#include <QObject>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <QVector>

#include <atomic>

class QThread;
struct sqlite3_stmt;

// A Qt SQL connection may only be used by the thread that created it, while this store is created on
// the GUI thread and read from backtest worker threads. So every thread that touches the store gets its
// own pair of connections on the same databases, opened on first use and closed when that thread
// finishes or the store is closed. ":memory:" opens shared-cache in-memory databases, so that every
// thread's connection sees the same rows.
class SQLiteOHLCStore : public IOHLCStore {
public:
    SQLiteOHLCStore();
    ~SQLiteOHLCStore() override;
    SQLiteOHLCStore(const SQLiteOHLCStore&) = delete;
    SQLiteOHLCStore& operator=(const SQLiteOHLCStore&) = delete;

    // Opens (creating if absent) "1min.db" and "day.db" in `directory`, or two in-memory databases when
    // it is ":memory:". A store that is already open is closed first. On failure nothing stays registered.
    bool open(const QString& directory);
    void close();
    bool isOpen() const { return m_open.load(); }
    QString directory() const { return m_directory; }

    // The calling thread's connections (opened on demand); invalid while the store is closed.
    QSqlDatabase minuteDatabase();
    QSqlDatabase dayDatabase();

    int insertMinuteCandles(const QString& symbol, const QVector<StoredCandle>& candles) override;
    int insertDayCandles(const QString& symbol, const QVector<StoredCandle>& candles) override;
    // One transaction per batch that takes the write lock first, waiting for it at most
    // kWriteLockWaitMs: rows never wait one by one, and a batch is written whole or not at all
    // (rows a constraint refuses are counted as failed).
    InsertReport insertCandles(bool minute, const QString& symbol, const QVector<StoredCandle>& candles) override;
    static constexpr int kWriteLockWaitMs = 250;
    QVector<StoredCandle> loadMinuteCandles(const QString& symbol, const QString& date) override;
    QVector<StoredCandle> loadDayCandles(const QString& symbol, const QString& from, const QString& to) override;
    QStringList availableDates(const QString& symbol, const QString& from, const QString& to) override;
    void dateRange(const QString& symbol, QString& firstDate, QString& lastDate) override;
    void deleteSymbol(const QString& symbol) override;
    qint64 minuteCandleCount() override;

private:
    struct ThreadConnections {
        QSqlDatabase minute;
        QSqlDatabase day;
        QString minuteName;
        QString dayName;
        // The replay's two reads, prepared once per connection on its SQLite handle (they run once
        // per replayed day) and read without a QVariant per column.
        sqlite3_stmt* minuteRead = nullptr;
        sqlite3_stmt* dayRead = nullptr;
        sqlite3_stmt* minuteInsert = nullptr;
        sqlite3_stmt* dayInsert = nullptr;
        // Bar times by second of the day: 375 texts shared by every day read instead of one per row.
        QVector<QString> times;
    };

    // Caller holds m_lock. Returns null when the connections could not be opened.
    ThreadConnections* connectionsForCurrentThread();
    bool openConnection(QSqlDatabase& db, const QString& name, const QString& file, bool logFailure);
    QString databasePath(const QString& file) const;
    void releaseThread(QThread* thread);
    static void dropConnections(ThreadConnections& c);

    std::atomic<bool> m_open{false};
    QString m_directory;
    QString m_minuteConnectionName;  // "ohlc_min_" + 8 characters of a fresh UUID
    QString m_dayConnectionName;     // "ohlc_day_" + 8 characters of another UUID
    QMutex m_lock;                   // serialises every query on every connection

    bool m_memory = false;
    quint64 m_nextConnection = 0;
    QHash<QThread*, ThreadConnections> m_connections;
    QObject m_threadWatch;  // context for the thread-finished hooks; going away disconnects them
};
