// The current broker's instrument master in memory: lookups, CSV cache files and the start-up download.
#pragma once

#include "symbols/IndianSymbolData.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTime>

#include <functional>

class SymbolRepository : public QObject {
    Q_OBJECT
public:
    explicit SymbolRepository(QObject* parent = nullptr);
    // Waits for a cache load still reading.
    ~SymbolRepository() override;

    int size() const { return symbols.size(); }
    bool isEmpty() const { return symbols.isEmpty(); }
    void setBroker(const QString& name);
    QString currentBroker() const { return broker; }
    void clear();

    QString tokenForSymbol(const QString& tradingSymbol) const;
    IndianSymbolData findByToken(const QString& token) const;
    QString symbolForToken(const QString& token) const;
    QString exchangeForToken(const QString& token) const;
    // The instrument with this token on this exchange (the exchange as the master names it,
    // compared without regard to case). One number can name instruments on several exchanges, so
    // a tick is matched by both; empty when there is none. Records that carry a segment of their
    // own (Dhan's "NSE_EQ", "IDX_I", ...) answer under that name too, since a broker whose
    // numbers are unique only within a segment names its ticks by segment.
    IndianSymbolData findByExchangeToken(const QString& exchange, const QString& token) const;
    QString symbolForExchangeToken(const QString& exchange, const QString& token) const;
    QList<IndianSymbolData> allSymbols() const { return symbols; }
    QList<IndianSymbolData> findAllBySymbol(const QString& tradingSymbol) const;
    // The first record with this symbol (trimmed, compared without regard to case), as
    // tokenForSymbol finds it; empty when there is none.
    IndianSymbolData findBySymbol(const QString& tradingSymbol) const;

    // Dhan's segment name for the master's exchange and segment columns: "IDX_I" for indices,
    // "NSE_EQ", "NSE_FNO", "NSE_CURRENCY", "BSE_EQ", "BSE_FNO", "BSE_CURRENCY", "MCX_COMM".
    static QString dhanSegment(const QString& exchange, const QString& segmentCode);

    void addSymbol(const QString& symbol, const QString& token, const QString& exchange,
                   const QString& instrumentType);
    void addSymbols(const QList<IndianSymbolData>& list);
    // Runs `parse` and adds its records as addSymbols does, both on a thread of their own (the
    // adding against a copy of what is held, taken over in one step), while this thread serves
    // its timers and paints in an event loop of its own; user input and network replies wait
    // for the end. The records parsed. Called while another one waits, or when the records
    // changed meanwhile, the adding is done on this thread.
    QList<IndianSymbolData> addParsedWaiting(const std::function<QList<IndianSymbolData>()>& parse);
    void rebuildIndex();
    QMap<QString, int> countByKey() const;

    bool loadFromCacheSync(const QString& broker, const QString& cacheFolder);
    // The same load with the reading, parsing and indexing on a thread of its own: the records
    // are taken in one step on this object's thread, which then runs `done` with what the
    // synchronous load would have returned. A load or download already running skips it.
    void loadFromCacheAsync(const QString& broker, const QString& cacheFolder,
                            std::function<void(bool loaded)> done);
    bool downloadSync(const QString& broker, const QString& cacheFolder);
    static QList<IndianSymbolData> parseForBroker(const QByteArray& data, const QString& broker,
                                                  const QString& exchange);

    // Daily freshness rule of a cache file fetched at `fetched`, judged at `now`.
    static bool isCacheFresh(const QDateTime& fetched, const QDateTime& now, const QTime& cutoff);
    static QTime cacheCutoff(const QString& broker);

    // Where the masters come from. Keys: "FlatTrade", "Zerodha", "Fyers", "TradeJini", "Dhan",
    // "Upstox"; values: scheme and host (and a path prefix where the broker has one), no trailing
    // slash. Tests point them at 127.0.0.1.
    void setDownloadHost(const QString& brokerName, const QString& baseUrl);
    QString downloadHost(const QString& brokerName) const;
    // How long one master file may go without a byte before it is given up (60 s): a slow link
    // that keeps sending is not cut off, and a stalled file costs no other file its time. The
    // Upstox master keeps its own 30 s for the whole file.
    void setDownloadTimeout(int ms) { downloadTimeoutMs = ms; }
    void setUpstoxTimeout(int ms) { upstoxTimeoutMs = ms; }
    // Wall clock for the cache freshness rule and the meta files.
    void setClock(std::function<QDateTime()> clock);
    // Delay of the refresh of outdated exchanges after a cache load.
    void setRefreshDelay(int ms) { refreshDelayMs = ms; }
    // Test seam: runs on the background load's thread before it reads the files, so a test can
    // make the load end when it chooses.
    void setCacheReadGate(std::function<void()> gate) { cacheReadGate = std::move(gate); }

signals:
    void symbolsLoaded(int count);
    void symbolsCleared();
    void symbolsReloaded();
    // A download ended without these masters of `broker` (refused, not a master, stalled): their
    // instruments are not loaded until a later load fetches them. Once per download run.
    void mastersMissing(QString broker, QStringList exchanges);

private:
    struct DownloadEntry {
        QString label;
        QString url;
        QString cachePath;
    };
    QList<DownloadEntry> downloadEntries(const QString& broker, const QString& cacheFolder) const;
    bool downloadEntriesSync(const QString& broker, const QString& cacheFolder,
                             const QList<DownloadEntry>& entries);
    bool downloadUpstoxSync();
    // The Upstox master's records from its compressed JSON; none when it is damaged.
    static QList<IndianSymbolData> parseUpstoxMaster(const QByteArray& compressed);
    void writeCache(const QString& path, const QByteArray& bytes, const QString& broker,
                    const QString& label, int count);
    void refreshOutdated(const QString& broker, const QString& cacheFolder, const QStringList& labels);
    void indexFrom(int first);
    // The fresh cached masters of the broker into this repository; their record count. Outdated
    // ones are listed for a refresh.
    int readCachedMasters(const QString& broker, const QString& cacheFolder, const QDateTime& current,
                          QStringList* outdated);
    bool finishCacheLoad(const QString& broker, const QString& cacheFolder, int total,
                         const QStringList& outdated);
    QDateTime now() const;

    QList<IndianSymbolData> symbols;
    QHash<QString, int> tokenIndex;   // token -> position of the last record added with it
    QHash<QString, int> symbolIndex;  // upper-cased symbol -> position of the first record with it
    // "EXCHANGE|token" (and "SEGMENT|token" for records with a segment) -> position of the last
    // record with both.
    QHash<QString, int> exchangeTokenIndex;
    QString broker;

    QMap<QString, QString> hosts;
    int downloadTimeoutMs = 60000;
    int upstoxTimeoutMs = 30000;
    int refreshDelayMs = 100;
    std::function<QDateTime()> clock;
    std::function<void()> cacheReadGate;
    bool busy = false;                  // a load or download is running (nested event loops re-enter)
    QSet<QString> downloadedThisRun;    // "broker|exchange" of every master downloaded since construction
    class QThread* cacheReader = nullptr;  // the cache load's thread while it reads
    quint64 changes = 0;        // counts changes of the records, for work done on a copy of them
    bool parseWaiting = false;  // addParsedWaiting waits for its thread
};
