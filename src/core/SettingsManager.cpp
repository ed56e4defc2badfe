// Settings store: in-memory values with load/save through QSettings, watchlists, caches and trading hours.
#include "core/SettingsManager.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QReadLocker>
#include <QSettings>
#include <QStandardPaths>
#include <QWriteLocker>

#include <algorithm>

#include "core/SettingsFileWriter.h"

const char* const SettingsManager::kRestartTitle = "Restart Required";
const char* const SettingsManager::kRestartText =
    "You changed the data provider. The application will now exit so the change can take effect. "
    "Please restart the application.";

namespace {

// The six exchanges whose hours are loaded back; any other code falls back to the defaults below.
const char* const kExchanges[] = {"NSE", "BSE", "NFO", "MCX", "BFO", "CDS"};

QTime defaultStart(const QString& exchange)
{
    if (exchange == QLatin1String("MCX") || exchange == QLatin1String("CDS"))
        return QTime(9, 0);
    return QTime(9, 15);
}

// 15:29 and 23:55 rather than 15:30 and 23:59: the comparison is inclusive to the millisecond.
QTime defaultEnd(const QString& exchange)
{
    if (exchange == QLatin1String("MCX"))
        return QTime(23, 55);
    if (exchange == QLatin1String("CDS"))
        return QTime(17, 0);
    return QTime(15, 29);
}

const char* setOrEmpty(const QString& value)
{
    return value.isEmpty() ? "Empty" : "Set";
}

const QStringList& defaultWatchlist()
{
    static const QStringList list{"AAPL", "MSFT", "GOOGL", "TSLA"};
    return list;
}

QString entryText(const QString& broker, const QString& item)
{
    QJsonObject obj;
    obj.insert("broker", broker);
    const int colon = item.indexOf(QLatin1Char(':'));
    obj.insert("exchange", colon >= 0 ? item.left(colon) : QString());
    obj.insert("token", item);
    return QString::fromUtf8(QJsonDocument(obj).toJson(QJsonDocument::Compact));
}

} // namespace

SettingsManager::SettingsManager(QObject* parent)
    : QObject(parent)
{
    const QString org = QCoreApplication::organizationName();
    const QString app = QCoreApplication::applicationName();
    m_settings = new QSettings(org, app, this);
    // QSettings writes its changes out by itself from the event loop, on this (the GUI) thread;
    // the writer thread does it instead.
    m_settings->installEventFilter(this);
    m_writer = std::make_unique<SettingsFileWriter>(m_settings->fileName(), int(m_settings->format()));
    qDebug() << "SettingsManager created with:";
    qDebug() << "Organization Name:" << org;
    qDebug() << "Application Name:" << app;
    qDebug() << "Settings file location:" << m_settings->fileName();
    initDefaults();
    loadSettings();
}

SettingsManager::~SettingsManager()
{
    // Whatever was set since the last request, written before the writer's thread ends.
    m_writer->requestWrite();
}

bool SettingsManager::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_settings && event->type() == QEvent::UpdateRequest) {
        m_writer->requestWrite();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void SettingsManager::waitForWrites()
{
    m_writer->waitForWrites();
}

QString SettingsManager::settingsFilePath() const
{
    return m_settings->fileName();
}

void SettingsManager::setRestartPrompt(RestartPrompt prompt)
{
    m_restartPrompt = std::move(prompt);
}

void SettingsManager::initDefaults()
{
    m_provider = 0;
    m_apiKey.clear();
    m_customUrl.clear();
    m_rateLimit = 60;
    for (QString* s : {&m_fyersClientId, &m_fyersAccessToken, &m_fyersAppId, &m_fyersSecretKey, &m_zerodhaApiKey,
                       &m_zerodhaApiSecret, &m_zerodhaAccessToken, &m_flatTradeApiKey, &m_flatTradeApiSecret,
                       &m_flatTradeAccessToken, &m_flatTradeClientId, &m_tradeJiniApiKey,
                       &m_tradeJiniApiSecret, &m_tradeJiniAccessToken, &m_tradeJiniClientId, &m_dhanApiKey,
                       &m_dhanApiSecret, &m_dhanAccessToken, &m_dhanClientId, &m_angelOneApiKey,
                       &m_angelOneClientCode, &m_angelOnePassword, &m_angelOneTotp, &m_angelOneJwtToken,
                       &m_angelOneRefreshToken, &m_angelOneFeedToken, &m_upstoxApiKey, &m_upstoxApiSecret,
                       &m_upstoxAccessToken})
        s->clear();
    m_zerodhaTokenExpiry = QDateTime();
    m_connectOnStartup = false;
    m_updateInterval = 5;
    m_requestTimeout = 15;
    m_maxHistoricalDays = 365;
    m_autoDownloadHistorical = true;
    m_amiBrokerPath.clear();
    m_pluginEnabled = true;

    QWriteLocker lock(&m_hoursLock);
    for (const char* code : kExchanges) {
        const QString ex = QString::fromLatin1(code);
        m_marketStartTimes.insert(ex, defaultStart(ex));
        m_marketEndTimes.insert(ex, defaultEnd(ex));
    }
}

void SettingsManager::loadSettings()
{
    QSettings& s = *m_settings;
    qDebug() << "Loading settings from:" << s.fileName();

    s.beginGroup("API");
    m_provider = s.value("provider", 0).toInt();
    m_apiKey = s.value("apiKey", QString()).toString();
    m_customUrl = s.value("customUrl", QString()).toString();
    m_rateLimit = s.value("rateLimit", 60).toInt();
    m_fyersClientId = s.value("fyersClientId", QString()).toString();
    m_fyersAccessToken = s.value("fyersAccessToken", QString()).toString();
    m_fyersAppId = s.value("fyersAppId", QString()).toString();
    m_fyersSecretKey = s.value("fyersSecretKey", QString()).toString();
    m_fyersSelectedSymbols = s.value("fyersSelectedSymbols", QStringList()).toStringList();

    m_zerodhaApiKey = s.value("zerodhaApiKey", QString()).toString();
    m_zerodhaApiSecret = s.value("zerodhaApiSecret", QString()).toString();
    m_zerodhaAccessToken = s.value("zerodhaAccessToken", QString()).toString();
    m_zerodhaTokenExpiry = s.value("zerodhaTokenExpiry", QDateTime()).toDateTime();
    qDebug() << "Loaded Zerodha API Key:" << m_zerodhaApiKey;
    qDebug() << "Loaded Zerodha API Secret:" << setOrEmpty(m_zerodhaApiSecret);
    qDebug() << "Loaded Zerodha Access Token:" << setOrEmpty(m_zerodhaAccessToken);

    m_flatTradeApiKey = s.value("flatTradeApiKey", QString()).toString();
    m_flatTradeApiSecret = s.value("flatTradeApiSecret", QString()).toString();
    m_flatTradeAccessToken = s.value("flatTradeAccessToken", QString()).toString();
    m_flatTradeClientId = s.value("flatTradeClientId", QString()).toString();
    qDebug() << "Loaded FlatTrade API Key:" << setOrEmpty(m_flatTradeApiKey);
    qDebug() << "Loaded FlatTrade Client ID:" << setOrEmpty(m_flatTradeClientId);
    qDebug() << "Loaded FlatTrade Access Token:" << setOrEmpty(m_flatTradeAccessToken);

    m_tradeJiniApiKey = s.value("tradeJiniApiKey", QString()).toString();
    m_tradeJiniApiSecret = s.value("tradeJiniApiSecret", QString()).toString();
    m_tradeJiniAccessToken = s.value("tradeJiniAccessToken", QString()).toString();
    m_tradeJiniClientId = s.value("tradeJiniClientId", QString()).toString();
    qDebug() << "Loaded TradeJini API Key:" << setOrEmpty(m_tradeJiniApiKey);
    qDebug() << "Loaded TradeJini Client ID:" << setOrEmpty(m_tradeJiniClientId);
    qDebug() << "Loaded TradeJini Access Token:" << setOrEmpty(m_tradeJiniAccessToken);

    m_dhanApiKey = s.value("dhanApiKey", QString()).toString();
    m_dhanApiSecret = s.value("dhanApiSecret", QString()).toString();
    m_dhanAccessToken = s.value("dhanAccessToken", QString()).toString();
    m_dhanClientId = s.value("dhanClientId", QString()).toString();
    qDebug() << "Loaded Dhan API Key:" << setOrEmpty(m_dhanApiKey);
    qDebug() << "Loaded Dhan Client ID:" << setOrEmpty(m_dhanClientId);
    qDebug() << "Loaded Dhan Access Token:" << setOrEmpty(m_dhanAccessToken);

    m_angelOneApiKey = s.value("angelOneApiKey", QString()).toString();
    m_angelOneClientCode = s.value("angelOneClientCode", QString()).toString();
    m_angelOnePassword = s.value("angelOnePassword", QString()).toString();
    m_angelOneTotp = s.value("angelOneTotp", QString()).toString();
    m_angelOneJwtToken = s.value("angelOneJwtToken", QString()).toString();
    m_angelOneRefreshToken = s.value("angelOneRefreshToken", QString()).toString();
    m_angelOneFeedToken = s.value("angelOneFeedToken", QString()).toString();
    qDebug() << "Loaded AngelOne API Key:" << setOrEmpty(m_angelOneApiKey);
    qDebug() << "Loaded AngelOne Client Code:" << setOrEmpty(m_angelOneClientCode);
    qDebug() << "Loaded AngelOne JWT Token:" << setOrEmpty(m_angelOneJwtToken);

    m_upstoxApiKey = s.value("upstoxApiKey", QString()).toString();
    m_upstoxApiSecret = s.value("upstoxApiSecret", QString()).toString();
    m_upstoxAccessToken = s.value("upstoxAccessToken", QString()).toString();
    qDebug() << "Loaded Upstox API Key:" << setOrEmpty(m_upstoxApiKey);
    qDebug() << "Loaded Upstox API Secret:" << setOrEmpty(m_upstoxApiSecret);
    qDebug() << "Loaded Upstox Access Token:" << setOrEmpty(m_upstoxAccessToken);
    s.endGroup();

    s.beginGroup("Connection");
    m_connectOnStartup = s.value("connectOnStartup", false).toBool();
    m_updateInterval = s.value("updateInterval", 5).toInt();
    m_requestTimeout = qMax(1, s.value("requestTimeout", 15).toInt());
    s.endGroup();

    s.beginGroup("Data");
    m_maxHistoricalDays = s.value("maxHistoricalDays", 365).toInt();
    m_autoDownloadHistorical = s.value("autoDownloadHistorical", true).toBool();
    m_watchlist = s.value("watchlist", defaultWatchlist()).toStringList();

    // Entries rebuild the per-broker lists, a combined list and the exchange cache. The current
    // broker is not read yet, so an entry without a broker is filed under the provider's name.
    const QStringList entries = s.value("watchlistEntries", QStringList()).toStringList();
    if (!entries.isEmpty()) {
        m_brokerWatchlists.clear();
        QStringList combined;
        for (const QString& text : entries) {
            const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
            if (!doc.isObject())
                continue;
            const QJsonObject obj = doc.object();
            QString broker = obj.value("broker").toString();
            const QString exchange = obj.value("exchange").toString();
            const QString token = obj.value("token").toString();
            if (broker.isEmpty())
                broker = m_currentBroker.isEmpty() ? providerName(m_provider) : m_currentBroker;
            QStringList& list = m_brokerWatchlists[broker];
            if (!list.contains(token))
                list.append(token);
            if (!combined.contains(token))
                combined.append(token);
            if (!exchange.isEmpty())
                m_symbolExchangeCache.insert(token, exchange);
        }
        if (!combined.isEmpty())
            m_watchlist = combined;
    }

    const QStringList cacheKeys = s.value("symbolCacheKeys", QStringList()).toStringList();
    const QStringList cacheValues = s.value("symbolCacheValues", QStringList()).toStringList();
    m_symbolNameCache.clear();
    if (cacheKeys.size() == cacheValues.size()) {
        for (int i = 0; i < cacheKeys.size(); ++i)
            m_symbolNameCache.insert(cacheKeys.at(i), cacheValues.at(i));
        qDebug() << "Loaded" << m_symbolNameCache.size() << "cached symbol names";
    }

    m_currentBroker = s.value("currentBroker", QStringLiteral("Zerodha")).toString();

    const QStringList brokerNames = s.value("brokerNames", QStringList()).toStringList();
    for (const QString& name : brokerNames) {
        const QStringList list = s.value(QStringLiteral("watchlist_%1").arg(name), QStringList()).toStringList();
        // Lists rebuilt from the entries above win over the per-broker keys.
        auto it = m_brokerWatchlists.constFind(name);
        if (it == m_brokerWatchlists.constEnd() || it->isEmpty())
            m_brokerWatchlists.insert(name, list);
    }
    auto current = m_brokerWatchlists.constFind(m_currentBroker);
    if (current != m_brokerWatchlists.constEnd())
        m_watchlist = *current;
    s.endGroup();

    s.beginGroup("AmiBroker");
    m_amiBrokerPath = s.value("path", QString()).toString();
    m_pluginEnabled = s.value("pluginEnabled", true).toBool();
    s.endGroup();

    s.beginGroup("MarketTimings");
    {
        QWriteLocker lock(&m_hoursLock);
        for (const char* code : kExchanges) {
            const QString ex = QString::fromLatin1(code);
            const QString start = s.value(ex + "_start", QString()).toString();
            const QString end = s.value(ex + "_end", QString()).toString();
            if (!start.isEmpty()) {
                const QTime t = QTime::fromString(start, "HH:mm");
                if (t.isValid())
                    m_marketStartTimes.insert(ex, t);
            }
            if (!end.isEmpty()) {
                const QTime t = QTime::fromString(end, "HH:mm");
                if (t.isValid())
                    m_marketEndTimes.insert(ex, t);
            }
        }
    }
    s.endGroup();
}

void SettingsManager::saveSettings()
{
    QSettings& s = *m_settings;
    qDebug() << "Saving settings to:" << s.fileName();

    // Read before anything is written. Without an active provider, a store that never held the
    // key compares equal.
    const int runningProvider =
        m_activeProvider >= 0 ? m_activeProvider : s.value("API/provider", m_provider).toInt();

    s.beginGroup("API");
    s.setValue("provider", m_provider);
    s.setValue("apiKey", m_apiKey);
    s.setValue("customUrl", m_customUrl);
    s.setValue("rateLimit", m_rateLimit);
    s.setValue("fyersClientId", m_fyersClientId);
    s.setValue("fyersAccessToken", m_fyersAccessToken);
    s.setValue("fyersAppId", m_fyersAppId);
    s.setValue("fyersSecretKey", m_fyersSecretKey);
    s.setValue("fyersSelectedSymbols", m_fyersSelectedSymbols);

    qDebug() << "Saving Zerodha API Key:" << m_zerodhaApiKey;
    qDebug() << "Saving Zerodha API Secret:" << setOrEmpty(m_zerodhaApiSecret);
    qDebug() << "Saving Zerodha Access Token:" << setOrEmpty(m_zerodhaAccessToken);
    s.setValue("zerodhaApiKey", m_zerodhaApiKey);
    s.setValue("zerodhaApiSecret", m_zerodhaApiSecret);
    s.setValue("zerodhaAccessToken", m_zerodhaAccessToken);
    s.setValue("zerodhaTokenExpiry", m_zerodhaTokenExpiry);

    s.setValue("flatTradeApiKey", m_flatTradeApiKey);
    s.setValue("flatTradeApiSecret", m_flatTradeApiSecret);
    s.setValue("flatTradeAccessToken", m_flatTradeAccessToken);
    s.setValue("flatTradeClientId", m_flatTradeClientId);
    qDebug() << "Saving FlatTrade API Key:" << setOrEmpty(m_flatTradeApiKey);
    qDebug() << "Saving FlatTrade Client ID:" << setOrEmpty(m_flatTradeClientId);
    qDebug() << "Saving FlatTrade Access Token:" << setOrEmpty(m_flatTradeAccessToken);

    s.setValue("tradeJiniApiKey", m_tradeJiniApiKey);
    s.setValue("tradeJiniApiSecret", m_tradeJiniApiSecret);
    s.setValue("tradeJiniAccessToken", m_tradeJiniAccessToken);
    s.setValue("tradeJiniClientId", m_tradeJiniClientId);
    qDebug() << "Saving TradeJini API Key:" << setOrEmpty(m_tradeJiniApiKey);
    qDebug() << "Saving TradeJini Client ID:" << setOrEmpty(m_tradeJiniClientId);
    qDebug() << "Saving TradeJini Access Token:" << setOrEmpty(m_tradeJiniAccessToken);

    s.setValue("dhanApiKey", m_dhanApiKey);
    s.setValue("dhanApiSecret", m_dhanApiSecret);
    s.setValue("dhanAccessToken", m_dhanAccessToken);
    s.setValue("dhanClientId", m_dhanClientId);
    qDebug() << "Saving Dhan API Key:" << setOrEmpty(m_dhanApiKey);
    qDebug() << "Saving Dhan Client ID:" << setOrEmpty(m_dhanClientId);
    qDebug() << "Saving Dhan Access Token:" << setOrEmpty(m_dhanAccessToken);

    s.setValue("angelOneApiKey", m_angelOneApiKey);
    s.setValue("angelOneClientCode", m_angelOneClientCode);
    s.setValue("angelOnePassword", m_angelOnePassword);
    s.setValue("angelOneTotp", m_angelOneTotp);
    s.setValue("angelOneJwtToken", m_angelOneJwtToken);
    s.setValue("angelOneRefreshToken", m_angelOneRefreshToken);
    s.setValue("angelOneFeedToken", m_angelOneFeedToken);
    qDebug() << "Saving AngelOne API Key:" << setOrEmpty(m_angelOneApiKey);
    qDebug() << "Saving AngelOne Client Code:" << setOrEmpty(m_angelOneClientCode);
    qDebug() << "Saving AngelOne JWT Token:" << setOrEmpty(m_angelOneJwtToken);

    s.setValue("upstoxApiKey", m_upstoxApiKey);
    s.setValue("upstoxApiSecret", m_upstoxApiSecret);
    s.setValue("upstoxAccessToken", m_upstoxAccessToken);
    qDebug() << "Saving Upstox API Key:" << setOrEmpty(m_upstoxApiKey);
    qDebug() << "Saving Upstox API Secret:" << setOrEmpty(m_upstoxApiSecret);
    qDebug() << "Saving Upstox Access Token:" << setOrEmpty(m_upstoxAccessToken);
    s.endGroup();

    s.beginGroup("Connection");
    s.setValue("connectOnStartup", m_connectOnStartup);
    s.setValue("updateInterval", m_updateInterval);
    s.setValue("requestTimeout", m_requestTimeout);
    s.endGroup();

    s.beginGroup("Data");
    s.setValue("maxHistoricalDays", m_maxHistoricalDays);
    s.setValue("autoDownloadHistorical", m_autoDownloadHistorical);
    s.setValue("watchlist", m_watchlist);

    QStringList entries;
    if (m_brokerWatchlists.isEmpty()) {
        const QString broker = m_currentBroker.isEmpty() ? providerName(m_provider) : m_currentBroker;
        for (const QString& item : qAsConst(m_watchlist))
            entries.append(entryText(broker, item));
    } else {
        for (auto it = m_brokerWatchlists.constBegin(); it != m_brokerWatchlists.constEnd(); ++it)
            for (const QString& item : it.value())
                entries.append(entryText(it.key(), item));
    }

    // A new provider needs a fresh start: the broker connector is chosen once, at start-up. The
    // credentials are on disk before the prompt; the rest of the save still completes, and the
    // application leaves its event loop when control returns to it.
    if (runningProvider != m_provider) {
        m_writer->requestWrite();
        m_writer->waitForWrites();
        if (m_activeProvider >= 0)
            m_activeProvider = m_provider;  // asked once
        if (m_restartPrompt)
            m_restartPrompt(QString::fromLatin1(kRestartTitle), QString::fromLatin1(kRestartText));
        else
            qInfo() << "[SettingsManager]" << kRestartTitle << "-" << kRestartText;
        QCoreApplication::quit();
    }

    s.setValue("watchlistEntries", entries);
    // Saved in key order, so the stored lists do not depend on the hash's layout.
    QStringList cacheKeys = m_symbolNameCache.keys();
    std::sort(cacheKeys.begin(), cacheKeys.end());
    QStringList cacheValues;
    cacheValues.reserve(cacheKeys.size());
    for (const QString& key : qAsConst(cacheKeys))
        cacheValues.append(m_symbolNameCache.value(key));
    s.setValue("symbolCacheKeys", cacheKeys);
    s.setValue("symbolCacheValues", cacheValues);
    QStringList exchangeKeys;
    QStringList exchangeValues;
    for (auto it = m_symbolExchangeCache.constBegin(); it != m_symbolExchangeCache.constEnd(); ++it) {
        exchangeKeys.append(it.key());
        exchangeValues.append(it.value());
    }
    s.setValue("symbolExchangeCacheKeys", exchangeKeys);
    s.setValue("symbolExchangeCacheValues", exchangeValues);
    s.setValue("currentBroker", m_currentBroker);
    s.setValue("brokerNames", QStringList(m_brokerWatchlists.keys()));
    for (auto it = m_brokerWatchlists.constBegin(); it != m_brokerWatchlists.constEnd(); ++it)
        s.setValue(QStringLiteral("watchlist_%1").arg(it.key()), it.value());
    s.endGroup();

    s.beginGroup("AmiBroker");
    s.setValue("path", m_amiBrokerPath);
    s.setValue("pluginEnabled", m_pluginEnabled);
    s.endGroup();

    s.beginGroup("MarketTimings");
    {
        QReadLocker lock(&m_hoursLock);
        for (auto it = m_marketStartTimes.constBegin(); it != m_marketStartTimes.constEnd(); ++it)
            s.setValue(it.key() + "_start", it.value().toString("HH:mm"));
        for (auto it = m_marketEndTimes.constBegin(); it != m_marketEndTimes.constEnd(); ++it)
            s.setValue(it.key() + "_end", it.value().toString("HH:mm"));
    }
    s.endGroup();

    m_writer->requestWrite();
}

QString SettingsManager::providerName(int provider)
{
    switch (provider) {
    case Zerodha: return QStringLiteral("Zerodha");
    case FlatTrade: return QStringLiteral("FlatTrade");
    case TradeJini: return QStringLiteral("TradeJini");
    case Dhan: return QStringLiteral("Dhan");
    case AngelOne: return QStringLiteral("AngelOne");
    case Upstox: return QStringLiteral("Upstox");
    case CustomAPI: return QStringLiteral("Custom API");
    case Fyers: return QStringLiteral("Fyers");
    default: return QStringLiteral("Unknown");
    }
}

bool SettingsManager::hasApiKey() const
{
    return m_apiKey.length() > 7;
}

bool SettingsManager::isAmiBrokerConfigured() const
{
    return m_pluginEnabled && !m_amiBrokerPath.isEmpty();
}

QString SettingsManager::appDataPath() const
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}

// ---- plain setters: store, then announce (even an unchanged value) ----

void SettingsManager::setString(QString& member, const QString& value)
{
    member = value;
    emit settingsChanged();
}

void SettingsManager::setProvider(int provider)
{
    m_provider = provider;
    emit settingsChanged();
}

void SettingsManager::setApiKey(const QString& key) { setString(m_apiKey, key); }
void SettingsManager::setCustomUrl(const QString& url) { setString(m_customUrl, url); }

void SettingsManager::setRateLimit(int perMinute)
{
    m_rateLimit = perMinute;
    emit settingsChanged();
}

void SettingsManager::setFyersClientId(const QString& v) { setString(m_fyersClientId, v); }
void SettingsManager::setFyersAccessToken(const QString& v) { setString(m_fyersAccessToken, v); }
void SettingsManager::setFyersAppId(const QString& v) { setString(m_fyersAppId, v); }
void SettingsManager::setFyersSecretKey(const QString& v) { setString(m_fyersSecretKey, v); }

void SettingsManager::setFyersSelectedSymbols(const QStringList& symbols)
{
    if (m_fyersSelectedSymbols != symbols)
        m_fyersSelectedSymbols = symbols;
}

void SettingsManager::setZerodhaApiKey(const QString& v) { setString(m_zerodhaApiKey, v); }
void SettingsManager::setZerodhaApiSecret(const QString& v) { setString(m_zerodhaApiSecret, v); }
void SettingsManager::setZerodhaAccessToken(const QString& v) { setString(m_zerodhaAccessToken, v); }

void SettingsManager::setZerodhaTokenExpiry(const QDateTime& v)
{
    m_zerodhaTokenExpiry = v;
    emit settingsChanged();
}

void SettingsManager::setFlatTradeApiKey(const QString& v) { setString(m_flatTradeApiKey, v); }
void SettingsManager::setFlatTradeApiSecret(const QString& v) { setString(m_flatTradeApiSecret, v); }
void SettingsManager::setFlatTradeAccessToken(const QString& v) { setString(m_flatTradeAccessToken, v); }
void SettingsManager::setFlatTradeClientId(const QString& v) { setString(m_flatTradeClientId, v); }

void SettingsManager::setTradeJiniApiKey(const QString& v) { setString(m_tradeJiniApiKey, v); }
void SettingsManager::setTradeJiniApiSecret(const QString& v) { setString(m_tradeJiniApiSecret, v); }
void SettingsManager::setTradeJiniAccessToken(const QString& v) { setString(m_tradeJiniAccessToken, v); }
void SettingsManager::setTradeJiniClientId(const QString& v) { setString(m_tradeJiniClientId, v); }

void SettingsManager::setDhanApiKey(const QString& v) { setString(m_dhanApiKey, v); }
void SettingsManager::setDhanApiSecret(const QString& v) { setString(m_dhanApiSecret, v); }
void SettingsManager::setDhanAccessToken(const QString& v) { setString(m_dhanAccessToken, v); }
void SettingsManager::setDhanClientId(const QString& v) { setString(m_dhanClientId, v); }

void SettingsManager::setAngelOneApiKey(const QString& v)
{
    m_angelOneApiKey = v;
    qDebug() << "[SettingsManager] AngelOne API Key set";
    emit settingsChanged();
}

void SettingsManager::setAngelOneClientCode(const QString& v)
{
    m_angelOneClientCode = v;
    qDebug() << "[SettingsManager] AngelOne Client Code set";
    emit settingsChanged();
}

void SettingsManager::setAngelOnePassword(const QString& v)
{
    m_angelOnePassword = v;
    qDebug() << "[SettingsManager] AngelOne Password set";
    emit settingsChanged();
}

void SettingsManager::setAngelOneTotp(const QString& v)
{
    m_angelOneTotp = v;
    qDebug() << "[SettingsManager] AngelOne TOTP set";
    emit settingsChanged();
}

void SettingsManager::setAngelOneJwtToken(const QString& v)
{
    m_angelOneJwtToken = v;
    qDebug() << "[SettingsManager] AngelOne JWT Token set";
    emit settingsChanged();
}

void SettingsManager::setAngelOneRefreshToken(const QString& v)
{
    m_angelOneRefreshToken = v;
    qDebug() << "[SettingsManager] AngelOne Refresh Token set";
    emit settingsChanged();
}

void SettingsManager::setAngelOneFeedToken(const QString& v)
{
    m_angelOneFeedToken = v;
    qDebug() << "[SettingsManager] AngelOne Feed Token set";
    emit settingsChanged();
}

void SettingsManager::setUpstoxApiKey(const QString& v)
{
    m_upstoxApiKey = v;
    qDebug() << "[SettingsManager] Upstox API Key set";
    emit settingsChanged();
}

void SettingsManager::setUpstoxApiSecret(const QString& v)
{
    m_upstoxApiSecret = v;
    qDebug() << "[SettingsManager] Upstox API Secret set";
    emit settingsChanged();
}

void SettingsManager::setUpstoxAccessToken(const QString& v)
{
    m_upstoxAccessToken = v;
    qDebug() << "[SettingsManager] Upstox Access Token set";
    emit settingsChanged();
    emit upstoxAccessTokenChanged(v);
}

void SettingsManager::setConnectOnStartup(bool on)
{
    m_connectOnStartup = on;
    emit settingsChanged();
}

void SettingsManager::setUpdateInterval(int interval)
{
    m_updateInterval = interval;
    emit settingsChanged();
}

void SettingsManager::setRequestTimeout(int seconds)
{
    m_requestTimeout = qMax(1, seconds);
    emit settingsChanged();
}

void SettingsManager::setMaxHistoricalDays(int days)
{
    m_maxHistoricalDays = days;
    emit settingsChanged();
}

void SettingsManager::setAutoDownloadHistorical(bool on)
{
    m_autoDownloadHistorical = on;
    emit settingsChanged();
}

void SettingsManager::setAmiBrokerPath(const QString& path) { setString(m_amiBrokerPath, path); }

void SettingsManager::setPluginEnabled(bool on)
{
    m_pluginEnabled = on;
    emit settingsChanged();
}

// ---- write-through backfill controls ----

QString SettingsManager::historicalTimeframe() const
{
    return m_settings->value("Historical/Timeframe", QStringLiteral("5minute")).toString();
}

void SettingsManager::setHistoricalTimeframe(const QString& timeframe)
{
    m_settings->setValue("Historical/Timeframe", timeframe);
    m_writer->requestWrite();
}

QString SettingsManager::historicalDateRange() const
{
    return m_settings->value("Historical/DateRange", QStringLiteral("Last 6 Months")).toString();
}

void SettingsManager::setHistoricalDateRange(const QString& range)
{
    m_settings->setValue("Historical/DateRange", range);
    m_writer->requestWrite();
}

QDate SettingsManager::historicalFromDate() const
{
    return m_settings->value("Historical/FromDate", QDate::currentDate().addMonths(-6)).toDate();
}

void SettingsManager::setHistoricalFromDate(const QDate& date)
{
    m_settings->setValue("Historical/FromDate", date);
    m_writer->requestWrite();
}

QDate SettingsManager::historicalToDate() const
{
    return m_settings->value("Historical/ToDate", QDate::currentDate()).toDate();
}

void SettingsManager::setHistoricalToDate(const QDate& date)
{
    m_settings->setValue("Historical/ToDate", date);
    m_writer->requestWrite();
}

// ---- watchlists ----

void SettingsManager::setWatchlist(const QStringList& list)
{
    m_watchlist = list;
    if (!m_currentBroker.isEmpty())
        m_brokerWatchlists.insert(m_currentBroker, list);
    emit settingsChanged();
}

QStringList SettingsManager::watchlistForBroker(const QString& broker) const
{
    return m_brokerWatchlists.value(broker);
}

void SettingsManager::setWatchlistForBroker(const QString& broker, const QStringList& list)
{
    m_brokerWatchlists.insert(broker, list);
    if (broker == m_currentBroker)
        m_watchlist = list;
    emit settingsChanged();
}

void SettingsManager::addSymbolForBroker(const QString& broker, const QString& symbol)
{
    QStringList list = m_brokerWatchlists.value(broker);
    if (list.contains(symbol))
        return;
    list.append(symbol);
    setWatchlistForBroker(broker, list);
}

void SettingsManager::removeSymbolForBroker(const QString& broker, const QString& symbol)
{
    QStringList list = m_brokerWatchlists.value(broker);
    list.removeAll(symbol);
    setWatchlistForBroker(broker, list);
}

void SettingsManager::addSymbolToWatchlist(const QString& symbol)
{
    const QString upper = symbol.toUpper();
    if (m_watchlist.contains(upper))
        return;
    m_watchlist.append(upper);
    // The broker's list wins: when it lacked symbols the watchlist held, the watchlist becomes it.
    if (!m_currentBroker.isEmpty())
        addSymbolForBroker(m_currentBroker, upper);
    emit settingsChanged();
}

void SettingsManager::removeSymbolFromWatchlist(const QString& symbol)
{
    const QString upper = symbol.toUpper();
    m_watchlist.removeAll(upper);
    if (!m_currentBroker.isEmpty())
        removeSymbolForBroker(m_currentBroker, upper);
    emit settingsChanged();
}

void SettingsManager::setCurrentBroker(const QString& broker)
{
    if (broker == m_currentBroker)
        return;
    m_currentBroker = broker;
    m_watchlist = watchlistForBroker(broker);
    emit settingsChanged();
}

// ---- symbol caches ----

QString SettingsManager::symbolDisplayName(const QString& key) const
{
    return m_symbolNameCache.value(key, key);
}

QString SettingsManager::symbolExchange(const QString& key) const
{
    return m_symbolExchangeCache.value(key);
}

void SettingsManager::cacheSymbolName(const QString& key, const QString& name)
{
    if (key.isEmpty() || name.isEmpty() || key == name)
        return;
    m_symbolNameCache.insert(key, name);
    emit settingsChanged();
}

void SettingsManager::cacheSymbolInfo(const QString& key, const QString& name, const QString& exchange)
{
    if (key.isEmpty())
        return;
    if (!name.isEmpty() && name != key)
        m_symbolNameCache.insert(key, name);
    if (!exchange.isEmpty())
        m_symbolExchangeCache.insert(key, exchange);
    emit settingsChanged();
}

void SettingsManager::clearSymbolCaches()
{
    m_symbolNameCache.clear();
    m_symbolExchangeCache.clear();
    emit settingsChanged();
}

// ---- trading hours ----

QTime SettingsManager::marketStartTime(const QString& exchange) const
{
    QReadLocker lock(&m_hoursLock);
    auto it = m_marketStartTimes.constFind(exchange);
    return it != m_marketStartTimes.constEnd() ? *it : defaultStart(exchange);
}

QTime SettingsManager::marketEndTime(const QString& exchange) const
{
    QReadLocker lock(&m_hoursLock);
    auto it = m_marketEndTimes.constFind(exchange);
    return it != m_marketEndTimes.constEnd() ? *it : defaultEnd(exchange);
}

void SettingsManager::setMarketStartTime(const QString& exchange, const QTime& time)
{
    {
        QWriteLocker lock(&m_hoursLock);
        m_marketStartTimes.insert(exchange, time);
    }
    emit settingsChanged();
}

void SettingsManager::setMarketEndTime(const QString& exchange, const QTime& time)
{
    {
        QWriteLocker lock(&m_hoursLock);
        m_marketEndTimes.insert(exchange, time);
    }
    emit settingsChanged();
}

bool SettingsManager::isWithinMarketHours(const QString& exchange, const QDateTime& dateTime) const
{
    QTime start;
    QTime end;
    {
        // One lock for both ends, so a concurrent edit cannot pair an old start with a new end.
        QReadLocker lock(&m_hoursLock);
        auto s = m_marketStartTimes.constFind(exchange);
        start = s != m_marketStartTimes.constEnd() ? *s : defaultStart(exchange);
        auto e = m_marketEndTimes.constFind(exchange);
        end = e != m_marketEndTimes.constEnd() ? *e : defaultEnd(exchange);
    }
    const int startMs = start.msecsSinceStartOfDay();
    const int endMs = end.msecsSinceStartOfDay();
    const int t = dateTime.time().msecsSinceStartOfDay();
    if (endMs >= startMs)
        return startMs <= t && t <= endMs;
    return t >= startMs || t <= endMs;  // hours that span midnight
}
