// Symbol manager dialog: master cache and downloads, loaders, table, watchlist and lookups.
#include "ui/dialogs/SymbolManager.h"

#include "symbols/ISymbolMasterSource.h"
#include "symbols/SymbolRepository.h"
#include "ui/dialogs/HeaderMasterParser.h"
#include "ui/dialogs/PositionalMasterParser.h"
#include "ui/dialogs/UserPrompts.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QSplitter>
#include <QStandardPaths>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

const char kUserAgent[] = "Tickvane/1.0";
const qint64 kCacheLifetimeSeconds = 86399;  // one second short of a day

enum { Info = int(UserPrompts::Kind::Information), Warn = int(UserPrompts::Kind::Warning) };

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

IndianSymbolData recordOf(const QTableWidgetItem* item)
{
    const QVariant v = item->data(Qt::UserRole);
    return v.canConvert<IndianSymbolData>() ? v.value<IndianSymbolData>() : IndianSymbolData();
}

}  // namespace

SymbolManager::SymbolManager(SettingsManager* settings, SymbolRepository* repository, QWidget* parent)
    : QDialog(parent),
      settings(settings),
      repository(repository),
      network(new QNetworkAccessManager(this)),
      prompts(UserPrompts::system())
{
    qRegisterMetaType<IndianSymbolData>("IndianSymbolData");
    setWindowTitle(QStringLiteral("Symbol Manager - Indian Brokers"));
    setMinimumSize(1200, 800);
    setupUi();
    loadWatchlist();
}

SymbolManager::~SymbolManager() = default;

void SymbolManager::setPrompts(UserPrompts* p)
{
    prompts = p ? p : UserPrompts::system();
}

void SymbolManager::say(int kind, const QString& title, const QString& text)
{
    prompts->message(this, UserPrompts::Kind(kind), title, text);
}

void SymbolManager::setupUi()
{
    setWindowTitle(QStringLiteral("Symbol Manager - Indian Stock Markets"));
    setModal(false);
    resize(1200, 800);
    auto* main = new QVBoxLayout(this);
    main->setSpacing(10);
    main->setContentsMargins(10, 10, 10, 10);

    auto* brokerGroup = new QGroupBox(QStringLiteral("Broker & Exchange Selection"), this);
    auto* brokerRow = new QHBoxLayout(brokerGroup);
    brokerRow->setSpacing(15);
    brokerRow->addWidget(new QLabel(QStringLiteral("Broker:"), brokerGroup));
    brokerCombo = new QComboBox(brokerGroup);
    brokerCombo->addItems({"Fyers", "Zerodha", "FlatTrade"});
    brokerCombo->setMinimumWidth(100);
    brokerCombo->setStyleSheet(QStringLiteral("QComboBox { padding: 5px; }"));
    brokerRow->addWidget(brokerCombo);
    brokerRow->addSpacing(20);
    brokerRow->addWidget(new QLabel(QStringLiteral("Exchange:"), brokerGroup));
    exchangeCombo = new QComboBox(brokerGroup);
    exchangeCombo->addItems({"NSE", "BSE", "NFO", "MCX"});
    exchangeCombo->setMinimumWidth(80);
    exchangeCombo->setStyleSheet(QStringLiteral("QComboBox { padding: 5px; }"));
    brokerRow->addWidget(exchangeCombo);
    brokerRow->addSpacing(20);
    // The main window presses the first push button of this dialog whose text holds "Load".
    loadButton = new QPushButton(QStringLiteral("Load Symbols"), brokerGroup);
    loadButton->setMinimumSize(120, 30);
    loadButton->setStyleSheet(QStringLiteral(
        "QPushButton {    background-color: #4CAF50;    color: white;    font-weight: bold;    padding: 8px 15px;"
        "    border-radius: 4px;    border: none;}QPushButton:hover {    background-color: #45a049;}"
        "QPushButton:pressed {    background-color: #3d8b40;}"));
    brokerRow->addWidget(loadButton);
    auto* clearCacheButton = new QPushButton(QStringLiteral("Clear Cache"), brokerGroup);
    clearCacheButton->setMinimumWidth(100);
    clearCacheButton->setMinimumHeight(30);
    clearCacheButton->setStyleSheet(QStringLiteral(
        "QPushButton {    background-color: #ff9800;    color: white;    font-weight: bold;    padding: 8px 15px;"
        "    border-radius: 4px;    border: none;}QPushButton:hover {    background-color: #e68900;}"
        "QPushButton:pressed {    background-color: #cc7a00;}"));
    brokerRow->addWidget(clearCacheButton);
    brokerRow->addStretch();
    main->addWidget(brokerGroup);

    auto* searchGroup = new QGroupBox(QStringLiteral("Search Symbols"), this);
    auto* searchRow = new QHBoxLayout(searchGroup);
    searchRow->addWidget(new QLabel(QStringLiteral("Search:"), searchGroup));
    searchEdit = new QLineEdit(searchGroup);
    searchEdit->setPlaceholderText(QStringLiteral("Type symbol name, token, or ISIN to filter results..."));
    searchEdit->setStyleSheet(QStringLiteral(
        "QLineEdit {    padding: 8px;    font-size: 12px;    border: 2px solid #ddd;    border-radius: 4px;}"
        "QLineEdit:focus {    border-color: #4CAF50;}"));
    searchRow->addWidget(searchEdit);
    main->addWidget(searchGroup);

    auto* splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setChildrenCollapsible(false);
    auto* availableGroup = new QGroupBox(QStringLiteral("Available Symbols"), splitter);
    availableGroup->setStyleSheet(QStringLiteral("QGroupBox { font-weight: bold; }"));
    auto* availableLayout = new QVBoxLayout(availableGroup);
    symbolTable = new QTableWidget(0, 4, availableGroup);
    symbolTable->setHorizontalHeaderLabels({"Symbol", "Exchange", "Token", "ISIN"});
    symbolTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    symbolTable->setAlternatingRowColors(true);
    symbolTable->setSortingEnabled(true);
    symbolTable->setGridStyle(Qt::SolidLine);
    symbolTable->horizontalHeader()->setStretchLastSection(true);
    symbolTable->setColumnWidth(0, 280);
    symbolTable->setColumnWidth(1, 80);
    symbolTable->setColumnWidth(2, 130);
    symbolTable->setStyleSheet(QStringLiteral(
        "QTableWidget {    gridline-color: #d0d0d0;    background-color: white;    alternate-background-color: #f8f9fa;"
        "    selection-background-color: #2196F3;    border: 1px solid #ccc;}QTableWidget::item {    padding: 5px;"
        "    border-bottom: 1px solid #e0e0e0;}QTableWidget::item:selected {    background-color: #2196F3;"
        "    color: white;}QHeaderView::section {    background-color: #f1f3f4;    padding: 8px 5px;"
        "    border: 1px solid #c0c0c0;    font-weight: bold;    color: #333;}"));
    availableLayout->addWidget(symbolTable);
    addButton = new QPushButton(QStringLiteral("Add Selected to Watchlist"), availableGroup);
    addButton->setEnabled(false);
    addButton->setMinimumHeight(35);
    addButton->setStyleSheet(QStringLiteral(
        "QPushButton {    background-color: #2196F3;    color: white;    font-weight: bold;    padding: 8px;"
        "    border-radius: 4px;    border: none;}QPushButton:hover {    background-color: #1976D2;}"
        "QPushButton:disabled {    background-color: #ccc;    color: #666;}"));
    availableLayout->addWidget(addButton);

    auto* watchGroup = new QGroupBox(QStringLiteral("My Watchlist"), splitter);
    watchGroup->setStyleSheet(QStringLiteral("QGroupBox { font-weight: bold; }"));
    auto* watchLayout = new QVBoxLayout(watchGroup);
    watchlistWidget = new QListWidget(watchGroup);
    watchlistWidget->setStyleSheet(QStringLiteral(
        "QListWidget {    background-color: white;    border: 1px solid #ccc;    border-radius: 4px;}"
        "QListWidget::item {    padding: 8px;    border-bottom: 1px solid #e0e0e0;    min-height: 20px;}"
        "QListWidget::item:selected {    background-color: #2196F3;    color: white;}"
        "QListWidget::item:hover {    background-color: #e3f2fd;}"));
    watchLayout->addWidget(watchlistWidget);
    auto* watchButtons = new QHBoxLayout();
    removeButton = new QPushButton(QStringLiteral("Remove Selected"), watchGroup);
    removeButton->setEnabled(false);
    removeButton->setStyleSheet(QStringLiteral(
        "QPushButton {    background-color: #f44336;    color: white;    font-weight: bold;    padding: 6px 12px;"
        "    border-radius: 4px;    border: none;}QPushButton:hover {    background-color: #d32f2f;}"
        "QPushButton:disabled {    background-color: #ccc;    color: #666;}"));
    auto* clearAllButton = new QPushButton(QStringLiteral("Clear All"), watchGroup);
    clearAllButton->setStyleSheet(QStringLiteral(
        "QPushButton {    background-color: #ff9800;    color: white;    padding: 6px 12px;    border-radius: 4px;"
        "    border: none;}QPushButton:hover {    background-color: #f57c00;}"));
    watchButtons->addWidget(removeButton);
    watchButtons->addWidget(clearAllButton);
    watchLayout->addLayout(watchButtons);
    splitter->addWidget(availableGroup);
    splitter->addWidget(watchGroup);
    splitter->setSizes({700, 300});
    splitter->setStretchFactor(0, 7);
    splitter->setStretchFactor(1, 3);
    main->addWidget(splitter);

    auto* bottom = new QHBoxLayout();
    statusLabel = new QLabel(QStringLiteral("Ready - Select broker and exchange, then click 'Load Symbols' to begin"), this);
    statusLabel->setStyleSheet(QStringLiteral("QLabel { color: #666; font-style: italic; padding: 5px; }"));
    bottom->addWidget(statusLabel);
    bottom->addStretch();
    progressBar = new QProgressBar(this);
    progressBar->setVisible(false);
    progressBar->setMaximumHeight(20);
    progressBar->setStyleSheet(QStringLiteral(
        "QProgressBar {    border: 1px solid #ccc;    border-radius: 4px;    text-align: center;}"
        "QProgressBar::chunk {    background-color: #4CAF50;    border-radius: 3px;}"));
    bottom->addWidget(progressBar);
    main->addLayout(bottom);

    connect(loadButton, &QPushButton::clicked, this, &SymbolManager::onLoadSymbolsClicked);
    connect(searchEdit, &QLineEdit::textChanged, this, &SymbolManager::onSearchTextChanged);
    connect(addButton, &QPushButton::clicked, this, &SymbolManager::onAddToWatchlistClicked);
    connect(removeButton, &QPushButton::clicked, this, &SymbolManager::onRemoveFromWatchlistClicked);
    connect(symbolTable, &QTableWidget::cellDoubleClicked, this, &SymbolManager::onSymbolDoubleClicked);
    connect(clearCacheButton, &QPushButton::clicked, this, &SymbolManager::clearCache);
    connect(clearAllButton, &QPushButton::clicked, this, &SymbolManager::clearWatchlist);
    // A selection made from code changes the selection before the current row, so both signals
    // update the buttons.
    const auto followTable = [this] { addButton->setEnabled(symbolTable->currentRow() >= 0); };
    connect(symbolTable, &QTableWidget::itemSelectionChanged, this, followTable);
    connect(symbolTable, &QTableWidget::currentCellChanged, this, followTable);
    const auto followList = [this] { removeButton->setEnabled(watchlistWidget->currentRow() >= 0); };
    connect(watchlistWidget, &QListWidget::itemSelectionChanged, this, followList);
    connect(watchlistWidget, &QListWidget::currentRowChanged, this, followList);
}

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
    connect(reply, &QNetworkReply::finished, this, [this, reply, d] { onSymbolMasterReply(reply, d); });
}

void SymbolManager::onSymbolMasterReply(QNetworkReply* reply, const Download& d)
{
    reply->deleteLater();
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
    } else if (reply->error() != QNetworkReply::NoError) {
        if (!d.silent) {
            statusLabel->setText(QStringLiteral("Error downloading symbols"));
            say(Warn, QStringLiteral("Download Error"),
                QStringLiteral("Failed to download symbol master:\n") + reply->errorString());
        }
        qDebug() << "[Download] Failed to download symbol master:" << reply->errorString();
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
        } else {
            qInfo() << "[SymbolManager] Silent download parsed" << loaded.size() << "symbols";
        }
    }
    exchangeDone(d.batch);
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
    else
        say(Warn, QStringLiteral("Error"), QStringLiteral("Please select a valid broker first."));
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

void SymbolManager::loadSymbolsSilently(const QString& broker)
{
    currentBroker = broker;
    setSelectedText(brokerCombo, broker);
    qInfo() << "[SymbolManager] Loading symbols silently for broker:" << broker;
    loadAllExchangeSymbols();
}

void SymbolManager::setSymbolProvider(ISymbolMasterSource* p)
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
        connect(provider, &ISymbolMasterSource::symbolsReady, this, &SymbolManager::onProviderSymbols);
        connect(provider, &ISymbolMasterSource::providerError, this, &SymbolManager::onProviderError);
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
    if (providerBatchExchanges.remove(exchange))
        exchangeDone(batchId);
}

void SymbolManager::onProviderError(const QString& error)
{
    statusLabel->setText(QStringLiteral("Error loading symbols from provider"));
    say(Warn, QStringLiteral("Provider Error"), error);
    // The error names no exchange: the all-exchanges load stops waiting for the provider.
    if (!providerBatchExchanges.isEmpty()) {
        const int outstanding = providerBatchExchanges.size();
        providerBatchExchanges.clear();
        for (int i = 0; i < outstanding; ++i)
            exchangeDone(batchId);
    }
}

// ---- parsers ----------------------------------------------------------------------------------

void SymbolManager::beginParse(bool append)
{
    if (!append && !allExchanges)
        loaded.clear();
}

void SymbolManager::finishParse(const char* prefix, bool info, int start, const QList<IndianSymbolData>& added)
{
    loaded.append(added);
    const int parsed = loaded.size() - start;
    if (info)
        qInfo().noquote() << prefix << parsed << "symbols (total now:" << loaded.size() << ")";
    else
        qDebug().noquote() << prefix << parsed << "symbols (total now:" << loaded.size() << ")";
    if (repository && parsed > 0)
        repository->addSymbols(added);
}

void SymbolManager::parseTradeJiniSymbols(const QByteArray& data, bool append)
{
    beginParse(append);
    const int start = loaded.size();
    const SymbolMasterText master = SymbolMasterText::fromBytes(data);
    if (master.lines.isEmpty())
        return;
    finishParse("[TradeJini] Parsed", false, start, PositionalMasterParser::parseTradeJini(master));
}

void SymbolManager::parseZerodhaInstruments(const QByteArray& data, bool append)
{
    beginParse(append);
    const int start = loaded.size();
    const SymbolMasterText master = SymbolMasterText::fromBytes(data);
    if (master.lines.isEmpty())
        return;
    finishParse("[Zerodha] Parsed", false, start, PositionalMasterParser::parseZerodha(master));
}

void SymbolManager::parseFlatTradeSymbols(const QByteArray& data, bool append)
{
    beginParse(append);
    const int start = loaded.size();
    const SymbolMasterText master = SymbolMasterText::fromBytes(data);
    if (master.lines.isEmpty())
        return;
    finishParse("[FlatTrade] Parsed", true, start, HeaderMasterParser::parseFlatTrade(master));
}

void SymbolManager::parseFyersSymbols(const QByteArray& data, bool append, const QString& exchange)
{
    beginParse(append);
    const int start = loaded.size();
    const SymbolMasterText master = SymbolMasterText::fromBytes(data);
    if (master.lines.isEmpty())
        return;
    const QString ex = exchange.isEmpty() ? exchangeCombo->currentText() : exchange;
    finishParse("[Fyers] Parsed", false, start, HeaderMasterParser::parseFyers(master, ex));
}

// ---- table and filter -------------------------------------------------------------------------

void SymbolManager::populateTable()
{
    // A sorted table moves rows while they are written; fill it unsorted so that every row holds
    // the cells of one record, then sort again.
    const bool sorting = symbolTable->isSortingEnabled();
    symbolTable->setSortingEnabled(false);
    symbolTable->setUpdatesEnabled(false);
    symbolTable->setRowCount(filtered.size());
    for (int r = 0; r < filtered.size(); ++r) {
        const IndianSymbolData& rec = filtered.at(r);
        auto* first = new QTableWidgetItem(rec.symbol);
        first->setData(Qt::UserRole, QVariant::fromValue(rec));
        symbolTable->setItem(r, 0, first);
        symbolTable->setItem(r, 1, new QTableWidgetItem(rec.exchange));
        symbolTable->setItem(r, 2, new QTableWidgetItem(rec.token));
        symbolTable->setItem(r, 3, new QTableWidgetItem(rec.isin));
    }
    symbolTable->setSortingEnabled(sorting);
    symbolTable->setUpdatesEnabled(true);
    symbolTable->resizeColumnsToContents();
}

void SymbolManager::filterSymbols()
{
    filtered.clear();
    const QString query = searchEdit->text().trimmed().toLower();
    for (const IndianSymbolData& rec : qAsConst(loaded)) {
        if (query.isEmpty() || rec.symbol.contains(query, Qt::CaseInsensitive) ||
            rec.token.contains(query, Qt::CaseInsensitive) || rec.isin.contains(query, Qt::CaseInsensitive))
            filtered.append(rec);
    }
    populateTable();
}

void SymbolManager::onSearchTextChanged()
{
    filterSymbols();
}

// ---- watchlist --------------------------------------------------------------------------------

void SymbolManager::refreshWatchlistDisplay()
{
    watchlistWidget->clear();
    qDebug() << "Refreshing watchlist with" << watchlist.size() << "symbols";
    for (const IndianSymbolData& rec : qAsConst(watchlist)) {
        qDebug() << "Displaying watchlist symbol:" << rec.symbol << "Token:" << rec.token;
        auto* item = new QListWidgetItem(QStringLiteral("%1 (%2)").arg(rec.symbol, rec.exchange));
        item->setData(Qt::UserRole, QVariant::fromValue(rec));
        item->setToolTip(QStringLiteral("Symbol: %1\nExchange: %2\nToken: %3\nISIN: %4")
                             .arg(rec.symbol, rec.exchange, rec.token, rec.isin));
        if (rec.exchange == QLatin1String("NSE"))
            item->setIcon(QIcon(QStringLiteral(":/icons/nse.png")));
        else if (rec.exchange == QLatin1String("BSE"))
            item->setIcon(QIcon(QStringLiteral(":/icons/bse.png")));
        watchlistWidget->addItem(item);
    }
    if (auto* box = qobject_cast<QGroupBox*>(watchlistWidget->parentWidget()))
        box->setTitle(QStringLiteral("My Watchlist (%1 symbols)").arg(watchlist.size()));
}

void SymbolManager::addToWatchlist(const IndianSymbolData& record)
{
    for (const IndianSymbolData& rec : qAsConst(watchlist)) {
        if (rec.token == record.token) {
            say(Info, QStringLiteral("Already Added"), QStringLiteral("This symbol is already in your watchlist."));
            return;
        }
    }
    watchlist.append(record);
    refreshWatchlistDisplay();
    saveWatchlist();
    statusLabel->setText(QStringLiteral("Added %1 to watchlist").arg(record.symbol));
}

void SymbolManager::onAddToWatchlistClicked()
{
    const int row = symbolTable->currentRow();
    const QTableWidgetItem* item = row >= 0 ? symbolTable->item(row, 0) : nullptr;
    if (!item)
        return;
    const IndianSymbolData rec = recordOf(item);
    qDebug() << "Adding symbol to watchlist:";
    qDebug() << "  Token:" << rec.token;
    qDebug() << "  Symbol:" << rec.symbol;
    qDebug() << "  Exchange:" << rec.exchange;
    qDebug() << "  ISIN:" << rec.isin;
    addToWatchlist(rec);
}

void SymbolManager::onSymbolDoubleClicked(int row, int /*column*/)
{
    if (const QTableWidgetItem* item = symbolTable->item(row, 0))
        addToWatchlist(recordOf(item));
}

void SymbolManager::onRemoveFromWatchlistClicked()
{
    const int row = watchlistWidget->currentRow();
    if (row < 0 || row >= watchlist.size())
        return;
    const QString symbol = watchlist.at(row).symbol;
    watchlist.removeAt(row);
    refreshWatchlistDisplay();
    saveWatchlist();
    statusLabel->setText(QStringLiteral("Removed %1 from watchlist").arg(symbol));
}

void SymbolManager::clearWatchlist()
{
    if (!prompts->question(this, QStringLiteral("Clear Watchlist"),
                           QStringLiteral("Are you sure you want to remove all symbols from your watchlist?"), false))
        return;
    watchlist.clear();
    refreshWatchlistDisplay();
    saveWatchlist();
    statusLabel->setText(QStringLiteral("Watchlist cleared successfully"));
}

void SymbolManager::saveWatchlist()
{
    qInfo() << "[SymbolManager] saveWatchlist called - watchlist now managed by MainWindow";
}

void SymbolManager::loadWatchlist()
{
    qInfo() << "[SymbolManager] loadWatchlist called - watchlist now managed by MainWindow";
    watchlist.clear();
    refreshWatchlistDisplay();
}

void SymbolManager::reloadWatchlist()
{
    qInfo() << "[SymbolManager] reloadWatchlist called - watchlist now managed by MainWindow";
    loadWatchlist();
}

// ---- lookups ----------------------------------------------------------------------------------

IndianSymbolData SymbolManager::getSymbolByToken(const QString& token) const
{
    return repository ? repository->findByToken(token) : IndianSymbolData();
}

IndianSymbolData SymbolManager::symbolByToken(const QString& token) const
{
    return getSymbolByToken(token);
}

QString SymbolManager::getSymbolForToken(const QString& token) const
{
    if (repository) {
        const QString symbol = repository->symbolForToken(token);
        if (!symbol.isEmpty())
            return symbol;
    }
    return token;
}

QString SymbolManager::findSymbol(const QString& symbol) const
{
    const QString wanted = symbol.trimmed().toUpper();
    for (const IndianSymbolData& rec : loaded) {
        if (rec.symbol.toUpper() == wanted)
            return rec.token;
    }
    return QString();
}

bool SymbolManager::hasSymbols() const
{
    return repository && !repository->isEmpty();
}
