// The main window's live feed: Start and Stop, the watchlist subscription per broker, and the
// window's own stream socket (connect, fail-over across the Fyers addresses, ping, dispatch).
#include "ui/MainWindow.h"

#include "brokers/BrokerAPI.h"
#include "brokers/IBroker.h"
#include "brokers/ISymbolLookup.h"
#include "brokers/LiveFeeder.h"
#include "brokers/fyers/FyersDecoder.h"
#include "brokers/fyers/FyersSymbols.h"
#include "core/SettingsManager.h"
#include "core/TickClock.h"
#include "symbols/SymbolRepository.h"
#include "ui/StreamRequests.h"
#include "ui/SubscriptionKeys.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QWebSocket>

#include <cmath>

namespace {

// Frames larger than this are refused by the socket before they reach a handler.
constexpr qint64 kMaxStreamMessageBytes = 16 * 1024 * 1024;

} // namespace

void MainWindow::setFeedButtons(bool startEnabled)
{
    if (auto* start = findChild<QPushButton*>(QStringLiteral("startLiveFeedBtn")))
        start->setEnabled(startEnabled);
    if (auto* stop = findChild<QPushButton*>(QStringLiteral("stopLiveFeedBtn")))
        stop->setEnabled(!startEnabled);
}

void MainWindow::onSettingsChanged()
{
    // A name a tick caches changes that row only, and the tick paints it.
    if (learningName)
        return;
    // One OK in the settings dialog sets dozens of values: the table and the subscription
    // follow once, on the next turn of the event loop. A rebuild or subscription that runs
    // meanwhile for its own reason serves the burst as well.
    if (!watchlistRefreshDue && !resubscribeDue)
        statusAtFirstChange = statusMessageLabel ? statusMessageLabel->text() : QString();
    watchlistRefreshDue = true;
    resubscribeDue = true;
    if (watchlistUpdateTimer && !watchlistUpdateTimer->isActive())
        watchlistUpdateTimer->start();
}

void MainWindow::runWatchlistUpdate()
{
    if (!watchlistRefreshDue && !resubscribeDue)
        return;
    // Run at once, the rebuild and subscription would have written the status line before
    // anything written since the change; a later text stays the one shown.
    const QString shown = statusMessageLabel ? statusMessageLabel->text() : QString();
    const bool overtaken = shown != statusAtFirstChange;
    if (watchlistRefreshDue)
        refreshWatchlistDisplay();
    if (resubscribeDue && (wsConnected || (brokerAPI && brokerAPI->implementation())))
        subscribeToWatchlistSymbols();
    resubscribeDue = false;
    if (overtaken && statusMessageLabel)
        statusMessageLabel->setText(shown);
}

// ---------------------------------------------------------------------------------------------
// Start and Stop

void MainWindow::onStartLiveFeed()
{
    boxedQuoteFailures.clear();
    const QString name = SettingsManager::providerName(settings->provider());
    const bool quotePoll = settings->provider() == SettingsManager::CustomAPI;
    if (!brokerConnected && quotePoll) {
        // Without a connector the quote poll is the connection: starting the feed connects.
        onConnectAction();
        return;
    }
    if (!brokerConnected) {
        showError(QStringLiteral("Please connect to %1 first using Connection > Connect menu.\n"
                                 "Make sure your %1 credentials are configured in Settings.")
                      .arg(name));
        return;
    }
    const QStringList symbols = settings->watchlist();
    if (symbols.isEmpty()) {
        showError(QStringLiteral("No symbols in watchlist.\nPlease add symbols using the 'Add "
                                 "Symbol' button or Symbol Manager."));
        return;
    }
    const QString started = QStringLiteral("Started live data feed for %1 %2 from %3")
                                .arg(symbols.size())
                                .arg(symbols.size() == 1 ? QStringLiteral("symbol") : QStringLiteral("symbols"), name);

    if (quotePoll) {
        // The quote poll is the whole feed: there is no stream to open.
        if (liveFeeder)
            liveFeeder->start();
        statusMessageLabel->setText(started);
        return;
    }

    if (settings->provider() == SettingsManager::TradeJini) {
        setFeedButtons(false);
        if (brokerAPI) {
            brokerAPI->startLiveData();
            subscribeToWatchlistSymbols();
        }
        statusMessageLabel->setText(started);
        return;
    }

    // An error box raised while opening (credentials, unsupported provider) is not modal: the
    // feeder starts all the same, and for Dhan, AngelOne and Upstox it carries the feed.
    connectToLiveDataFeed();
    if (liveFeeder)
        liveFeeder->start();
    statusMessageLabel->setText(started);
}

void MainWindow::connectToLiveDataFeed()
{
    if (webSocket) {
        // Replaced at once; its late signals must not reach the window any more.
        QWebSocket* old = webSocket;
        webSocket = nullptr;
        disconnect(old, nullptr, this, nullptr);
        old->abort();
        delete old;
    }
    webSocket = new QWebSocket(QString(), QWebSocketProtocol::Version13, this);
    webSocket->setMaxAllowedIncomingMessageSize(kMaxStreamMessageBytes);
    webSocket->setMaxAllowedIncomingFrameSize(kMaxStreamMessageBytes);
    connect(webSocket, &QWebSocket::connected, this, &MainWindow::onWebSocketConnected);
    connect(webSocket, &QWebSocket::disconnected, this, &MainWindow::onWebSocketDisconnected);
    connect(webSocket, &QWebSocket::textMessageReceived, this,
            &MainWindow::onWebSocketTextMessageReceived);
    connect(webSocket, &QWebSocket::binaryMessageReceived, this,
            &MainWindow::onWebSocketBinaryMessageReceived);
    connect(webSocket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            &MainWindow::onWebSocketError);

    const int provider = settings->provider();
    const QString name = SettingsManager::providerName(provider);
    settings->setCurrentBroker(name);
    qDebug() << "[Live Feed] Set current broker to:" << name;
    refreshWatchlistDisplay();

    QNetworkRequest request;
    QString address;
    switch (provider) {
    case SettingsManager::Fyers: {
        const QString token = settings->fyersAccessToken();
        const QString clientId = settings->fyersClientId();
        if (token.isEmpty() || clientId.isEmpty()) {
            showError(QStringLiteral("Fyers credentials not configured. Please check Settings.\n"
                                     "Make sure you have valid Access Token and Client ID."));
            return;
        }
        const StreamRequests::Opening opening = StreamRequests::fyersOpening(
            fyersWsUrls, fyersUrlIndex, token, clientId);
        request = opening.request;
        address = opening.address;
        qDebug() << "[Fyers] Using" << opening.authForm;
        qDebug() << "[Fyers] Attempt" << fyersConnectAttempts + 1 << "- Connecting to:"
                 << StreamRequests::maskedUrl(request.url());
        qDebug() << "[Fyers] Using access token:" << StreamRequests::preview(token);
        qDebug() << "[Fyers] Client ID:" << clientId;
        break;
    }
    case SettingsManager::Zerodha: {
        const QString token = settings->zerodhaAccessToken();
        const QString apiKey = settings->zerodhaApiKey();
        if (token.isEmpty() || apiKey.isEmpty()) {
            showError(QStringLiteral("Zerodha credentials not configured. Please check Settings."));
            return;
        }
        request.setUrl(StreamRequests::zerodhaStreamUrl(zerodhaWsUrl, apiKey, token));
        address = request.url().toString(QUrl::FullyEncoded);
        break;
    }
    case SettingsManager::Dhan:
    case SettingsManager::AngelOne:
    case SettingsManager::Upstox:
        // Without a connector nothing could carry these feeds.
        if (!brokerAPI || !brokerAPI->implementation()) {
            showError(QStringLiteral("Live data feed not supported for %1 yet").arg(name));
            return;
        }
        Q_FALLTHROUGH();
    case SettingsManager::FlatTrade:
    case SettingsManager::TradeJini: {
        // These connectors run their own streams; the window only tells them to.
        const QString tag = QStringLiteral("[%1]").arg(name);
        qDebug().noquote() << tag << "Using pluggable broker implementation for live data";
        updateBrokerWithSymbolManager();
        if (brokerAPI) {
            brokerAPI->startLiveData();
            qDebug().noquote() << tag << "Instructed broker implementation to start live data";
        }
        subscribeToWatchlistSymbols();
        statusMessageLabel->setText(
            QStringLiteral("%1 live feed managed by broker implementation").arg(name));
        return;
    }
    default:
        showError(QStringLiteral("Live data feed not supported for %1 yet").arg(name));
        return;
    }

    statusMessageLabel->setText(QStringLiteral("Attempting to connect to %1 WebSocket...").arg(name));
    qDebug() << "[WebSocket] Attempting connection to:" << StreamRequests::maskedUrl(request.url());
    qDebug() << "[WebSocket] Broker:" << name;
    qDebug() << "[WebSocket] Access token configured:" << !request.url().query().isEmpty();
    Q_UNUSED(address);
    webSocket->open(request);
}

void MainWindow::onStopLiveFeed()
{
    boxedQuoteFailures.clear();
    if (settings->provider() == SettingsManager::TradeJini) {
        if (brokerAPI)
            brokerAPI->stopLiveData();
        setFeedButtons(true);
        statusMessageLabel->setText(QStringLiteral("Stopped live data feed from %1")
                                        .arg(QStringLiteral("TradeJini")));
        return;
    }
    disconnectFromLiveDataFeed();
    if (liveFeeder)
        liveFeeder->stop();
    // Say where the feed is left: a connector may stay connected after its feed stops.
    const QString name = SettingsManager::providerName(settings->provider());
    updateConnectionStatusLabel();
    if (feedConnectionUp())
        statusMessageLabel->setText(
            QStringLiteral("Live feed stopped. Still connected to %1.").arg(name));
    else if (brokerAPI && !brokerAPI->implementation())
        statusMessageLabel->setText(
            QStringLiteral("Live feed stopped. Press Start Feed to poll %1 again.").arg(name));
    else
        statusMessageLabel->setText(
            QStringLiteral("Live feed stopped. %1 is disconnected: use Connection > Connect, "
                           "then Start Feed.").arg(name));
}

void MainWindow::disconnectFromLiveDataFeed()
{
    qDebug() << "[WebSocket] Initiating disconnection from live data feed";
    ++feedStops;
    fyersConnectAttempts = 0;
    fyersUrlIndex = 0;
    if (webSocket && webSocket->state() == QAbstractSocket::ConnectedState) {
        qDebug() << "[WebSocket] Closing WebSocket connection";
        webSocket->close(QWebSocketProtocol::CloseCodeNormal, QString());
    } else if (webSocket && webSocket->state() != QAbstractSocket::UnconnectedState) {
        // Still opening (or already closing): a handshake that completes after Stop would bring up
        // the stream the user stopped. The socket goes now, before anything it reports can reach
        // the window.
        qDebug() << "[WebSocket] Dropping the connection still being opened";
        QWebSocket* opening = webSocket;
        webSocket = nullptr;
        disconnect(opening, nullptr, this, nullptr);
        opening->abort();
        opening->deleteLater();
        wsConnected = false;
        if (pingTimer)
            pingTimer->stop();
    }
    const QString name = SettingsManager::providerName(settings->provider());
    setFeedButtons(true);
    statusMessageLabel->setText(QStringLiteral("Disconnected from %1 live data feed").arg(name));
}

void MainWindow::onLiveFeedStatusChanged(const QString& status)
{
    // While the feed runs the feeder reports after every tick, and a status line rewritten per
    // tick costs a layout each time: its counter is shown a few times a second. Other reports,
    // and any report once something else took the status line, are shown at once.
    feederStatus = status;
    const QLatin1String running("Running - ");
    const bool counterOnly = status.startsWith(running) && feederStatusShown.startsWith(running)
        && statusMessageLabel->text() == feederStatusShown;
    if (counterOnly && feederStatusTimer->isActive())
        return;
    // A result the user has to read (a history download's) is not replaced by the next tick;
    // the status bar counts the ticks anyway.
    if (status.startsWith(running) && !lastingStatus.isEmpty()
        && statusMessageLabel->text() == lastingStatus)
        return;
    feederStatusShown = status;
    statusMessageLabel->setText(status);
    feederStatusTimer->start();
}

void MainWindow::showFeederStatus()
{
    // Shown only while the status line still holds the feeder's last report.
    if (feederStatus == feederStatusShown || statusMessageLabel->text() != feederStatusShown)
        return;
    feederStatusShown = feederStatus;
    statusMessageLabel->setText(feederStatus);
    feederStatusTimer->start();
}

// ---------------------------------------------------------------------------------------------
// Watchlist subscription

void MainWindow::subscribeToWatchlistSymbols()
{
    if (!settings)
        return;
    const int provider = settings->provider();
    const QString name = SettingsManager::providerName(provider);
    QStringList items = settings->watchlistForBroker(name);
    if (items.isEmpty())
        items = settings->watchlist();
    // Whatever settings changed before now are in this subscription.
    resubscribeDue = false;
    IBroker* broker = brokerAPI ? brokerAPI->implementation() : nullptr;
    // A key that left the watchlist leaves the connector's stream at once.
    const auto keepOnly = [this, broker](const QStringList& keys) {
        for (const QString& key : qAsConst(connectorKeys)) {
            if (!keys.contains(key))
                broker->unsubscribeLiveData(key);
        }
        connectorKeys = keys;
    };
    if (items.isEmpty()) {
        if (broker)
            keepOnly(QStringList());
        qDebug() << "[MainWindow] No symbols in watchlist to subscribe";
        return;
    }
    qDebug() << "[MainWindow] Subscribing to" << items.size() << "symbols from" << name
             << "watchlist";

    if (!broker) {
        subscribeOnOwnStream(provider, items);
        return;
    }

    SubscriptionKeys::Lookups lookups;
    lookups.symbols = symbolLookups;
    lookups.repository = symbolRepository;
    lookups.settings = settings;
    const SubscriptionKeys::Result r = SubscriptionKeys::brokerKeys(provider, items, lookups);
    if (r.needsSymbolMaster)
        requestSymbolMasterLoad(provider);
    keepOnly(r.keys);
    broker->subscribeLiveData(r.keys);
    // Not one item gave a key and no master load will change that: the user learns which and why
    // instead of a feed that stays silent. A load on its way subscribes again when it ends.
    if (r.keys.isEmpty() && !r.unresolved.isEmpty() && !masterDownloading && !masterLoadQueued) {
        const QString notice = QStringLiteral("Nothing subscribed on %1: %2 - %3")
                                   .arg(name, r.unresolved.join(QStringLiteral(", ")).left(400), r.reason);
        if (notice != unresolvedNotice)
            qWarning().noquote() << "[MainWindow]" << notice;
        unresolvedNotice = notice;
        statusMessageLabel->setText(notice);
        return;
    }
    unresolvedNotice.clear();
    statusMessageLabel->setText(
        QStringLiteral("Subscribed to %1 instruments via broker implementation").arg(r.keys.size()));
    qDebug() << "[MainWindow] Delegated batch subscription of" << r.keys.size()
             << "items to broker implementation";
}

void MainWindow::subscribeOnOwnStream(int provider, const QStringList& items)
{
    if (!wsConnected || !webSocket)
        return;
    SubscriptionKeys::Lookups lookups;
    lookups.symbols = symbolLookups;
    lookups.repository = symbolRepository;
    lookups.settings = settings;

    if (provider == SettingsManager::Fyers) {
        const QString token = settings->fyersAccessToken();
        const QString clientId = settings->fyersClientId();
        const QString address = fyersWsUrls.value(fyersUrlIndex);
        if (!address.contains(QLatin1String("dataws/v3"))) {
            const QString auth = SubscriptionKeys::fyersAuthMessage(token, clientId);
            webSocket->sendTextMessage(auth);
            qDebug() << "[Fyers] Sent authentication:" << StreamRequests::maskedJson(auth);
        } else {
            qDebug() << "[Fyers] Using dataws v3 - authentication via URL token, skipping auth "
                        "message";
        }
        QStringList symbols;
        for (const QString& item : items)
            symbols << SubscriptionKeys::ownStreamFyersSymbol(item, lookups);
        const QString subscription = SubscriptionKeys::fyersSubscriptionMessage(symbols);
        webSocket->sendTextMessage(subscription);
        qDebug() << "[Fyers] Sent subscription:" << subscription;
        const QString resume = SubscriptionKeys::fyersResumeMessage();
        webSocket->sendTextMessage(resume);
        qDebug() << "[Fyers] Sent channel resume:" << resume;
        QTimer::singleShot(10000, Qt::CoarseTimer, this, [this] {
            qDebug() << "[Fyers] 10 seconds after subscription - checking if data is flowing...";
            qDebug() << "[Fyers] WebSocket state:" << (webSocket ? int(webSocket->state()) : -1);
            qDebug() << "[Fyers] Connected:" << wsConnected;
        });
    } else if (provider == SettingsManager::Zerodha) {
        QList<qint64> tokens;
        for (const QString& item : items) {
            QString token;
            if (SubscriptionKeys::isPositiveNumber(item)) {
                token = item;
                qDebug() << "[Zerodha] Using instrument token directly:" << token;
            } else if (symbolLookups) {
                token = symbolLookups->findSymbol(item);
                qDebug() << "[Zerodha] Converted symbol" << item << "to token:" << token;
            }
            if (token.isEmpty()) {
                qDebug() << "[Zerodha] No instrument token found for:" << item;
                showError(QStringLiteral(
                              "Instrument token not found for symbol: %1\n\nPlease ensure:\n"
                              "• Symbol exists in Zerodha instrument master\n"
                              "• Symbol Manager has loaded Zerodha symbols\n"
                              "• Symbol format is correct (e.g., RELIANCE, TCS, HDFC)")
                              .arg(item));
                continue;
            }
            qint64 value = 0;
            if (SubscriptionKeys::isNumber(token, &value) && value > 0) {
                tokens << value;
                qDebug() << "[Zerodha] Added token to subscription:" << value;
            }
        }
        if (tokens.isEmpty()) {
            showError(QStringLiteral(
                "No valid instrument tokens found for Zerodha subscription.\n\nPlease:\n"
                "1. Open Symbol Manager\n2. Select 'Zerodha' as broker\n"
                "3. Load symbols from instrument master\n4. Add symbols to watchlist"));
        } else {
            const QString mode = SubscriptionKeys::zerodhaModeMessage(tokens);
            qDebug() << "[Zerodha] Sending subscription message:" << mode;
            qDebug() << "[Zerodha] Subscribing to" << tokens.size() << "instruments in 'full' mode";
            webSocket->sendTextMessage(mode);
            statusMessageLabel->setText(
                QStringLiteral("Subscribed to %1 instruments in Zerodha WebSocket (full mode)")
                    .arg(tokens.size()));
        }
    }
    qDebug() << "[WebSocket] Subscription completed for" << items.size() << "items";
}

// ---------------------------------------------------------------------------------------------
// The window's own stream socket

void MainWindow::onWebSocketConnected()
{
    wsConnected = true;
    const int provider = settings->provider();
    const QString name = SettingsManager::providerName(provider);
    // A working address ends any fail-over run; the next Start begins at the first address.
    fyersConnectAttempts = 0;
    fyersUrlIndex = 0;
    if (provider == SettingsManager::Fyers && pingTimer) {
        pingTimer->start();
        qDebug() << "[Fyers] Started ping timer (5 seconds interval)";
    }
    qDebug() << "[WebSocket] Successfully connected to" << name;
    qDebug() << "[WebSocket] Connection URL:"
             << (webSocket ? StreamRequests::maskedUrl(webSocket->requestUrl()) : QStringLiteral("N/A"));
    qDebug() << "[WebSocket] Socket state:" << (webSocket ? int(webSocket->state()) : 0);
    setFeedButtons(false);
    statusMessageLabel->setText(
        QStringLiteral("Connected to %1 live data feed successfully").arg(name));
    subscribeToWatchlistSymbols();
}

void MainWindow::onWebSocketDisconnected()
{
    wsConnected = false;
    const QString name = SettingsManager::providerName(settings->provider());
    if (pingTimer && pingTimer->isActive()) {
        pingTimer->stop();
        qDebug() << "[Fyers] Stopped ping timer";
    }
    qDebug() << "[WebSocket] Disconnected from" << name;
    if (webSocket) {
        qDebug() << "[WebSocket] Close code:" << int(webSocket->closeCode());
        qDebug() << "[WebSocket] Close reason:" << webSocket->closeReason();
        qDebug() << "[WebSocket] Socket state:" << int(webSocket->state());
    }
    setFeedButtons(true);
    statusMessageLabel->setText(QStringLiteral("Disconnected from live data feed"));
}

void MainWindow::onWebSocketError(QAbstractSocket::SocketError error)
{
    const int code = int(error);
    const int provider = settings->provider();
    const QString name = SettingsManager::providerName(provider);
    const QString origin =
        webSocket ? StreamRequests::maskedUrl(webSocket->requestUrl()) : QStringLiteral("N/A");
    qDebug() << "[WebSocket] Connection error occurred";
    qDebug() << "[WebSocket] Error code:" << code;
    qDebug() << "[WebSocket] Broker:" << name;
    qDebug() << "[WebSocket] WebSocket URL:" << origin;
    const QString text = StreamRequests::socketErrorText(code);
    qDebug().noquote() << StreamRequests::socketErrorDetail(code);
    if (webSocket) {
        qDebug() << "[WebSocket] Socket state:" << int(webSocket->state());
        qDebug() << "[WebSocket] Close code:" << int(webSocket->closeCode());
        qDebug() << "[WebSocket] Close reason:" << webSocket->closeReason();
        qDebug() << "[WebSocket] Error string:" << webSocket->errorString();
    }

    if (provider == SettingsManager::Fyers) {
        const QString token = settings->fyersAccessToken();
        qDebug() << "[WebSocket] Fyers - Client ID configured:" << !settings->fyersClientId().isEmpty();
        qDebug() << "[WebSocket] Fyers - Access token configured:" << !token.isEmpty();
        if (!token.isEmpty()) {
            qDebug() << "[WebSocket] Fyers - Access token length:" << token.size();
            qDebug() << "[WebSocket] Fyers - Token preview:" << StreamRequests::preview(token);
        }
        if (error == QAbstractSocket::ConnectionRefusedError && !fyersWsUrls.isEmpty()) {
            ++fyersConnectAttempts;
            const int n = fyersWsUrls.size();
            if (fyersConnectAttempts <= n) {
                fyersUrlIndex = (fyersUrlIndex + 1) % n;
                qDebug() << "[Fyers] Connection failed, trying alternative URL" << fyersUrlIndex + 1
                         << "of" << n;
                if (webSocket) {
                    QWebSocket* dropped = webSocket;
                    webSocket = nullptr;
                    disconnect(dropped, nullptr, this, nullptr);
                    dropped->close(QWebSocketProtocol::CloseCodeNormal, QString());
                    dropped->deleteLater();
                }
                const int stopsSoFar = feedStops;
                QTimer::singleShot(seams.fyersRetryDelayMs, this, [this, stopsSoFar] {
                    // The user stopped the feed meanwhile: the retry would start it again.
                    if (feedStops != stopsSoFar) {
                        qDebug() << "[Fyers] Feed stopped, retry dropped";
                        return;
                    }
                    qDebug() << "[Fyers] Retrying connection with URL:"
                             << fyersWsUrls.value(fyersUrlIndex);
                    onStartLiveFeed();
                });
                return;
            }
            qDebug() << "[Fyers] All" << n << "URLs failed. Giving up.";
            fyersConnectAttempts = 0;
            fyersUrlIndex = 0;
        }
    } else if (provider == SettingsManager::Zerodha) {
        const QString token = settings->zerodhaAccessToken();
        qDebug() << "[WebSocket] Zerodha - API Key configured:" << !settings->zerodhaApiKey().isEmpty();
        qDebug() << "[WebSocket] Zerodha - Access token configured:" << !token.isEmpty();
        if (!token.isEmpty()) {
            qDebug() << "[WebSocket] Zerodha - Access token length:" << token.size();
            qDebug() << "[WebSocket] Zerodha - Token preview:" << StreamRequests::preview(token);
        }
    }

    showError(QStringLiteral("WebSocket Connection Failed: %1\n\nBroker: %2\nError Code: %3\n\n"
                             "Troubleshooting:\n• Check your internet connection\n"
                             "• Verify broker credentials in Settings\n"
                             "• Check if broker services are available\n"
                             "• See debug console for technical details")
                  .arg(text, name)
                  .arg(code));
    wsConnected = false;
    setFeedButtons(true);
}

void MainWindow::sendFyersPing()
{
    if (!wsConnected || !webSocket || settings->provider() != SettingsManager::Fyers)
        return;
    webSocket->sendTextMessage(SubscriptionKeys::fyersPingMessage());
    qDebug() << "[Fyers] Sent ping to keep connection alive";
}

void MainWindow::onWebSocketTextMessageReceived(const QString& message)
{
    const QString name = SettingsManager::providerName(settings->provider());
    // Received text is logged masked and cut short: jobs and replies may carry keys.
    qDebug() << "[WebSocket]" << name << "received message:" << StreamRequests::maskedJson(message);
    // The answer to the Fyers keep-alive is the bare text, not JSON and not a tick.
    if (message == QLatin1String("pong") && settings->provider() == SettingsManager::Fyers)
        return;

    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(message.toUtf8(), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        qDebug() << "[WebSocket] JSON parse error:" << parseError.errorString() << "in message:"
                 << message.left(500);
        return;
    }
    const QJsonObject object = doc.isObject() ? doc.object() : QJsonObject();
    qDebug() << "[WebSocket]" << name << "parsed JSON object keys:" << object.keys();

    const int provider = settings->provider();
    if (provider == SettingsManager::Fyers) {
        handleFyersWebSocketMessage(object);
    } else if (provider == SettingsManager::Zerodha) {
        if (object.value(QStringLiteral("type")).toString() == QLatin1String("instruments_meta"))
            checkZerodhaInstrumentsMeta(object);
        else
            qDebug() << "[WebSocket] Zerodha message delegated to ZerodhaBroker";
    }

    if (object.value(QStringLiteral("type")).toString() == QLatin1String("backtest_job")) {
        handleBacktestJob(object);
        return;
    }
    ++tickCount;
}

void MainWindow::checkZerodhaInstrumentsMeta(const QJsonObject& message)
{
    const QJsonObject data = message.value(QStringLiteral("data")).toObject();
    const QString remote = data.value(QStringLiteral("etag")).toString();
    const int count = data.value(QStringLiteral("count")).toInt(-1);
    qDebug() << "[WebSocket] Zerodha instruments_meta received: count=" << count << "etag="
             << remote;
    refreshZerodhaMasterIfStale(remote);
    qDebug() << "[WebSocket] instruments_meta processed";
}

void MainWindow::onWebSocketBinaryMessageReceived(const QByteArray& message)
{
    qDebug() << "[WebSocket] Binary message received, size:" << message.size();
    if (message.size() < 4)
        qDebug() << "[WebSocket] Small binary frame hex:" << message.toHex(' ');
    switch (settings->provider()) {
    case SettingsManager::Fyers:
        handleFyersBinaryMessage(message);
        break;
    case SettingsManager::Zerodha:
        qDebug() << "[WebSocket] Zerodha binary message delegated to ZerodhaBroker";
        break;
    default:
        qDebug() << "[WebSocket] Binary messages not supported for this broker";
        break;
    }
}

// Replies and quotes on the window's Fyers stream. An error reply reaches the user; a quote
// message, {"d":{"quotes":[{"symbol":<ticker>,"lp","o","h","l","v"}, ...]}} (the quote shape the
// facade reads, each element naming its ticker), updates the rows of its instruments; other
// replies are only logged.
void MainWindow::handleFyersWebSocketMessage(const QJsonObject& message)
{
    ++fyersFramesReceived;
    const bool error = message.value(QStringLiteral("error")).toBool()
        || message.value(QStringLiteral("s")).toString() == QLatin1String("error");
    if (error) {
        QString text = message.value(QStringLiteral("msg")).toString();
        if (text.isEmpty())
            text = message.value(QStringLiteral("message")).toString();
        showError(QStringLiteral("Fyers stream error: %1").arg(text.left(500)));
        return;
    }
    const QJsonArray quotes =
        message.value(QStringLiteral("d")).toObject().value(QStringLiteral("quotes")).toArray();
    if (quotes.isEmpty()) {
        qDebug() << "[Fyers] Reply on the window's stream, keys:" << message.keys();
        return;
    }
    // As with depth: a connector carries the watchlist on its own stream.
    if (brokerAPI && brokerAPI->implementation())
        return;
    prepareFyersDecoding();
    fyersTickers->setSymbolLookups(symbolLookups);
    const QDateTime now = TickClock::fromMSecs(TickClock::nowMSecs());
    for (const QJsonValue& value : quotes) {
        const QJsonObject q = value.toObject();
        TickData tick;
        tick.token = q.value(QStringLiteral("symbol")).toString();
        tick.ltp = q.value(QStringLiteral("lp")).toDouble();
        tick.open = q.value(QStringLiteral("o")).toDouble();
        tick.high = q.value(QStringLiteral("h")).toDouble();
        tick.low = q.value(QStringLiteral("l")).toDouble();
        tick.volume = q.value(QStringLiteral("v")).toDouble();
        tick.timestamp = now;
        if (tick.token.isEmpty() || !(tick.ltp > 0) || !std::isfinite(tick.ltp)) {
            qWarning() << "[Fyers] Window stream: quote without ticker or price skipped";
            continue;
        }
        fyersTickers->name(tick);
        updateSymbolPrice(tick.token, tick);
    }
}

void MainWindow::prepareFyersDecoding()
{
    if (fyersDecoder)
        return;
    fyersDecoder = std::make_unique<FyersDecoder>();
    fyersTickers = std::make_unique<FyersTickerMap>();
    fyersTickers->setSettings(settings);
    connect(settings, &SettingsManager::settingsChanged, this, [this] { fyersTickers->invalidate(); });
}

// Depth messages become ticks of the watchlist, routed like the connector's. Whenever there is a
// connector its own stream carries the watchlist (this socket subscribes nothing then), so ticks
// seen here would reach the row and the live file a second time: they are dropped.
void MainWindow::handleFyersBinaryMessage(const QByteArray& message)
{
    ++fyersFramesReceived;
    prepareFyersDecoding();
    // A new socket starts from fresh snapshots.
    if (fyersDecodedSocket != webSocket) {
        fyersDecoder->reset();
        fyersDecodedSocket = webSocket;
    }
    const DecodedFrame frame = fyersDecoder->decode(message, TickClock::nowMSecs());
    for (const DecoderEvent& e : frame.events) {
        if (e.kind == DecoderEvent::ServerError)
            showError(QStringLiteral("Fyers stream error: %1").arg(e.text.left(500)));
        else if ((e.kind == DecoderEvent::Malformed || e.kind == DecoderEvent::Skipped)
                 && e.text != fyersLastComplaint) {
            fyersLastComplaint = e.text;
            qWarning() << "[Fyers] Window stream:" << e.text;
        }
    }
    if (frame.ticks.isEmpty())
        return;
    if (brokerAPI && brokerAPI->implementation()) {
        if (!fyersTicksLeftToConnector)
            qDebug() << "[Fyers] Ticks on the window's stream are left to the connector's stream";
        fyersTicksLeftToConnector = true;
        return;
    }
    fyersTickers->setSymbolLookups(symbolLookups);
    for (TickData tick : frame.ticks) {
        fyersTickers->name(tick);
        onTickReceived(tick);
    }
}
