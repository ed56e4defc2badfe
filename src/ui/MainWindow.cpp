// The connector's main window and composition root: creates every service, wires them, routes
// ticks into the watchlist and on to AmiBroker, and tears it all down in a safe order.
#include "ui/MainWindow.h"

#include "amibroker/AmiBrokerPlugin.h"
#include "amibroker/CSVExporter.h"
#include "backtest/BacktestController.h"
#include "backtest/HistoryCandleWriter.h"
#include "backtest/SQLiteOHLCStore.h"
#include "brokers/BrokerAPI.h"
#include "brokers/HistoricalDownloader.h"
#include "brokers/IBroker.h"
#include "brokers/LiveFeeder.h"
#include "brokers/angelone/AngelOneBroker.h"
#include "brokers/dhan/DhanBroker.h"
#include "brokers/flattrade/FlatTradeBroker.h"
#include "brokers/fyers/FyersBroker.h"
#include "brokers/tradejini/TradeJiniBroker.h"
#include "brokers/upstox/UpstoxBroker.h"
#include "brokers/zerodha/ZerodhaBroker.h"
#include "core/DataManager.h"
#include "core/SettingsManager.h"
#include "symbols/SymbolRepository.h"
#include "ui/AlertWindow.h"
#include "ui/BackfillChoices.h"
#include "ui/BrokerConfig.h"
#include "ui/RowHighlighter.h"
#include "ui/UserPrompts.h"
#include "ui/WatchlistFormat.h"
#include "ui/dialogs/SymbolManager.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QTableWidget>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <utility>

namespace {

const char* const kTitle = "Tickvane Connector v6.2.9 [BETA]";
// Ticks of this long reach the rows in one paint: quick to the eye, and a busy feed no longer
// pays for a table update per tick.
constexpr int kRowPaintMs = 40;
constexpr int kRowsPerPaint = 200;
constexpr int kFeederStatusMs = 250;

} // namespace

MainWindow::MainWindow(QWidget* parent) : MainWindow(MainWindowSeams{}, parent) {}

MainWindow::MainWindow(MainWindowSeams seamsIn, QWidget* parent)
    : QMainWindow(parent), seams(std::move(seamsIn))
{
    prompts = seams.prompts ? seams.prompts : std::make_shared<UserPrompts>();

    ui = new Ui_MainWindow;
    ui->setupUi(this);

    fyersWsUrls = seams.fyersStreamUrls.isEmpty() ? BrokerConfig::fyersStreamUrls()
                                                  : seams.fyersStreamUrls;
    zerodhaWsUrl = seams.zerodhaStreamUrl.isEmpty() ? BrokerConfig::zerodhaStreamUrl()
                                                    : seams.zerodhaStreamUrl;
    pingTimer = new QTimer(this);
    pingTimer->setInterval(5000);
    connect(pingTimer, &QTimer::timeout, this, &MainWindow::sendFyersPing);
    watchlistUpdateTimer = new QTimer(this);
    watchlistUpdateTimer->setSingleShot(true);
    watchlistUpdateTimer->setInterval(0);
    connect(watchlistUpdateTimer, &QTimer::timeout, this, &MainWindow::runWatchlistUpdate);
    rowPaintTimer = new QTimer(this);
    rowPaintTimer->setSingleShot(true);
    connect(rowPaintTimer, &QTimer::timeout, this, &MainWindow::flushRowUpdates);
    feederStatusTimer = new QTimer(this);
    feederStatusTimer->setSingleShot(true);
    feederStatusTimer->setInterval(kFeederStatusMs);
    connect(feederStatusTimer, &QTimer::timeout, this, &MainWindow::showFeederStatus);

    if (QCoreApplication* app = QCoreApplication::instance())
        settings = app->findChild<SettingsManager*>();
    if (settings) {
        qInfo() << "MainWindow: using application-level SettingsManager";
    } else {
        settings = new SettingsManager(this);
        qInfo() << "MainWindow: created local SettingsManager";
        // The settings store has no widgets of its own; the application gives its store the
        // restart notice, and the window does the same for a store of its own.
        std::shared_ptr<UserPrompts> p = prompts;
        settings->setRestartPrompt(
            [p](const QString& title, const QString& text) { p->information(nullptr, title, text); });
    }

    // The connector is chosen once, for this provider: saving another one needs a restart.
    settings->setActiveProvider(settings->provider());
    const QString brokerName = SettingsManager::providerName(settings->provider());
    settings->setCurrentBroker(brokerName);
    qInfo() << "[MainWindow] Initialized current broker to:" << brokerName;

    // Candles for backtests live beside the other application data.
    ohlcStore = new SQLiteOHLCStore;
    const QString backtestDir = settings->appDataPath() + QStringLiteral("/backtest");
    if (!QDir().mkpath(backtestDir) || !ohlcStore->open(backtestDir))
        qWarning() << "[MainWindow] Could not open the candle store in" << backtestDir;
    candleWriter = new HistoryCandleWriter(ohlcStore, this);

    backtestController = new BacktestController(
        ohlcStore, settings->customUrl(), QString(),
        [this](const QString& message) { sendToStream(message); }, this);

    symbolRepository = new SymbolRepository(this);
    connect(symbolRepository, &SymbolRepository::symbolsReloaded, this, [this] {
        qInfo() << "[MainWindow] Symbols reloaded, refreshing watchlist display";
        refreshWatchlistDisplay();
        // Exchanges fetched just now turn more watchlist items into keys.
        onSettingsChanged();
    });
    connect(symbolRepository, &SymbolRepository::mastersMissing, this, [this](QString broker, QStringList exchanges) {
        if (masterDownloading) {
            missingMasters = exchanges;  // told after the start-up download, unless it failed whole
            return;
        }
        tellMissingMasters(broker, exchanges);
    });
    if (seams.prepareRepository)
        seams.prepareRepository(symbolRepository);
    masterDownloading = true;  // until the start-up load below ends

    brokerAPI = new BrokerAPI(this);
    configureFacade();
    createBroker(settings->provider());

    dataManager = new DataManager(this);
    historicalDownloader =
        new HistoricalDownloader(brokerAPI, dataManager, settings, nullptr, nullptr);
    liveFeeder = new LiveFeeder(brokerAPI, dataManager, settings, this);
    amiBrokerPlugin = new AmiBrokerPlugin(dataManager, this);
    csvExporter = new CSVExporter(settings, this);
    AmiBrokerPlugin::setInstance(amiBrokerPlugin);

    setupCustomUi();
    setupConnections();

    setWindowTitle(QString::fromLatin1(kTitle));
    resize(1000, 700);

    updateCSVStatus();

    QTimer::singleShot(100, this, [this] { loadAmiBrokerPathIntoField(); });
    // The cached master is read while the window shows; a missing one is downloaded then.
    loadInstrumentMasterFromCache();
}

void MainWindow::scheduleStartupSteps()
{
    if (settings->connectOnStartup())
        QTimer::singleShot(seams.connectOnStartupDelayMs, this, [this] { onConnectAction(); });
    QTimer::singleShot(seams.startupDelayMs, this, [this] {
        autoLoadSymbolData();
        handServicesToBroker();
    });
}

MainWindow::~MainWindow()
{
    if (QCoreApplication* app = QCoreApplication::instance())
        app->removeEventFilter(this);
    if (liveFeeder && liveFeeder->isRunning())
        liveFeeder->stop();
    if (settings)
        settings->saveSettings();

    // Services still emit while they are destroyed (the facade reports the feed stopped): from
    // here on nothing may reach the window's slots, which would run on a half-destroyed window.
    for (QObject* sender : std::initializer_list<QObject*>{
             settings, brokerAPI, csvExporter, historicalDownloader, liveFeeder,
             symbolRepository, statusTimer, pingTimer, webSocket, watchlistUpdateTimer,
             rowPaintTimer, feederStatusTimer,
             brokerAPI ? brokerAPI->implementation() : nullptr}) {
        if (sender)
            disconnect(sender, nullptr, this, nullptr);
    }
    if (rowHighlighter)
        rowHighlighter->reset();

    // The dialogs go before the services they hold pointers to.
    delete symbolManager;
    symbolManager = nullptr;
    symbolLookups = nullptr;
    delete settingsDialog;
    settingsDialog = nullptr;

    // AmiBroker may call the exported plugin functions at any time: they must stop seeing the
    // plugin object before it goes.
    AmiBrokerPlugin::setInstance(nullptr);
    delete historicalDownloader;
    historicalDownloader = nullptr;
    // The controller cancels and waits for a running backtest, which reads the store.
    delete backtestController;
    backtestController = nullptr;
    delete candleWriter;  // finishes its queued writes first
    candleWriter = nullptr;
    delete ohlcStore;
    ohlcStore = nullptr;

    delete ui;
    ui = nullptr;
    delete symbolSearchPopup;
    symbolSearchPopup = nullptr;
}

IBroker* MainWindow::createDefaultBroker(int provider, QObject* parent)
{
    switch (provider) {
    case SettingsManager::Zerodha: return new ZerodhaBroker(parent);
    case SettingsManager::FlatTrade: return new FlatTradeBroker(parent);
    case SettingsManager::TradeJini: return new TradeJiniBroker(parent);
    case SettingsManager::Dhan: return new DhanBroker(parent);
    case SettingsManager::AngelOne: return new AngelOneBroker(parent);
    case SettingsManager::Upstox: return new UpstoxBroker(parent);
    case SettingsManager::Fyers: return new FyersBroker(parent);
    default: break;
    }
    // The "Custom API" and unknown providers have no connector: the facade polls or nothing runs.
    qWarning() << "[MainWindow] No connector available for provider:"
               << SettingsManager::providerName(provider);
    return nullptr;
}

void MainWindow::createBroker(int provider)
{
    // The "Custom API" (and any unknown provider) runs without a connector: the facade polls.
    if (provider < 0 || provider > SettingsManager::Fyers || provider == SettingsManager::CustomAPI)
        return;
    const auto factory = seams.brokerFactory ? seams.brokerFactory : &MainWindow::createDefaultBroker;
    IBroker* broker = factory(provider, this);
    if (!broker)
        return;

    broker->initialize(BrokerConfig::forProvider(provider, *settings, fyersWsUrls));
    if (auto* zerodha = qobject_cast<ZerodhaBroker*>(broker)) {
        // A stream refused for its token asks for a new login without blocking anything; the
        // alert is the user's to close.
        connect(zerodha, &ZerodhaBroker::tokenExpired, this, [] {
            auto* alert = new AlertWindow(QStringLiteral("Token Expired"),
                                          QStringLiteral("Your access token has expired. Please authenticate again."));
            alert->setAttribute(Qt::WA_DeleteOnClose);
            alert->show();
        });
    }
    if (auto* tradeJini = qobject_cast<TradeJiniBroker*>(broker))
        tradeJini->setSettingsManager(settings);
    else if (auto* flatTrade = qobject_cast<FlatTradeBroker*>(broker))
        flatTrade->setSettingsManager(settings);
    else if (auto* dhan = qobject_cast<DhanBroker*>(broker)) {
        dhan->setSettingsManager(settings);
        dhan->setSymbolRepository(symbolRepository);
    } else if (auto* angelOne = qobject_cast<AngelOneBroker*>(broker)) {
        angelOne->setSettingsManager(settings);
        angelOne->setSymbolRepository(symbolRepository);
    } else if (auto* upstox = qobject_cast<UpstoxBroker*>(broker)) {
        upstox->setSymbolRepository(symbolRepository);
    }
    brokerAPI->setImplementation(broker);
    switch (provider) {
    case SettingsManager::Dhan:
    case SettingsManager::AngelOne: {
        // These two need their instrument list before the stream can subscribe anything.
        const bool dhan = provider == SettingsManager::Dhan;
        qInfo() << (dhan ? "[MainWindow] Downloading Dhan instrument list..."
                         : "[MainWindow] Downloading AngelOne instrument list...");
        connect(broker, SIGNAL(instrumentListDownloaded()), this, SLOT(onInstrumentListDownloaded()));
        QMetaObject::invokeMethod(broker, "downloadInstrumentList", Qt::DirectConnection);
        qInfo() << (dhan ? "[MainWindow] Initialized DhanBroker, will connect after download"
                         : "[MainWindow] Initialized AngelOneBroker, will connect after download");
        break;
    }
    case SettingsManager::Upstox:
        // A fresh login's token reaches the running connector at once.
        if (broker->metaObject()->indexOfSlot("updateAccessToken(QString)") >= 0)
            connect(settings, SIGNAL(upstoxAccessTokenChanged(QString)), broker,
                    SLOT(updateAccessToken(QString)));
        qInfo() << "[MainWindow] Initialized UpstoxBroker, connecting...";
        broker->connectToBroker();
        break;
    case SettingsManager::Fyers:
        broker->connectToBroker();
        break;
    default: {
        broker->connectToBroker();
        const char* const names[] = {"ZerodhaBroker", "FlatTradeBroker", "TradeJiniBroker"};
        qInfo().noquote() << QStringLiteral("[MainWindow] Initialized %1 with WebSocket support")
                                 .arg(QLatin1String(names[provider]));
        break;
    }
    }
}

void MainWindow::configureFacade()
{
    // Without a connector the facade polls the quote service itself and needs its address, key
    // and request budget; the facade starts out on another provider's address.
    const int provider = settings->provider();
    brokerAPI->setProvider(provider);
    brokerAPI->setApiKey(settings->apiKey());
    brokerAPI->setRequestTimeout(settings->requestTimeout() * 1000);
    if (provider == SettingsManager::CustomAPI) {
        brokerAPI->setCustomUrl(settings->customUrl());
        brokerAPI->setRateLimit(settings->rateLimit());
    }
}

void MainWindow::onInstrumentListDownloaded()
{
    auto* broker = qobject_cast<IBroker*>(sender());
    if (!broker)
        return;
    qInfo() << (settings->provider() == SettingsManager::Dhan
                    ? "[MainWindow] Dhan instrument list downloaded, connecting to WebSocket..."
                    : "[MainWindow] Instrument list downloaded, connecting to WebSocket...");
    broker->connectToBroker();
}

void MainWindow::loadInstrumentMasterFromCache()
{
    const int provider = settings->provider();
    const QString name = SettingsManager::providerName(provider);
    qInfo() << "[Startup] Loading cached symbols for broker:" << name;
    symbolRepository->loadFromCacheAsync(name, settings->appDataPath(), [this, provider](bool loaded) {
        if (loaded) {
            qInfo() << "[Startup] Loaded" << symbolRepository->size() << "symbols from cache.";
            masterDownloading = false;
            // The table was made before the names were known, and a connector that connected
            // meanwhile subscribed without them.
            refreshWatchlistDisplay();
            onSettingsChanged();
            scheduleStartupSteps();
            return;
        }
        if (provider == SettingsManager::AngelOne) {
            qInfo() << "[Startup] AngelOne broker - symbols will be downloaded via broker API";
        } else if (provider == SettingsManager::CustomAPI) {
            // The quote service has no instrument master: there is nothing to download, and a
            // "download failed" box at every start would be a false alarm.
            qInfo() << "[Startup] Custom API has no instrument master; watchlist entries are symbols";
        } else {
            downloadInstrumentMaster();
            return;
        }
        masterDownloading = false;
        scheduleStartupSteps();
    });
}

void MainWindow::downloadInstrumentMaster()
{
    const QString name = SettingsManager::providerName(settings->provider());
    qWarning() << "[Startup] No valid cache found. Downloading symbol masters synchronously...";
    qInfo() << "[Startup] This may take 10-30 seconds. Please wait...";
    // The window stays responsive meanwhile: the download waits in an event loop of its own.
    if (symbolRepository->downloadSync(name, settings->appDataPath())) {
        qInfo() << "[Startup] Symbol masters downloaded successfully. Total symbols:"
                << symbolRepository->size();
        // The table and the connector's subscription were made before the names were known.
        onSettingsChanged();
        if (!missingMasters.isEmpty())
            tellMissingMasters(name, missingMasters);
    } else {
        prompts->warning(this, QStringLiteral("Symbol Download Failed"),
                         QStringLiteral("Failed to download symbol masters. The application may "
                                        "not work correctly.\n\nPlease check your internet "
                                        "connection and restart the application."));
    }
    missingMasters.clear();
    masterDownloading = false;
    scheduleStartupSteps();
}

void MainWindow::tellMissingMasters(const QString& broker, const QStringList& exchanges)
{
    const QString list = exchanges.join(QStringLiteral(", "));
    qWarning().noquote() << QStringLiteral("[MainWindow] %1 instrument masters missing: %2").arg(broker, list);
    statusMessageLabel->setText(
        QStringLiteral("%1 instrument masters missing: %2 - downloaded again at the next load").arg(broker, list));
    if (missingMastersShown)
        return;
    missingMastersShown = true;
    // The repository reports from inside its download: a modal box opened here would hold back
    // the reload and the re-subscription that follow, and refuse loads as busy, until answered.
    const QString text = QStringLiteral("The %1 instrument masters of %2 could not be downloaded, so their "
                                        "instruments cannot be found or subscribed.\n\nThey are downloaded "
                                        "again at the next load.")
                             .arg(list, broker);
    QTimer::singleShot(0, this, [this, text] {
        prompts->warning(this, QStringLiteral("Instrument Masters Incomplete"), text);
    });
}

void MainWindow::setupConnections()
{
    connect(brokerAPI, &BrokerAPI::connectionStatusChanged, this,
            &MainWindow::onConnectionStatusChanged);
    connect(brokerAPI, &BrokerAPI::errorOccurred, this, &MainWindow::onErrorOccurred);
    connect(brokerAPI, &BrokerAPI::quoteFailed, this, &MainWindow::onQuoteFailed);
    connect(brokerAPI, &BrokerAPI::symbolFailuresChanged, this, &MainWindow::onSymbolFailuresChanged);
    connect(brokerAPI, &BrokerAPI::historyFailed, this, &MainWindow::onHistoryFailed);
    // A download that works again makes the next failure worth a box.
    connect(brokerAPI, &BrokerAPI::historicalDataReceived, this, [this] { boxedHistoryFailures.clear(); });
    connect(brokerAPI, &BrokerAPI::tickReceived, this, &MainWindow::onTickReceived);
    connect(brokerAPI, &BrokerAPI::historicalDataReceived, this,
            &MainWindow::onHistoricalDataReceived);
    connect(csvExporter, &CSVExporter::importCompleted, this, &MainWindow::onCsvImportCompleted);
    connect(csvExporter, &CSVExporter::liveFileStatus, this, [this](const QString& message) {
        if (statusMessageLabel)
            statusMessageLabel->setText(message);
    });
    connect(settings, &SettingsManager::settingsChanged, this, &MainWindow::onSettingsChanged);
    connect(liveFeeder, &LiveFeeder::statusChanged, this, &MainWindow::onLiveFeedStatusChanged);
    connect(historicalDownloader, &HistoricalDownloader::downloadProgress, this,
            &MainWindow::onDownloadProgress);
    connect(historicalDownloader, &HistoricalDownloader::downloadTimedOut, this, &MainWindow::onHistoryTimedOut);
    // Every completed 1-minute or daily download also fills the backtests' candle store.
    connect(historicalDownloader, &HistoricalDownloader::historyDownloaded, candleWriter,
            &HistoryCandleWriter::write);
    connect(candleWriter, &HistoryCandleWriter::written, this,
            [this](const QString& symbol, const QString&, int received, int, int failed, const QString& problem) {
                if (failed > 0)
                    statusMessageLabel->setText(QStringLiteral("Could not store %1 of %2 candles of %3 for backtests: %4")
                                                    .arg(failed)
                                                    .arg(received)
                                                    .arg(symbol.left(64), problem));
            });
}

void MainWindow::handleBacktestJob(const QJsonObject& job)
{
    if (backtestController)
        backtestController->handleJob(job);
}

void MainWindow::sendToStream(const QString& message)
{
    // Status messages of a backtest go out on the window's own stream; without one they are
    // dropped, as the controller expects.
    if (webSocket && wsConnected)
        webSocket->sendTextMessage(message);
}

// ---------------------------------------------------------------------------------------------
// Connection control

void MainWindow::onConnectAction()
{
    const int provider = settings->provider();
    const QString name = SettingsManager::providerName(provider);

    boxedQuoteFailures.clear();
    boxedHistoryFailures.clear();
    const QString missing = BrokerConfig::missingCredentials(provider, *settings);
    if (!missing.isEmpty()) {
        showError(missing);
        return;
    }

    settings->setCurrentBroker(name);
    qInfo() << "[Connect] Set current broker to:" << name;
    brokerLabel->setText(QStringLiteral("Broker: %1").arg(name));
    refreshWatchlistDisplay();
    configureFacade();

    if (IBroker* broker = brokerAPI->implementation()) {
        const QMap<QString, QString> config =
            BrokerConfig::forProvider(provider, *settings, fyersWsUrls);
        if (!config.isEmpty())
            broker->initialize(config);
        qInfo() << "[MainWindow] Updated broker configuration with fresh tokens from settings";
        if (!broker->isConnected()) {
            broker->connectToBroker();
            qInfo() << "[MainWindow] Connecting to broker provider:" << name;
        }
    }

    if (liveFeeder && !liveFeeder->isRunning()) {
        const QStringList symbols = settings->watchlist();
        if (symbols.isEmpty()) {
            qDebug() << "[MainWindow] No symbols in watchlist, skipping live feed start";
        } else {
            liveFeeder->start();
            qDebug() << "[MainWindow] Started live feed with" << symbols.size() << "symbols";
        }
    }

    brokerConnected = true;
    updateConnectionStatusLabel();
    // Only a connection that is up is reported as made; a connector still on its way reports
    // through its status signal.
    if (feedConnectionUp())
        statusMessageLabel->setText(QStringLiteral("Connected to %1 successfully").arg(name));
    else if (!brokerAPI->implementation())
        statusMessageLabel->setText(  // nothing to poll yet
            QStringLiteral("%1 is ready: add symbols with Quick Add, then press Start Feed.").arg(name));
    else
        statusMessageLabel->setText(QStringLiteral("Connecting to %1...").arg(name));
}

void MainWindow::onDisconnectAction()
{
    boxedQuoteFailures.clear();
    if (liveFeeder && liveFeeder->isRunning()) {
        liveFeeder->stop();
        qDebug() << "[MainWindow] Stopped live feed";
    }
    IBroker* broker = brokerAPI ? brokerAPI->implementation() : nullptr;
    // Not only a connected one: a connector still opening its stream would come up after the
    // user said disconnect.
    if (broker) {
        broker->disconnectFromBroker();
        qDebug() << "[MainWindow] Disconnected broker provider";
    }
    brokerConnected = false;
    updateConnectionStatusLabel();
    brokerLabel->setText(QStringLiteral("Broker: None"));
    statusMessageLabel->setText(QStringLiteral("Disconnected from data provider"));
}

void MainWindow::onConnectionStatusChanged(bool connected)
{
    // Without a connector the quote poll is the connection. A failed poll says so in the
    // connection label, but the poll goes on and the feed stays started until the user stops it.
    const bool polling = brokerAPI && !brokerAPI->implementation() && brokerAPI->isPolling();
    brokerConnected = connected || polling;
    if (connected) {
        // The service recovered: a new failure of it deserves a box again. A symbol that still
        // fails on its own is not told again.
        for (auto it = boxedQuoteFailures.begin(); it != boxedQuoteFailures.end();)
            it = it->contains(QLatin1Char('\n')) ? std::next(it) : boxedQuoteFailures.erase(it);
    }
    updateConnectionStatusLabel();
    if (auto* start = findChild<QPushButton*>(QStringLiteral("startLiveFeedBtn")))
        start->setEnabled(!brokerConnected);
    if (auto* stop = findChild<QPushButton*>(QStringLiteral("stopLiveFeedBtn")))
        stop->setEnabled(brokerConnected);
    const QString name = SettingsManager::providerName(settings->provider());
    statusMessageLabel->setText(connected ? QStringLiteral("Connected to %1").arg(name)
                                          : QStringLiteral("Disconnected from %1").arg(name));
    if (!connected)
        return;
    // The connector is told the watchlist once it has settled; a disconnect meanwhile cancels.
    QTimer::singleShot(seams.autoSubscribeDelayMs, Qt::PreciseTimer, this, [this] {
        if (!brokerConnected || !brokerAPI || !brokerAPI->implementation()
            || settings->watchlist().isEmpty())
            return;
        qInfo() << "[MainWindow] Auto-subscribing to" << settings->watchlist().size()
                << "watchlist symbols after connection";
        subscribeToWatchlistSymbols();
    });
}

bool MainWindow::feedConnectionUp() const
{
    if (!brokerAPI)
        return false;
    if (IBroker* broker = brokerAPI->implementation())
        return broker->isConnected() || wsConnected;
    return brokerAPI->isConnected();
}

void MainWindow::updateConnectionStatusLabel()
{
    if (!connectionLabel)
        return;
    const bool up = feedConnectionUp();
    // A running quote poll whose latest reply failed is not connected, and says why.
    const QString failure = brokerAPI && !brokerAPI->implementation() && brokerAPI->isPolling()
        ? brokerAPI->pollFailure()
        : QString();
    const bool connecting = brokerConnected && failure.isEmpty();
    QString text = up ? QStringLiteral("Connected")
        : !failure.isEmpty()
        ? QStringLiteral("%1: %2").arg(SettingsManager::providerName(settings->provider()), failure)
        : connecting ? QStringLiteral("Connecting...")
                     : QStringLiteral("Disconnected");
    QString style = up ? QStringLiteral("color: green;")
        : connecting   ? QStringLiteral("color: #e65100;")
                       : QStringLiteral("color: red;");
    // The service answers, but some symbols fail on their own: the label names them.
    const QStringList failing = up && !brokerAPI->implementation() ? brokerAPI->failingSymbols().keys() : QStringList();
    if (!failing.isEmpty()) {
        const int polled = brokerAPI->subscribed().size();
        const int streaming = qMax(0, polled - failing.size());
        QString names = failing.mid(0, 3).join(QStringLiteral(", "));
        if (failing.size() > 3)
            names += QStringLiteral(" and %1 more").arg(failing.size() - 3);
        const QString verb = failing.size() == 1 ? QStringLiteral("fails") : QStringLiteral("fail");
        if (streaming > 0) {
            text = QStringLiteral("Streaming %1 of %2 symbols; %3 %4").arg(streaming).arg(polled).arg(names, verb);
            style = QStringLiteral("color: #e65100;");
        } else {
            text = QStringLiteral("%1: no symbol streams; %2 %3")
                       .arg(SettingsManager::providerName(settings->provider()), names, verb);
            style = QStringLiteral("color: red;");
        }
    }
    if (connectionLabel->text() == text)
        return;
    connectionLabel->setText(text);
    connectionLabel->setStyleSheet(style);
}

void MainWindow::onQuoteFailed(const QString& symbol, const QString& reason, const QString& message)
{
    updateConnectionStatusLabel();
    // Every symbol of a failing service fails alike, round after round: one box per kind of
    // failure, the repeats go to the status line and the log. A symbol that fails on its own
    // (the facade lists it) gets one box of its own per kind, and its repeats only the log.
    const bool ofSymbol = brokerAPI && brokerAPI->failingSymbols().value(symbol) == reason;
    const QString key = ofSymbol ? symbol + QLatin1Char('\n') + reason : reason;
    if (boxedQuoteFailures.contains(key)) {
        qInfo().noquote() << "[MainWindow] Quote request failed again:" << (ofSymbol ? symbol.left(64) + QStringLiteral(": ") : QString()) + reason;
        if (!ofSymbol)
            statusMessageLabel->setText(QStringLiteral("Error: ") + message);
        return;
    }
    boxedQuoteFailures.insert(key);
    if (ofSymbol) {
        QPointer<QObject>& open = openSymbolFailureBoxes[reason];
        if (open) {
            qInfo().noquote() << "[MainWindow] Quote request failed:" << symbol.left(64) + QStringLiteral(": ") + reason;
            statusMessageLabel->setText(QStringLiteral("Error: ") + message);
            return;
        }
        showError(message);
        open = openErrorBoxes.value(message);
        return;
    }
    showError(message);
}

void MainWindow::onSymbolFailuresChanged()
{
    // A symbol that answers again (or left the poll) is told afresh if it fails later.
    const QMap<QString, QString> failing = brokerAPI->failingSymbols();
    for (auto it = boxedQuoteFailures.begin(); it != boxedQuoteFailures.end();) {
        const int cut = it->indexOf(QLatin1Char('\n'));
        it = cut >= 0 && !failing.contains(it->left(cut)) ? boxedQuoteFailures.erase(it) : std::next(it);
    }
    updateConnectionStatusLabel();
}

void MainWindow::onHistoryFailed(quint64, const QString& symbol, const QString& reason, const QString& message)
{
    // A connector's failure names no kind: the errorOccurred that follows tells it, as every error
    // of a connector is told.
    if (reason.isEmpty())
        return;
    toldHistoryError = message;
    tellHistoryFailure(symbol, reason, message);
}

void MainWindow::onHistoryTimedOut(const QString&, const QString& symbol, const QString& error)
{
    // No errorOccurred follows: the queue's own watchdog ended the request, not the facade.
    QString shown = symbol;
    if (symbolRepository) {
        const QString name = symbolRepository->symbolForToken(symbol);
        if (!name.isEmpty())
            shown = name;
    }
    tellHistoryFailure(symbol, QStringLiteral("timed out"),
                       QStringLiteral("No history for %1: %2").arg(shown.left(64), error));
}

void MainWindow::tellHistoryFailure(const QString& symbol, const QString& reason, const QString& message)
{
    // Told like the quote poll's failures: one box per kind, the repeats (every further request of
    // a download while the service is down) on the status line and in the log.
    if (boxedHistoryFailures.contains(reason)) {
        qInfo().noquote() << "[MainWindow] History request failed again:" << symbol.left(64) << reason;
        statusMessageLabel->setText(QStringLiteral("Error: ") + message);
        return;
    }
    boxedHistoryFailures.insert(reason);
    showError(message);
}

void MainWindow::onErrorOccurred(const QString& error)
{
    // A failed history request of the facade's own path is told by onHistoryFailed just before.
    if (!toldHistoryError.isNull() && error == toldHistoryError) {
        toldHistoryError.clear();
        return;
    }
    static const char* const streamWords[] = {"authentication", "WebSocket", "connection", "token",
                                              "stream"};
    bool streamError = false;
    for (const char* word : streamWords) {
        if (error.contains(QLatin1String(word), Qt::CaseInsensitive)) {
            streamError = true;
            break;
        }
    }
    // Handled from the event loop, never inside the broker's own signal emission.
    const QString text = error;
    QMetaObject::invokeMethod(
        this,
        [this, text, streamError] {
            if (streamError) {
                statusMessageLabel->setText(QStringLiteral("Stream not connected: ") + text);
                qWarning() << "[MainWindow] Stream error:" << text;
            } else {
                showError(text);
            }
        },
        Qt::QueuedConnection);
}

void MainWindow::showError(const QString& message)
{
    qWarning().noquote() << "[MainWindow] Error:" << message;
    // A failing reconnect repeats its error every few seconds: while the box with that text is
    // still open the repeat goes to the log only, instead of a pile of boxes.
    for (auto it = openErrorBoxes.begin(); it != openErrorBoxes.end();) {
        if (it.value().isNull())
            it = openErrorBoxes.erase(it);
        else
            ++it;
    }
    if (openErrorBoxes.contains(message)) {
        qInfo() << "[MainWindow] The same error is already shown; not opening another box";
    } else if (QObject* box = prompts->error(this, message)) {
        openErrorBoxes.insert(message, box);
    }
    statusMessageLabel->setText(QStringLiteral("Error: ") + message);
}

// ---------------------------------------------------------------------------------------------
// Tick routing

QString MainWindow::resolveDisplayName(const QString& token)
{
    const QString cached = settings->symbolDisplayName(token);
    if (!cached.isEmpty() && cached != token)
        return cached;
    if (symbolRepository) {
        const QString candidate = symbolRepository->symbolForToken(token);
        if (!candidate.isEmpty() && candidate != token) {
            // The settings announce the cached name as a change; the tick itself shows the name
            // in its row, so nothing else of the watchlist follows it.
            QScopedValueRollback<bool> guard(learningName, true);
            settings->cacheSymbolName(token, candidate);
            return candidate;
        }
    }
    return token;
}

int MainWindow::rowForToken(const QString& token) const
{
    return tokenRows.value(token, -1);
}

QString MainWindow::routingKey(const TickData& tick)
{
    // Quotes polled from the "Custom API" have no instrument token: the watchlist holds their
    // symbols, so the symbol is their key.
    return tick.token.isEmpty() ? tick.symbol : tick.token;
}

void MainWindow::onTickReceived(TickData tick)
{
    ++tickCount;
    const QString key = routingKey(tick);
    const bool exported = csvExporter && !key.isEmpty();
    if (!exported && rowForToken(key) < 0) {
        logMissingRow(key);
        return;
    }
    // One resolution serves the row, the store and the exporter, which all see the tick under
    // that name.
    const QString name = resolveDisplayName(key);
    tick.symbol = name;
    routeToRow(key, name, tick);
    if (exported)
        csvExporter->onTickReceived(name, tick);
}

void MainWindow::updateSymbolPrice(const QString& token, const TickData& tick)
{
    if (!watchlistTable)
        return;
    if (rowForToken(token) < 0) {
        logMissingRow(token);
        return;
    }
    routeToRow(token, resolveDisplayName(token), tick);
}

void MainWindow::routeToRow(const QString& token, const QString& displayName, const TickData& tick)
{
    if (!watchlistTable)
        return;
    const int row = rowForToken(token);
    if (row < 0 || row >= rowUpdates.size()) {
        logMissingRow(token);
        return;
    }
    // The row shows the newest tick at the next paint; the store gets every tick now.
    // Only what the row shows is kept: this runs for every tick.
    RowUpdate& update = rowUpdates[row];
    if (!update.name.isSharedWith(displayName))
        update.name = displayName;
    update.tick.ltp = tick.ltp;
    update.tick.open = tick.open;
    update.tick.high = tick.high;
    update.tick.low = tick.low;
    update.tick.volume = tick.volume;
    update.tick.timestamp = tick.timestamp;
    if (!update.due) {
        update.due = true;
        update.token = token;
        dueRows.append(row);
        if (!rowPaintTimer->isActive())
            rowPaintTimer->start(kRowPaintMs);
    }
    storeTick(displayName, tick);
}

void MainWindow::flushRowUpdates()
{
    if (!watchlistTable)
        return;
    // A paint of every row of a big table would hold the event loop: the rest waits for the
    // next turn.
    QVector<int> rows;
    if (dueRows.size() <= kRowsPerPaint) {
        rows = std::exchange(dueRows, {});
    } else {
        rows = dueRows.mid(0, kRowsPerPaint);
        dueRows.remove(0, kRowsPerPaint);
        rowPaintTimer->start(0);
    }
    // The cells change with the model's signals held: instead of a view update per changed
    // cell, each row on screen is repainted once, and rows off screen cost no paint at all.
    const int rowCount = watchlistTable->rowCount();
    const int top = watchlistTable->rowAt(0);
    int bottom = watchlistTable->rowAt(watchlistTable->viewport()->height() - 1);
    if (bottom < 0)
        bottom = rowCount - 1;
    const int lastColumn = watchlistTable->columnCount() - 1;
    QAbstractItemModel* model = watchlistTable->model();
    const bool wasBlocked = model->blockSignals(true);
    for (int row : qAsConst(rows)) {
        if (row >= rowUpdates.size())
            continue;
        RowUpdate& update = rowUpdates[row];
        update.due = false;
        if (row >= rowCount)
            continue;
        const bool fresh = applyTickToRow(row, update);
        // A fresh flash colours the whole row, the buttons' cell included; otherwise only the
        // value columns changed.
        if (top >= 0 && row >= top && row <= bottom)
            RowHighlighter::repaintRows(watchlistTable, row, row, lastColumn - (fresh ? 0 : 1));
    }
    model->blockSignals(wasBlocked);
}

void MainWindow::logMissingRow(const QString& token) const
{
    qDebug() << "[MainWindow] Token" << token << "NOT FOUND in watchlist (total rows:"
             << (watchlistTable ? watchlistTable->rowCount() : 0) << ")";
}

void MainWindow::storeTick(const QString& displayName, const TickData& tick)
{
    if (!dataManager)
        return;
    if (tick.symbol == displayName) {
        dataManager->storeTick(tick);
        return;
    }
    TickData copy = tick;
    copy.symbol = displayName;
    dataManager->storeTick(copy);
}

bool MainWindow::applyTickToRow(int row, RowUpdate& update)
{
    auto cell = [this, row](int col) {
        QTableWidgetItem* item = watchlistTable->item(row, col);
        if (!item) {
            item = new QTableWidgetItem;
            watchlistTable->setItem(row, col, item);
        }
        return item;
    };
    const QString& token = update.token;
    const TickData& tick = update.tick;
    // Only what changed since the row's last paint is formatted and set again.
    RowUpdate::Shown& shown = update.shown;
    const bool first = !shown.painted;
    shown.painted = true;

    if (first || !shown.name.isSharedWith(update.name)) {
        QTableWidgetItem* nameItem = cell(0);
        if (nameItem->text() != update.name) {
            nameItem->setText(update.name);
            columnsOutgrown = true;
            // A real name learned since the row was made: the "not loaded" look goes.
            if (!WatchlistFormat::isFallbackName(update.name, token)) {
                nameItem->setData(Qt::ForegroundRole, QVariant());
                nameItem->setToolTip(QString());
            }
        }
        shown.name = update.name;
    }

    if (first || tick.ltp != shown.ltp || tick.open != shown.open) {
        // Without an open there is no change to show: the price itself would read as the change.
        const bool hasOpen = tick.open > 0;
        const double change = hasOpen ? tick.ltp - tick.open : 0.0;
        const double percent = hasOpen ? WatchlistFormat::percentChange(tick.ltp, tick.open) : 0.0;
        const QString none = QStringLiteral("--");
        const QString ltpText = WatchlistFormat::price(tick.ltp);
        const QString changeText = hasOpen ? WatchlistFormat::price(change) : none;
        const QString percentText = hasOpen ? WatchlistFormat::price(percent) + QLatin1Char('%') : none;
        noteCellText(1, ltpText);
        noteCellText(2, changeText);
        noteCellText(3, percentText);
        QTableWidgetItem* ltpItem = cell(1);
        ltpItem->setText(ltpText);
        QTableWidgetItem* changeItem = cell(2);
        changeItem->setText(changeText);
        QTableWidgetItem* percentItem = cell(3);
        percentItem->setText(percentText);
        const bool falling = change < 0;
        if (first || falling != shown.falling) {
            const QBrush priceBrush(WatchlistFormat::priceColor(change));
            ltpItem->setForeground(priceBrush);
            changeItem->setForeground(priceBrush);
            percentItem->setForeground(priceBrush);
            shown.falling = falling;
        }
        shown.ltp = tick.ltp;
    }

    // A value longer than its column was fitted to has the column fitted again within a second.
    const auto setValue = [this, &cell](int col, const QString& text) {
        noteCellText(col, text);
        cell(col)->setText(text);
    };
    if (tick.open > 0 && tick.open != shown.open)
        setValue(4, WatchlistFormat::price(tick.open));
    shown.open = tick.open;
    if (tick.high > 0 && tick.high != shown.high) {
        setValue(5, WatchlistFormat::price(tick.high));
        shown.high = tick.high;
    }
    if (tick.low > 0 && tick.low != shown.low) {
        setValue(6, WatchlistFormat::price(tick.low));
        shown.low = tick.low;
    }

    bool index = false;
    if (tick.volume > 0 && symbolRepository) {
        auto it = indexTokens.constFind(token);
        if (it == indexTokens.constEnd()) {
            const IndianSymbolData record = symbolRepository->findByToken(token);
            it = indexTokens.insert(token,
                                    WatchlistFormat::isIndex(record.instrumentType, record.segment));
        }
        index = it.value();
    }
    if (first || tick.volume != shown.volume || index != shown.index) {
        setValue(7, WatchlistFormat::volume(tick.volume, index));
        shown.volume = tick.volume;
        shown.index = index;
    }
    const QTime time = tick.timestamp.time();
    const int second = time.isValid() ? time.msecsSinceStartOfDay() / 1000 : -1;
    if (first || second != shown.second) {
        setValue(8, tick.timestamp.toString(QStringLiteral("hh:mm:ss")));
        shown.second = second;
    }

    return rowHighlighter->highlight(row);
}

void MainWindow::updateStatusBar()
{
    tickCountLabel->setText(QStringLiteral("Ticks: %1").arg(tickCount));
    // Values that outgrew their columns since the last second have them fitted again: once a
    // second at most, however many ticks.
    if (columnsOutgrown && watchlistTable)
        fitWatchlistColumns();
    // Connectors do not all announce a connection that comes up or drops: ask them each second.
    updateConnectionStatusLabel();
}

// ---------------------------------------------------------------------------------------------
// History backfill

void MainWindow::populateTimeframeCombo(QComboBox* combo)
{
    BackfillChoices::populateTimeframeCombo(combo, settings ? settings->provider()
                                                                   : SettingsManager::Zerodha);
}

void MainWindow::populateDateRangeCombo(QComboBox* combo)
{
    BackfillChoices::populateDateRangeCombo(combo);
}

void MainWindow::requestHistory(const QString& token)
{
    QString shown = token;
    if (symbolRepository) {
        const QString name = symbolRepository->symbolForToken(token);
        if (!name.isEmpty() && name != token)
            shown = name;
    }

    auto* timeframe = findChild<QComboBox*>(QStringLiteral("timeframeCombo"));
    const QString interval = timeframe ? timeframe->currentData().toString() : QStringLiteral("day");

    int days = 365;
    QDate customFrom, customTo;
    auto* range = findChild<QComboBox*>(QStringLiteral("dateRangeCombo"));
    if (range) {
        days = range->currentData().toInt();
        auto* fromEdit = findChild<QDateEdit*>(QStringLiteral("fromDateEdit"));
        auto* toEdit = findChild<QDateEdit*>(QStringLiteral("toDateEdit"));
        if (fromEdit && toEdit) {
            customFrom = fromEdit->date();
            customTo = toEdit->date();
        }
    }
    const QDate today = QDate::currentDate();
    BackfillChoices::Range r = range ? BackfillChoices::rangeFor(days, customFrom, customTo, today)
                                     : BackfillChoices::Range{today.addYears(-1), today};
    if (r.from > r.to) {
        prompts->warning(this, QStringLiteral("Load History"),
                         QStringLiteral("Invalid date range: From date is after To date."));
        return;
    }

    const QString id = historicalDownloader
        ? historicalDownloader->downloadHistoricalData(token, r.from, r.to, interval)
        : QString();
    if (id.isEmpty()) {
        statusMessageLabel->setText(QStringLiteral("Failed to queue backfill request."));
        return;
    }
    // A request can end within the call (a connector that refuses an unknown symbol at once): its
    // failure is told on its own path, and "requested" would stand over it for a request that no
    // longer runs.
    if (historicalDownloader->isPending(id))
        statusMessageLabel->setText(
            QStringLiteral("Backfill requested for %1 (request: %2)").arg(shown, id));
}

void MainWindow::onHistoricalDataReceived(const QString& symbol, const QList<OHLCData>& data)
{
    // The outcome stays readable while the feed runs: the feeder's tick counter does not
    // replace it (the status bar counts the ticks anyway).
    statusMessageLabel->setText(QStringLiteral("Downloaded %1 records for %2 - preparing import...")
                                    .arg(data.size())
                                    .arg(symbol));
    lastingStatus = statusMessageLabel->text();
    if (!csvExporter || !csvExporter->isAutoImportEnabled() || data.isEmpty())
        return;

    QString exportName = data.first().symbol.isEmpty() ? symbol : data.first().symbol;
    if (exportName.contains(QLatin1Char('|')) && symbolRepository) {
        const QString trading = symbolRepository->symbolForToken(exportName);
        if (trading.isEmpty()) {
            qWarning() << "[MainWindow] Could not find trading symbol for instrument_key:"
                       << exportName;
        } else {
            qDebug() << "[MainWindow] Converted instrument_key" << exportName << "to trading symbol"
                     << trading;
            exportName = trading;
        }
    }
    qDebug() << "[MainWindow] Converting" << data.size() << "historical records to ticks for"
             << exportName;

    QList<TickData> ticks;
    ticks.reserve(data.size());
    for (const OHLCData& bar : data) {
        TickData t;
        t.symbol = bar.symbol;
        t.token = symbol;
        t.ltp = bar.close;
        t.open = bar.open;
        t.high = bar.high;
        t.low = bar.low;
        t.volume = bar.volume;
        t.openInterest = bar.openInterest;
        t.lastTradedQty = 0;
        t.timestamp = bar.timestamp;
        ticks.append(t);
    }
    csvExporter->writeHistoricalData(exportName, ticks);
    qDebug() << "[MainWindow] Sent" << ticks.size() << "historical ticks to CSVExporter for"
             << exportName;
    if (csvExporter->importsPossible())
        statusMessageLabel->setText(QStringLiteral("Imported %1 historical records for %2")
                                        .arg(ticks.size())
                                        .arg(exportName));
    else  // nothing imports here: say where the records went
        statusMessageLabel->setText(QStringLiteral("Wrote %1 historical records for %2 to %3")
                                        .arg(ticks.size())
                                        .arg(exportName, QDir::toNativeSeparators(
                                                             csvExporter->dataFilePathFor(exportName))));
    lastingStatus = statusMessageLabel->text();
}

void MainWindow::onDownloadProgress(int completed, int total)
{
    // The Market Feed tab has no progress bar of this name; progress shows in the status line.
    if (auto* bar = findChild<QProgressBar*>(QStringLiteral("downloadProgress"))) {
        bar->setMaximum(total);
        bar->setValue(completed);
    }
}

// ---------------------------------------------------------------------------------------------
// AmiBroker

void MainWindow::loadAmiBrokerPathIntoField()
{
    if (!csvExporter)
        return;
    const QString path = csvExporter->amiBrokerPath();
    if (path.isEmpty())
        return;
    if (auto* edit = findChild<QLineEdit*>(QStringLiteral("amiBrokerPathEdit"))) {
        edit->setText(path);
        qDebug() << "Loaded AmiBroker path to UI:" << path;
    }
}

void MainWindow::onAmiBrokerPathChanged(const QString& path)
{
    if (!csvExporter)
        return;
    if (path.isEmpty() || !QFile::exists(path)) {
        updateCSVStatus();
        return;
    }
    csvExporter->setAmiBrokerPath(path);
    csvExporter->setExportFormat(QStringLiteral("amibroker"));
    csvExporter->setExportEnabled(true);
    csvExporter->setAutoImportEnabled(true);
    csvExporter->setExportInterval(2);
    updateCSVStatus();
    statusMessageLabel->setText(
        QStringLiteral("AmiBroker integration enabled. Live data will be auto-imported."));
}

void MainWindow::updateCSVStatus()
{
    auto* label = findChild<QLabel*>(QStringLiteral("csvStatusLabel"));
    auto* edit = findChild<QLineEdit*>(QStringLiteral("amiBrokerPathEdit"));
    if (!label || !csvExporter)
        return;
    QString state = QStringLiteral("Not configured");
    QString colour = QStringLiteral("#f44336");
    if (edit && !edit->text().isEmpty() && QFile::exists(edit->text())) {
        if (csvExporter->isExportActive()) {
            state = QStringLiteral("Auto-importing to AmiBroker");
            colour = QStringLiteral("#2e7d32");
        } else {
            state = QStringLiteral("Configured (Ready)");
            colour = QStringLiteral("#ff9800");
        }
    }
    label->setText(QStringLiteral("Status: ") + state);
    label->setStyleSheet(
        QStringLiteral("QLabel { color: %1; font-weight: bold; margin-top: 5px; }").arg(colour));
}

void MainWindow::onTestAmiBroker()
{
    if (!csvExporter)
        return;
    const QString title = QStringLiteral("AmiBroker Test");
    if (!csvExporter->testAmiBroker()) {
        qWarning() << "[MainWindow] AmiBroker test failed";
        statusMessageLabel->setText(QStringLiteral("AmiBroker test failed."));
        prompts->warning(this, title,
                         QStringLiteral("AmiBroker could not be reached through its automation "
                                        "server.\n\nMake sure AmiBroker is installed and running, "
                                        "then test again."));
        return;
    }
    // The test stored the executable it found; imports can go to it from now on.
    csvExporter->setAutoImportEnabled(true);
    updateCSVStatus();
    const QString path = QDir::toNativeSeparators(csvExporter->amiBrokerPath());
    qInfo() << "[MainWindow] AmiBroker test passed:" << path;
    statusMessageLabel->setText(QStringLiteral("AmiBroker test passed. Auto-import is on."));
    prompts->information(this, title,
                         QStringLiteral("AmiBroker is accessible.\n\nExecutable: %1\n\nData will be "
                                        "imported into AmiBroker automatically.")
                             .arg(path));
}

void MainWindow::onCsvImportCompleted()
{
    if (!dataManager)
        return;
    dataManager->clearAll();
    qDebug() << "[MainWindow] DataManager cleared live and historical data";
}
