// The one settings store: provider, broker credentials, options, watchlists, symbol caches, trading hours.
#pragma once

#include <QDate>
#include <QDateTime>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QReadWriteLock>
#include <QString>
#include <QStringList>
#include <QTime>

#include <functional>
#include <memory>

class QSettings;
class SettingsFileWriter;

// Values live in memory; setters emit settingsChanged() and nothing reaches the file until
// saveSettings(). Lives on the GUI thread; only the trading-hours queries may be called from other
// threads (feed threads drop ticks outside the hours).
class SettingsManager : public QObject {
    Q_OBJECT
public:
    // Provider indices as stored under "API/provider".
    enum BrokerType {
        Zerodha = 0,
        FlatTrade = 1,
        TradeJini = 2,
        Dhan = 3,
        AngelOne = 4,
        Upstox = 5,
        CustomAPI = 6,
        Fyers = 7,
    };

    // Shown when a save changes the stored provider. Core has no widgets: the ui layer installs a
    // prompt that shows a modal box with this title and text; the application quits after it returns.
    using RestartPrompt = std::function<void(const QString& title, const QString& text)>;
    static const char* const kRestartTitle;  // "Restart Required"
    static const char* const kRestartText;

    explicit SettingsManager(QObject* parent = nullptr);
    ~SettingsManager() override;

    // Writes every value and has the file written out and made owner-only on the writer thread:
    // returns without waiting for the disk. When the running provider (before one is given: the
    // stored one) differs from the current one, waits for the file, runs the restart prompt and
    // asks the application to quit; the save completes. Destroying the manager waits for every
    // write requested before.
    void saveSettings();
    // Blocks until everything saved or set so far is on disk.
    void waitForWrites();
    // Replaces the restart prompt. Without one the message goes to the log only.
    void setRestartPrompt(RestartPrompt prompt);
    // The provider whose connector this process runs. Once given, a save with any other provider
    // asks for the restart, whether or not the file ever stored one.
    void setActiveProvider(int provider) { m_activeProvider = provider; }
    QString settingsFilePath() const;

    static QString providerName(int provider);  // "Unknown" outside 0..7
    bool hasApiKey() const;                     // apiKey has 8 or more characters
    bool isAmiBrokerConfigured() const;         // pluginEnabled and a non-empty amiBrokerPath
    QString appDataPath() const;

    int provider() const { return m_provider; }
    void setProvider(int provider);
    QString apiKey() const { return m_apiKey; }
    void setApiKey(const QString& key);
    QString customUrl() const { return m_customUrl; }
    void setCustomUrl(const QString& url);
    int rateLimit() const { return m_rateLimit; }
    void setRateLimit(int perMinute);

    QString fyersClientId() const { return m_fyersClientId; }
    void setFyersClientId(const QString& v);
    QString fyersAccessToken() const { return m_fyersAccessToken; }
    void setFyersAccessToken(const QString& v);
    QString fyersAppId() const { return m_fyersAppId; }
    void setFyersAppId(const QString& v);
    // The app's secret, hashed with the app id at login.
    QString fyersSecretKey() const { return m_fyersSecretKey; }
    void setFyersSecretKey(const QString& v);
    QStringList fyersSelectedSymbols() const { return m_fyersSelectedSymbols; }
    void setFyersSelectedSymbols(const QStringList& symbols);  // stores only a different list, emits nothing

    QString zerodhaApiKey() const { return m_zerodhaApiKey; }
    void setZerodhaApiKey(const QString& v);
    QString zerodhaApiSecret() const { return m_zerodhaApiSecret; }
    void setZerodhaApiSecret(const QString& v);
    QString zerodhaAccessToken() const { return m_zerodhaAccessToken; }
    void setZerodhaAccessToken(const QString& v);
    QDateTime zerodhaTokenExpiry() const { return m_zerodhaTokenExpiry; }
    void setZerodhaTokenExpiry(const QDateTime& v);

    QString flatTradeApiKey() const { return m_flatTradeApiKey; }
    void setFlatTradeApiKey(const QString& v);
    QString flatTradeApiSecret() const { return m_flatTradeApiSecret; }
    void setFlatTradeApiSecret(const QString& v);
    QString flatTradeAccessToken() const { return m_flatTradeAccessToken; }
    void setFlatTradeAccessToken(const QString& v);
    QString flatTradeClientId() const { return m_flatTradeClientId; }
    void setFlatTradeClientId(const QString& v);

    QString tradeJiniApiKey() const { return m_tradeJiniApiKey; }
    void setTradeJiniApiKey(const QString& v);
    QString tradeJiniApiSecret() const { return m_tradeJiniApiSecret; }
    void setTradeJiniApiSecret(const QString& v);
    QString tradeJiniAccessToken() const { return m_tradeJiniAccessToken; }
    void setTradeJiniAccessToken(const QString& v);
    QString tradeJiniClientId() const { return m_tradeJiniClientId; }
    void setTradeJiniClientId(const QString& v);

    QString dhanApiKey() const { return m_dhanApiKey; }
    void setDhanApiKey(const QString& v);
    QString dhanApiSecret() const { return m_dhanApiSecret; }
    void setDhanApiSecret(const QString& v);
    QString dhanAccessToken() const { return m_dhanAccessToken; }
    void setDhanAccessToken(const QString& v);
    QString dhanClientId() const { return m_dhanClientId; }
    void setDhanClientId(const QString& v);

    QString angelOneApiKey() const { return m_angelOneApiKey; }
    void setAngelOneApiKey(const QString& v);
    QString angelOneClientCode() const { return m_angelOneClientCode; }
    void setAngelOneClientCode(const QString& v);
    QString angelOnePassword() const { return m_angelOnePassword; }
    void setAngelOnePassword(const QString& v);
    QString angelOneTotp() const { return m_angelOneTotp; }
    void setAngelOneTotp(const QString& v);
    QString angelOneJwtToken() const { return m_angelOneJwtToken; }
    void setAngelOneJwtToken(const QString& v);
    QString angelOneRefreshToken() const { return m_angelOneRefreshToken; }
    void setAngelOneRefreshToken(const QString& v);
    QString angelOneFeedToken() const { return m_angelOneFeedToken; }
    void setAngelOneFeedToken(const QString& v);

    QString upstoxApiKey() const { return m_upstoxApiKey; }
    void setUpstoxApiKey(const QString& v);
    QString upstoxApiSecret() const { return m_upstoxApiSecret; }
    void setUpstoxApiSecret(const QString& v);
    QString upstoxAccessToken() const { return m_upstoxAccessToken; }
    void setUpstoxAccessToken(const QString& v);  // settingsChanged, then upstoxAccessTokenChanged

    bool connectOnStartup() const { return m_connectOnStartup; }
    void setConnectOnStartup(bool on);
    int updateInterval() const { return m_updateInterval; }
    void setUpdateInterval(int interval);
    // Seconds a request may wait for its reply (at least 1).
    int requestTimeout() const { return m_requestTimeout; }
    void setRequestTimeout(int seconds);
    int maxHistoricalDays() const { return m_maxHistoricalDays; }
    void setMaxHistoricalDays(int days);
    bool autoDownloadHistorical() const { return m_autoDownloadHistorical; }
    void setAutoDownloadHistorical(bool on);

    QString amiBrokerPath() const { return m_amiBrokerPath; }
    void setAmiBrokerPath(const QString& path);
    bool pluginEnabled() const { return m_pluginEnabled; }
    void setPluginEnabled(bool on);

    // Backfill controls of the main window: read from and written to the file at once, no signal.
    QString historicalTimeframe() const;  // default "5minute"
    void setHistoricalTimeframe(const QString& timeframe);
    QString historicalDateRange() const;  // default "Last 6 Months"
    void setHistoricalDateRange(const QString& range);
    QDate historicalFromDate() const;  // default today minus 6 months
    void setHistoricalFromDate(const QDate& date);
    QDate historicalToDate() const;  // default today
    void setHistoricalToDate(const QDate& date);

    // Watchlists. The current watchlist mirrors the list of currentBroker() when one is set.
    QStringList watchlist() const { return m_watchlist; }
    void setWatchlist(const QStringList& list);
    QStringList watchlistForBroker(const QString& broker) const;
    void setWatchlistForBroker(const QString& broker, const QStringList& list);
    void addSymbolForBroker(const QString& broker, const QString& symbol);
    void removeSymbolForBroker(const QString& broker, const QString& symbol);
    void addSymbolToWatchlist(const QString& symbol);       // upper-cases the symbol
    void removeSymbolFromWatchlist(const QString& symbol);  // upper-cases the symbol
    QString currentBroker() const { return m_currentBroker; }
    void setCurrentBroker(const QString& broker);  // emits only on a change

    // Symbol caches.
    QString symbolDisplayName(const QString& key) const;  // the key itself when not cached
    QString symbolExchange(const QString& key) const;     // empty when not cached
    void cacheSymbolName(const QString& key, const QString& name);
    void cacheSymbolInfo(const QString& key, const QString& name, const QString& exchange);
    void clearSymbolCaches();

    // Trading hours; safe to call from any thread.
    QTime marketStartTime(const QString& exchange) const;
    QTime marketEndTime(const QString& exchange) const;
    void setMarketStartTime(const QString& exchange, const QTime& time);
    void setMarketEndTime(const QString& exchange, const QTime& time);
    // Inclusive to the millisecond; hours whose end is before their start span midnight. Uses the
    // time of day of dateTime as given, without converting time zones.
    bool isWithinMarketHours(const QString& exchange, const QDateTime& dateTime) const;

signals:
    void settingsChanged();
    void upstoxAccessTokenChanged(QString token);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void initDefaults();
    void loadSettings();
    void setString(QString& member, const QString& value);

    QSettings* m_settings = nullptr;  // child: deleted after the writer has finished
    std::unique_ptr<SettingsFileWriter> m_writer;
    RestartPrompt m_restartPrompt;

    int m_provider = 0;
    int m_activeProvider = -1;  // none given: the stored provider stands for it
    QString m_apiKey;
    QString m_customUrl;
    int m_rateLimit = 60;
    QString m_fyersClientId;
    QString m_fyersAccessToken;
    QString m_fyersAppId;
    QString m_fyersSecretKey;
    QStringList m_fyersSelectedSymbols;
    QString m_zerodhaApiKey;
    QString m_zerodhaApiSecret;
    QString m_zerodhaAccessToken;
    QDateTime m_zerodhaTokenExpiry;
    QString m_flatTradeApiKey;
    QString m_flatTradeApiSecret;
    QString m_flatTradeAccessToken;
    QString m_flatTradeClientId;
    QString m_tradeJiniApiKey;
    QString m_tradeJiniApiSecret;
    QString m_tradeJiniAccessToken;
    QString m_tradeJiniClientId;
    QString m_dhanApiKey;
    QString m_dhanApiSecret;
    QString m_dhanAccessToken;
    QString m_dhanClientId;
    QString m_angelOneApiKey;
    QString m_angelOneClientCode;
    QString m_angelOnePassword;
    QString m_angelOneTotp;
    QString m_angelOneJwtToken;
    QString m_angelOneRefreshToken;
    QString m_angelOneFeedToken;
    QString m_upstoxApiKey;
    QString m_upstoxApiSecret;
    QString m_upstoxAccessToken;
    bool m_connectOnStartup = false;
    int m_updateInterval = 5;
    int m_requestTimeout = 15;
    int m_maxHistoricalDays = 365;
    bool m_autoDownloadHistorical = true;
    QStringList m_watchlist;
    QHash<QString, QString> m_symbolNameCache;  // looked up for every tick
    QHash<QString, QString> m_symbolExchangeCache;
    QMap<QString, QStringList> m_brokerWatchlists;
    QString m_currentBroker;
    QString m_amiBrokerPath;
    bool m_pluginEnabled = true;

    // Read by feed threads through isWithinMarketHours while the settings dialog may change them.
    mutable QReadWriteLock m_hoursLock;
    QMap<QString, QTime> m_marketStartTimes;
    QMap<QString, QTime> m_marketEndTimes;
};
