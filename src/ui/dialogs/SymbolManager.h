// The symbol manager dialog: per-broker instrument masters (cache, conditional download, parsing),
// the searchable symbol table, the dialog's own watchlist, and token and symbol lookups.
#pragma once

#include "brokers/ISymbolLookup.h"
#include "symbols/IndianSymbolData.h"

#include <QDialog>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QPointer>
#include <QSet>
#include <QString>

#include <functional>

class BrokerAPI;
class ISymbolProvider;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QNetworkAccessManager;
class QNetworkReply;
class QProgressBar;
class QPushButton;
class QTableWidget;
class SettingsManager;
class SymbolRepository;
class DialogPrompts;
struct SymbolMasterText;

class SymbolManager : public QDialog, public ISymbolLookup {
    Q_OBJECT
public:
    SymbolManager(SettingsManager* settings, SymbolRepository* repository, QWidget* parent = nullptr);
    ~SymbolManager() override;

    void setBrokerApi(BrokerAPI* api) { brokerApi = api; }
    SymbolRepository* symbolRepository() const { return repository; }
    // Message and question boxes; the system's modal boxes unless replaced (tests answer them).
    void setPrompts(DialogPrompts* prompts);
    // Scheme and host (plus any path prefix) of a broker's master files: "FlatTrade", "Zerodha",
    // "Fyers", "TradeJini". Defaults are the repository's hosts.
    void setMasterHost(const QString& broker, const QString& baseUrl);
    QString masterHost(const QString& broker) const;
    // Transfer limit of one master download; a stalled server then reports an error.
    void setDownloadTimeout(int ms) { downloadTimeoutMs = ms; }
    // The master's address for a broker and exchange; empty when the broker has none for it.
    QString masterUrl(const QString& broker, const QString& exchange) const;

    // Cache files.
    QString cacheDir() const;
    QString cacheFilePath(const QString& broker, const QString& exchange) const;
    QString cacheMetaPath(const QString& broker, const QString& exchange) const;
    bool isCacheValid(const QString& path) const;
    qint64 cacheAgeSeconds(const QString& path) const;
    QByteArray loadCacheFile(const QString& path) const;
    QJsonObject readCacheMeta(const QString& path) const;
    void writeCacheMeta(const QString& path, const QJsonObject& meta) const;
    // Replaces the file in one step; the old file stays whole when anything fails.
    bool saveCacheAtomically(const QString& path, const QByteArray& data) const;
    void clearCache();

    // Loaders.
    void loadFlatTradeSymbols(const QString& exchange, bool silent);
    void loadZerodhaSymbols(const QString& exchange, bool silent);
    void loadFyersSymbols(const QString& exchange, bool silent);
    void loadTradeJiniSymbols(const QString& segment);
    void loadZerodhaSymbolsSilent(const QString& exchange);
    void loadFlatTradeForSelectedExchange();
    void loadZerodhaForSelectedExchange();
    void loadFyersForSelectedExchange();
    void loadAllExchangeSymbols();
    void showForBroker(const QString& broker);
    // Points the broker choice at `broker` when the dialog offers it, so that its load button loads
    // that broker's masters; other brokers leave the choice as it is and give false.
    bool selectBroker(const QString& broker);
    // Whether the broker choice offers `broker`, so that the load button has a master to load.
    bool offersBroker(const QString& broker) const;
    void loadSymbolsSilently(const QString& broker);
    void setSymbolProvider(ISymbolProvider* provider);
    ISymbolProvider* symbolProvider() const { return provider; }
    bool isLoadingAllExchanges() const { return allExchanges; }
    int pendingDownloads() const { return pendingCount; }

    // Parsers: append false starts a new list unless an all-exchanges load is running.
    void parseTradeJiniSymbols(const QByteArray& data, bool append);
    void parseZerodhaInstruments(const QByteArray& data, bool append);
    void parseFlatTradeSymbols(const QByteArray& data, bool append);
    // exchange: the exchange the file was fetched for; empty means the exchange box's choice.
    void parseFyersSymbols(const QByteArray& data, bool append, const QString& exchange = QString());
    QList<IndianSymbolData> loadedSymbols() const { return loaded; }
    QList<IndianSymbolData> filteredSymbolList() const { return filtered; }

    // Table and filter.
    void populateTable();
    void filterSymbols();

    // Watchlist of the dialog (not stored; the main window keeps its own).
    void addToWatchlist(const IndianSymbolData& record);
    void clearWatchlist();
    void refreshWatchlistDisplay();
    void saveWatchlist();
    void loadWatchlist();
    void reloadWatchlist();
    QList<IndianSymbolData> watchlistSymbols() const { return watchlist; }

    // Lookups for the main window and the history queue.
    IndianSymbolData getSymbolByToken(const QString& token) const;
    IndianSymbolData symbolByToken(const QString& token) const override;
    QString getSymbolForToken(const QString& token) const;
    QString findSymbol(const QString& symbol) const override;
    bool hasSymbols() const;

signals:
    // A load started from the dialog (its load button) ended; ok false when it failed.
    void loadFinished(bool ok);
    // A load of all of a broker's exchanges (the silent start-up load among them) has ended.
    void allExchangesLoaded();

private slots:
    void onLoadSymbolsClicked();
    void onSearchTextChanged();
    void onAddToWatchlistClicked();
    void onRemoveFromWatchlistClicked();
    void onSymbolDoubleClicked(int row, int column);

private:
    struct Download {
        QString broker;
        QString exchange;
        QString cachePath;
        QString metaPath;
        bool silent = false;
        int batch = 0;  // the all-exchanges load it belongs to; 0 for none
    };

    void setupUi();
    void loadOneExchange(const QString& broker, const QString& exchange, bool silent);
    void downloadSymbolMaster(const QString& url, const Download& download);
    // One reply serves every load that asked for the same master while it ran.
    void onSymbolMasterReply(QNetworkReply* reply, const QList<Download>& waiting);
    void parseForBroker(const QString& broker, const QString& exchange, const QByteArray& data, bool append);
    void onDownloadFinished();
    void exchangeDone(int batch);
    void onProviderSymbols(const QByteArray& data, const QString& exchange);
    void onProviderError(const QString& error);
    void beginParse(bool append);
    // Parses a master with `parser` into the loaded list and the repository, and logs the count
    // after `prefix`.
    void parseMaster(const char* prefix, bool info, bool append, const QByteArray& data,
                     const std::function<QList<IndianSymbolData>(const SymbolMasterText&)>& parser);
    void setBusy(bool busy);
    void say(int kind, const QString& title, const QString& text);
    int currentBatch() const { return inBatchLoop ? batchId : 0; }

    QComboBox* brokerCombo = nullptr;
    QComboBox* exchangeCombo = nullptr;
    QLineEdit* searchEdit = nullptr;
    QPushButton* loadButton = nullptr;
    QProgressBar* progressBar = nullptr;
    QLabel* statusLabel = nullptr;
    QTableWidget* symbolTable = nullptr;
    QPushButton* addButton = nullptr;
    QListWidget* watchlistWidget = nullptr;
    QPushButton* removeButton = nullptr;

    SettingsManager* settings;
    SymbolRepository* repository;
    QNetworkAccessManager* network;
    QList<IndianSymbolData> loaded;
    QList<IndianSymbolData> filtered;
    QList<IndianSymbolData> watchlist;
    QString currentBroker = QStringLiteral("Fyers");
    bool allExchanges = false;
    int pendingCount = 0;
    int batchId = 0;
    bool inBatchLoop = false;
    QSet<QString> providerBatchExchanges;  // provider requests the running all-exchanges load awaits
    ISymbolProvider* provider = nullptr;
    BrokerAPI* brokerApi = nullptr;
    DialogPrompts* prompts;
    QMap<QString, QString> hostOverrides;
    // Masters on their way, by cache file, with every load waiting for each.
    QHash<QString, QList<Download>> downloadsInFlight;
    int downloadTimeoutMs = 60000;
};
