// Symbol manager dialog: the instrument-master cache files, the conditional downloads and the
// per-broker loaders with the all-exchanges load.
#include "ui/dialogs/SymbolManager.h"

#include "symbols/ISymbolProvider.h"
#include "symbols/MasterReply.h"
#include "symbols/SymbolRepository.h"
#include "ui/dialogs/DialogPrompts.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

const char kUserAgent[] = "Tickvane/1.0";
const qint64 kCacheLifetimeSeconds = 86399;  // one second short of a day

enum { Info = int(DialogPrompts::Kind::Information), Warn = int(DialogPrompts::Kind::Warning) };

QStringList exchangesOf(const QString& broker)
{
    if (broker == QLatin1String("FlatTrade"))
        return {"NSE", "BSE", "NFO", "MCX"};
    if (broker == QLatin1String("Zerodha"))
        return {"NSE", "BSE", "NFO", "MCX", "BCD", "CDS"};
    if (broker == QLatin1String("Fyers"))
        return {"NSE", "BSE", "MCX"};
    if (broker == QLatin1String("TradeJini"))
        return {"Securities"};
    return {};
}

// Broker and exchange names become part of a file name: keep them to plain name characters so
// that no value can step out of the cache folder.
QString fileNamePart(const QString& s)
{
    QString out = s.toLower();
    for (QChar& c : out) {
        if (!(c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('-')))
            c = QLatin1Char('_');
    }
    return out;
}

void setSelectedText(QComboBox* box, const QString& text)
{
    const int i = box->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (i >= 0)
        box->setCurrentIndex(i);
}

}  // namespace

// ---- cache files ------------------------------------------------------------------------------

QString SymbolManager::cacheDir() const
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (dir.isEmpty())
        dir = QCoreApplication::applicationDirPath() + QStringLiteral("/cache");
    QDir().mkpath(dir);
    return dir;
}

QString SymbolManager::cacheFilePath(const QString& broker, const QString& exchange) const
{
    return QStringLiteral("%1/%2_%3_symbols.csv").arg(cacheDir(), fileNamePart(broker), fileNamePart(exchange));
}

QString SymbolManager::cacheMetaPath(const QString& broker, const QString& exchange) const
{
    return QStringLiteral("%1/%2_%3_symbols.meta.json").arg(cacheDir(), fileNamePart(broker), fileNamePart(exchange));
}

bool SymbolManager::isCacheValid(const QString& path) const
{
    const QFileInfo info(path);
    if (!info.exists())
        return false;
    const qint64 age = info.lastModified().secsTo(QDateTime::currentDateTime());
    const bool valid = age <= kCacheLifetimeSeconds;
    qDebug() << "[Cache] File" << path << "is" << age / 3600 << "hours old, valid:" << valid;
    return valid;
}

qint64 SymbolManager::cacheAgeSeconds(const QString& path) const
{
    const QFileInfo info(path);
    if (!info.exists())
        return -1;
    return info.lastModified().secsTo(QDateTime::currentDateTime());
}

QByteArray SymbolManager::loadCacheFile(const QString& path) const
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << "[Cache] Failed to load cache file:" << path << file.errorString();
        return QByteArray();
    }
    const QByteArray data = file.readAll();
    file.close();
    qDebug() << "[Cache] Loaded" << data.size() << "bytes from" << path;
    return data;
}

QJsonObject SymbolManager::readCacheMeta(const QString& path) const
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll());
    return doc.isObject() ? doc.object() : QJsonObject();
}

void SymbolManager::writeCacheMeta(const QString& path, const QJsonObject& meta) const
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qDebug() << "[Cache] Failed to write metadata" << path << file.errorString();
        return;
    }
    file.write(QJsonDocument(meta).toJson(QJsonDocument::Compact));
    file.close();
    qDebug() << "[Cache] Wrote metadata to" << path;
}

bool SymbolManager::saveCacheAtomically(const QString& path, const QByteArray& data) const
{
    // The new file is written beside the old one and renamed over it, so a failure at any step
    // leaves the previous master whole.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qDebug() << "[Cache] Failed to open temporary file for" << path << file.errorString();
        return false;
    }
    if (file.write(data) != data.size() || !file.commit()) {
        qDebug() << "[Cache] Failed to atomically move temp file to" << path << file.errorString();
        file.cancelWriting();
        return false;
    }
    qDebug() << "[Cache] Saved" << data.size() << "bytes to" << path;
    return true;
}

void SymbolManager::clearCache()
{
    QDir dir(cacheDir());
    int removed = 0;
    const QStringList names = dir.entryList({QStringLiteral("*_symbols.csv")}, QDir::Files, QDir::Unsorted);
    for (const QString& name : names) {
        if (dir.remove(name))
            ++removed;
    }
    statusLabel->setText(QStringLiteral("Cleared %1 cached symbol files").arg(removed));
    say(Info, QStringLiteral("Cache Cleared"),
        QStringLiteral("Removed %1 cached symbol files.\n\nClick 'Load Symbols' to download fresh data.").arg(removed));
}

// ---- downloads --------------------------------------------------------------------------------

void SymbolManager::setMasterHost(const QString& broker, const QString& baseUrl)
{
    hostOverrides.insert(broker, baseUrl);
}

QString SymbolManager::masterHost(const QString& broker) const
{
    const auto it = hostOverrides.constFind(broker);
    if (it != hostOverrides.constEnd())
        return it.value();
    if (repository)
        return repository->downloadHost(broker);
    return SymbolRepository().downloadHost(broker);
}

QString SymbolManager::masterUrl(const QString& broker, const QString& exchange) const
{
    QString path;
    if (broker == QLatin1String("FlatTrade")) {
        static const QMap<QString, QString> files{{"NSE", "NSE_Equity.csv"},
                                                  {"BSE", "BSE_Equity.csv"},
                                                  {"NFO", "Nfo_Equity_Derivatives.csv"},
                                                  {"MCX", "Commodity.csv"}};
        if (files.contains(exchange))
            path = QStringLiteral("/scripmaster/") + files.value(exchange);
    } else if (broker == QLatin1String("Zerodha")) {
        if (exchangesOf(broker).contains(exchange))
            path = QStringLiteral("/instruments/") + exchange;
    } else if (broker == QLatin1String("Fyers")) {
        static const QMap<QString, QString> files{
            {"NSE", "NSE_CM.csv"}, {"BSE", "BSE_CM.csv"}, {"MCX", "MCX_COM.csv"}};
        if (files.contains(exchange))
            path = QStringLiteral("/sym_details/") + files.value(exchange);
    } else if (broker == QLatin1String("TradeJini")) {
        path = QStringLiteral("/api/mkt-data/scrips/symbol-store/") +
               QString::fromLatin1(QUrl::toPercentEncoding(exchange));
    }
    return path.isEmpty() ? QString() : masterHost(broker) + path;
}

void SymbolManager::setBusy(bool busy)
{
    progressBar->setRange(0, 0);
    progressBar->setVisible(busy);
    loadButton->setEnabled(!busy);
}

void SymbolManager::downloadSymbolMaster(const QString& url, const Download& d)
{
    // A master already on its way is not fetched again: its answer serves this load too.
    auto running = downloadsInFlight.find(d.cachePath);
    if (running != downloadsInFlight.end()) {
        qInfo() << "[Download] Symbol master for" << d.broker << d.exchange
                << "is already downloading; waiting for it";
        running.value().append(d);
        return;
    }
    downloadsInFlight.insert(d.cachePath, {d});
    qDebug() << "[Download] Downloading symbol master from" << url;
    qDebug() << "[Download] Will cache to" << d.cachePath;
    qDebug() << "[Download] Using broker:" << d.broker << "for parsing";

    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setRawHeader("User-Agent", kUserAgent);
    request.setTransferTimeout(downloadTimeoutMs);
    QJsonObject meta = readCacheMeta(d.metaPath);
    if (!QFileInfo::exists(d.cachePath) && !meta.isEmpty()) {
        qDebug() << "[Cache] Metadata present but cache file missing for" << d.cachePath
                 << ", removing meta and forcing download";
        QFile::remove(d.metaPath);
        meta = QJsonObject();
    }
    const QByteArray etag = meta.value(QStringLiteral("etag")).toString().toUtf8();
    if (!etag.isEmpty())
        request.setRawHeader("If-None-Match", etag);
    const QString lastModified = meta.value(QStringLiteral("lastModified")).toString();
    if (!lastModified.isEmpty())
        request.setRawHeader("If-Modified-Since", lastModified.toUtf8());

    QNetworkReply* reply = network->get(request);
    const QString key = d.cachePath;
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, key] { onSymbolMasterReply(reply, downloadsInFlight.take(key)); });
}

void SymbolManager::onSymbolMasterReply(QNetworkReply* reply, const QList<Download>& waiting)
{
    reply->deleteLater();
    if (waiting.isEmpty())
        return;
    // Broker, exchange and files are the same for every waiting load; the dialog is told once
    // when any of them was the user's.
    Download d = waiting.first();
    for (const Download& w : waiting)
        d.silent = d.silent && w.silent;
    if (!d.silent)
        setBusy(false);
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && status.toInt() == 304 && reply->error() == QNetworkReply::NoError) {
        qDebug() << "[Download] Server returned 304 Not Modified - using cached file";
        const QByteArray data = loadCacheFile(d.cachePath);
        if (data.isEmpty()) {
            qDebug() << "[Cache] No cached file present despite 304 response";
        } else {
            parseForBroker(d.broker, d.exchange, data, false);
            if (!d.silent)
                filterSymbols();
            qDebug() << "[Cache] Used existing cache for" << d.cachePath;
        }
        if (!d.silent)
            emit loadFinished(!data.isEmpty());
    } else if (const QString why = MasterReply::failure(reply); !why.isEmpty()) {
        // The cache and the records keep what they had.
        if (!d.silent) {
            statusLabel->setText(QStringLiteral("Error downloading symbols"));
            say(Warn, QStringLiteral("Download Error"), QStringLiteral("Failed to download symbol master:\n") + why);
            emit loadFinished(false);
        }
        qDebug() << "[Download] Failed to download symbol master:" << why;
    } else {
        const QByteArray data = reply->readAll();
        if (saveCacheAtomically(d.cachePath, data)) {
            QJsonObject meta;
            const QByteArray etag = reply->rawHeader("ETag");
            if (!etag.isEmpty())
                meta.insert(QStringLiteral("etag"), QString::fromUtf8(etag));
            const QByteArray lastModified = reply->rawHeader("Last-Modified");
            if (!lastModified.isEmpty())
                meta.insert(QStringLiteral("lastModified"), QString::fromUtf8(lastModified));
            meta.insert(QStringLiteral("fetchedAt"), QDateTime::currentDateTimeUtc().toString(Qt::ISODate));
            writeCacheMeta(d.metaPath, meta);
        } else {
            // The file on disk is not this answer: validators must not vouch for it.
            QFile::remove(d.metaPath);
        }
        parseForBroker(d.broker, d.exchange, data, false);
        if (!d.silent) {
            filterSymbols();
            statusLabel->setText(QStringLiteral("Loaded %1 symbols (cached)").arg(loaded.size()));
            emit loadFinished(true);
        } else {
            qInfo() << "[SymbolManager] Silent download parsed" << loaded.size() << "symbols";
        }
    }
    for (const Download& w : waiting)
        exchangeDone(w.batch);
}

void SymbolManager::parseForBroker(const QString& broker, const QString& exchange, const QByteArray& data,
                                   bool append)
{
    if (broker == QLatin1String("Fyers"))
        parseFyersSymbols(data, append, exchange);
    else if (broker == QLatin1String("Zerodha"))
        parseZerodhaInstruments(data, append);
    else if (broker == QLatin1String("FlatTrade"))
        parseFlatTradeSymbols(data, append);
    else if (broker == QLatin1String("TradeJini"))
        parseTradeJiniSymbols(data, append);
}

// ---- loaders ----------------------------------------------------------------------------------

void SymbolManager::loadOneExchange(const QString& broker, const QString& exchange, bool silent)
{
    const int batch = currentBatch();
    const bool tradeJini = broker == QLatin1String("TradeJini");
    if (provider && !tradeJini && broker != QLatin1String("FlatTrade") && provider->brokerName() == broker) {
        if (!silent)
            statusLabel->setText(QStringLiteral("Loading symbols from provider..."));
        if (batch)
            providerBatchExchanges.insert(exchange);
        provider->requestSymbols(exchange);
        return;
    }
    const QString url = masterUrl(broker, exchange);
    if (url.isEmpty()) {
        if (broker == QLatin1String("FlatTrade"))
            qWarning() << "[SymbolManager] Invalid exchange for FlatTrade:" << exchange;
        else if (!silent && broker == QLatin1String("Zerodha"))
            say(Warn, QStringLiteral("Error"), QStringLiteral("Please select a valid exchange for Zerodha."));
        else if (!silent)
            say(Warn, QStringLiteral("Error"), QStringLiteral("Please select a valid exchange."));
        if (!silent)
            emit loadFinished(false);
        exchangeDone(batch);
        return;
    }
    const QString cachePath = cacheFilePath(broker, exchange);
    if (isCacheValid(cachePath)) {
        const QString line = QStringLiteral("[Cache] Using cached %1 symbols for").arg(broker);
        if (broker == QLatin1String("FlatTrade"))
            qInfo().noquote() << line << exchange;
        else
            qDebug().noquote() << line << exchange;
        if (!silent)
            statusLabel->setText(QStringLiteral("Loading symbols from cache..."));
        const QByteArray data = loadCacheFile(cachePath);
        if (!data.isEmpty()) {
            // A reload of the same exchange replaces its records instead of doubling them; the
            // all-exchanges load keeps the other exchanges itself.
            parseForBroker(broker, exchange, data, false);
            if (!silent) {
                filterSymbols();
                statusLabel->setText(QStringLiteral("Loaded %1 symbols (cached)").arg(loaded.size()));
                emit loadFinished(true);
            }
            exchangeDone(batch);
            return;
        }
    }
    qDebug() << "[Cache] No valid cache found, downloading from" << url;
    if (!silent) {
        if (broker == QLatin1String("FlatTrade"))
            statusLabel->setText(QStringLiteral("Downloading FlatTrade scrip master..."));
        else if (broker == QLatin1String("Zerodha"))
            statusLabel->setText(QStringLiteral("Downloading Zerodha instrument master..."));
        else if (tradeJini)
            statusLabel->setText(QStringLiteral("Downloading TradeJini symbols..."));
        else
            statusLabel->setText(QStringLiteral("Downloading symbols..."));
        setBusy(true);
    }
    Download d;
    d.broker = broker;
    d.exchange = exchange;
    d.cachePath = cachePath;
    d.metaPath = cacheMetaPath(broker, exchange);
    d.silent = silent;
    d.batch = batch;
    downloadSymbolMaster(url, d);
}

void SymbolManager::loadFlatTradeSymbols(const QString& exchange, bool silent)
{
    loadOneExchange(QStringLiteral("FlatTrade"), exchange, silent);
}

void SymbolManager::loadZerodhaSymbols(const QString& exchange, bool silent)
{
    loadOneExchange(QStringLiteral("Zerodha"), exchange, silent);
}

void SymbolManager::loadFyersSymbols(const QString& exchange, bool silent)
{
    loadOneExchange(QStringLiteral("Fyers"), exchange, silent);
}

void SymbolManager::loadTradeJiniSymbols(const QString& segment)
{
    loadOneExchange(QStringLiteral("TradeJini"), segment, false);
}

void SymbolManager::loadZerodhaSymbolsSilent(const QString& exchange)
{
    currentBroker = QStringLiteral("Zerodha");
    setSelectedText(exchangeCombo, exchange);
    setSelectedText(brokerCombo, currentBroker);
    const QString url = masterUrl(currentBroker, exchange);
    if (url.isEmpty()) {
        qWarning() << "[SymbolManager] loadZerodhaSymbolsSilent: unknown exchange" << exchange;
        return;
    }
    const QString cachePath = cacheFilePath(currentBroker, exchange);
    if (isCacheValid(cachePath)) {
        qDebug() << "[Cache] Using cached Zerodha symbols for" << exchange << "(silent)";
        const QByteArray data = loadCacheFile(cachePath);
        if (!data.isEmpty()) {
            parseZerodhaInstruments(data, false);
            qInfo() << "[SymbolManager] Loaded" << loaded.size() << "symbols from cache (silent)";
            return;
        }
    }
    qInfo() << "[SymbolManager] Downloading Zerodha instrument master for" << exchange << "(silent) from" << url;
    Download d;
    d.broker = currentBroker;
    d.exchange = exchange;
    d.cachePath = cachePath;
    d.metaPath = cacheMetaPath(currentBroker, exchange);
    d.silent = true;
    downloadSymbolMaster(url, d);
}

void SymbolManager::loadFlatTradeForSelectedExchange()
{
    loadFlatTradeSymbols(exchangeCombo->currentText(), false);
}

void SymbolManager::loadZerodhaForSelectedExchange()
{
    loadZerodhaSymbols(exchangeCombo->currentText(), false);
}

void SymbolManager::loadFyersForSelectedExchange()
{
    loadFyersSymbols(exchangeCombo->currentText(), false);
}

void SymbolManager::onLoadSymbolsClicked()
{
    const QString broker = brokerCombo->currentText();
    if (broker == QLatin1String("Fyers"))
        loadFyersForSelectedExchange();
    else if (broker == QLatin1String("Zerodha"))
        loadZerodhaForSelectedExchange();
    else if (broker == QLatin1String("FlatTrade"))
        loadFlatTradeForSelectedExchange();
    else {
        say(Warn, QStringLiteral("Error"), QStringLiteral("Please select a valid broker first."));
        emit loadFinished(false);
    }
}

void SymbolManager::loadAllExchangeSymbols()
{
    const QString broker = currentBroker.isEmpty() ? brokerCombo->currentText() : currentBroker;
    qInfo() << "[SymbolManager] Loading all exchange symbols for broker:" << broker;
    loaded.clear();
    allExchanges = true;
    const QStringList exchanges = exchangesOf(broker);
    if (exchanges.isEmpty()) {
        qWarning() << "[SymbolManager] Unknown broker:" << broker;
        allExchanges = false;
        return;
    }
    statusLabel->setText(QStringLiteral("Loading symbols from all %1 exchanges...").arg(exchanges.size()));
    pendingCount = exchanges.size();
    ++batchId;
    providerBatchExchanges.clear();
    // Every exchange counts itself off once, whether it is served from the cache, downloaded, answered
    // by the provider or has no source, so the load always ends. Downloads of an earlier load that
    // answer late carry that load's number and are not counted.
    inBatchLoop = true;
    for (const QString& exchange : exchanges) {
        qInfo() << "[SymbolManager] Loading" << broker << exchange;
        if (broker == QLatin1String("TradeJini"))
            loadTradeJiniSymbols(exchange);
        else
            loadOneExchange(broker, exchange, true);
    }
    inBatchLoop = false;
}

void SymbolManager::exchangeDone(int batch)
{
    if (batch != 0 && batch == batchId && allExchanges && pendingCount > 0)
        onDownloadFinished();
}

void SymbolManager::onDownloadFinished()
{
    --pendingCount;
    qInfo() << "[SymbolManager] Download completed. Pending:" << pendingCount;
    if (pendingCount >= 1)
        return;
    allExchanges = false;
    providerBatchExchanges.clear();
    if (repository) {
        qInfo() << "[SymbolManager] All downloads complete. Total symbols in repository:" << repository->size();
        const QMap<QString, int> counts = repository->countByKey();
        for (auto it = counts.constBegin(); it != counts.constEnd(); ++it)
            qDebug() << "  " << it.key() << ":" << it.value() << "symbols";
    }
    if (isVisible())
        filterSymbols();
    emit allExchangesLoaded();
}

void SymbolManager::showForBroker(const QString& broker)
{
    currentBroker = broker;
    setSelectedText(brokerCombo, broker);
    loadAllExchangeSymbols();
    show();
    raise();
    activateWindow();
}

bool SymbolManager::offersBroker(const QString& broker) const
{
    return brokerCombo->findText(broker, Qt::MatchExactly | Qt::MatchCaseSensitive) >= 0;
}

bool SymbolManager::selectBroker(const QString& broker)
{
    if (!offersBroker(broker))
        return false;
    currentBroker = broker;
    setSelectedText(brokerCombo, broker);
    return true;
}

void SymbolManager::loadSymbolsSilently(const QString& broker)
{
    currentBroker = broker;
    setSelectedText(brokerCombo, broker);
    qInfo() << "[SymbolManager] Loading symbols silently for broker:" << broker;
    loadAllExchangeSymbols();
}

void SymbolManager::setSymbolProvider(ISymbolProvider* p)
{
    if (p == provider)
        return;
    if (provider) {
        disconnect(provider, nullptr, this, nullptr);
        provider->deleteLater();
    }
    provider = p;
    if (provider) {
        provider->manager = this;
        connect(provider, &ISymbolProvider::symbolsReady, this, &SymbolManager::onProviderSymbols);
        connect(provider, &ISymbolProvider::providerError, this, &SymbolManager::onProviderError);
    }
}

void SymbolManager::onProviderSymbols(const QByteArray& data, const QString& exchange)
{
    const QString broker = provider ? provider->brokerName() : QString();
    saveCacheAtomically(cacheFilePath(broker, exchange), data);
    if (broker == QLatin1String("Fyers") || broker == QLatin1String("Zerodha")) {
        parseForBroker(broker, exchange, data, false);
        filterSymbols();
    }
    statusLabel->setText(QStringLiteral("Loaded %1 symbols (from provider)").arg(loaded.size()));
    emit loadFinished(true);
    if (providerBatchExchanges.remove(exchange))
        exchangeDone(batchId);
}

void SymbolManager::onProviderError(const QString& error)
{
    statusLabel->setText(QStringLiteral("Error loading symbols from provider"));
    emit loadFinished(false);
    say(Warn, QStringLiteral("Provider Error"), error);
    // The error names no exchange: the all-exchanges load stops waiting for the provider.
    if (!providerBatchExchanges.isEmpty()) {
        const int outstanding = providerBatchExchanges.size();
        providerBatchExchanges.clear();
        for (int i = 0; i < outstanding; ++i)
            exchangeDone(batchId);
    }
}

