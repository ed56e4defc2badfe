// Dhan connector: feed life cycle on its own thread, subscriptions, ticks on the GUI thread,
// chart history and the instrument master.
#include "brokers/dhan/DhanBroker.h"

#include "brokers/BrokerHosts.h"
#include "brokers/ConnectorText.h"
#include "brokers/StreamLinkWatch.h"
#include "brokers/dhan/DhanAuth.h"
#include "brokers/dhan/DhanFeedClient.h"
#include "brokers/dhan/DhanHistory.h"
#include "brokers/dhan/DhanInstrumentList.h"
#include "core/SettingsManager.h"
#include "symbols/SymbolRepository.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <QWebSocketProtocol>

namespace {

const char kTimeFormat[] = "yyyy-MM-dd hh:mm:ss";

bool isInt32(const QString& text)
{
    bool ok = false;
    text.toInt(&ok, 10);
    return ok;
}

}  // namespace

DhanBroker::DhanBroker(QObject* parent)
    : IBroker(parent),
      auth(new DhanAuth(this)),
      pingTimer(new QTimer(this)),
      feedBaseUrl(BrokerHosts::dhanFeed()),
      networkManager(new QNetworkAccessManager(this)),
      restBaseUrl(BrokerHosts::dhanRest()),
      scripMasterBaseUrl(BrokerHosts::dhanScripMaster())
{
    connect(auth, &DhanAuth::authenticationSuccessful, this, [this](const QString& token, const QString&) {
        onAuthSuccessful(token);
    });
    connect(auth, &DhanAuth::authenticationFailed, this, &DhanBroker::onAuthFailed);
    pingTimer->setInterval(30000);
    connect(pingTimer, &QTimer::timeout, this, &DhanBroker::onPingTimer);
}

DhanBroker::~DhanBroker()
{
    // The feed thread is joined before any member goes, so no callback outlives the broker.
    if (connected) {
        pingTimer->stop();
        connected = false;
        emit connectionStatusChanged(false);
    }
    releaseFeed();
}

void DhanBroker::setSymbolRepository(SymbolRepository* repository)
{
    symbolRepository = repository;
}

void DhanBroker::setSettingsManager(SettingsManager* settings)
{
    settingsManager = settings;
    qInfo() << "[DhanBroker] SettingsManager set";
}

void DhanBroker::setReconnectWaitRange(int minMs, int maxMs)
{
    reconnectMinMs = minMs;
    reconnectMaxMs = maxMs;
}

void DhanBroker::setLinkTimeouts(int handshakeMs, int silenceMs)
{
    handshakeTimeoutMs = handshakeMs;
    silenceTimeoutMs = silenceMs;
}

int DhanBroker::reconnectAttempts() const
{
    return feed ? feed->reconnectAttempts() : 0;
}

void DhanBroker::setPingIntervalMs(int ms)
{
    pingTimer->setInterval(ms);
}

bool DhanBroker::pingTimerActive() const
{
    return pingTimer->isActive();
}

QDateTime DhanBroker::now() const
{
    return clockFn ? clockFn() : QDateTime::currentDateTime();
}

qint64 DhanBroker::nowMSecs() const
{
    // Reading the wall clock as local time costs microseconds; the epoch count does not.
    return clockFn ? clockFn().toMSecsSinceEpoch() : QDateTime::currentMSecsSinceEpoch();
}

void DhanBroker::initialize(const QMap<QString, QString>& config)
{
    if (config.contains(QStringLiteral("access_token")))
        accessToken = config.value(QStringLiteral("access_token"));
    if (config.contains(QStringLiteral("client_id")))
        clientId = config.value(QStringLiteral("client_id"));
    // A stored token is announced back at once and starts the feed from onAuthSuccessful.
    if (!accessToken.isEmpty())
        auth->setAccessToken(accessToken, clientId);
    qInfo() << "[DhanBroker] Initialized";
}

// ---- feed life cycle -------------------------------------------------------------------------

void DhanBroker::releaseFeed()
{
    ++feedGeneration;
    if (!feed)
        return;
    feed->stop(1000, QStringLiteral("Normal closure"));
    feed.reset();
}

bool DhanBroker::feedOpen() const
{
    return feed && feed->isOpen();
}

void DhanBroker::connectToBroker()
{
    if (connected)
        return;
    releaseFeed();
    if (accessToken.isEmpty()) {
        emit errorOccurred(QStringLiteral("Dhan access token not configured"));
        return;
    }
    if (clientId.isEmpty()) {
        emit errorOccurred(QStringLiteral("Dhan client ID not configured"));
        return;
    }
    feed = std::make_unique<DhanFeedClient>();
    // The service reads its credentials from the query exactly as given.
    const QString url =
        QStringLiteral("%1?version=2&token=%2&clientId=%3&authType=2").arg(feedBaseUrl, accessToken, clientId);
    qInfo() << "[DhanBroker] Connecting (IXWebSocket)";
    qDebug().noquote() << "[DhanBroker] Token:" << accessToken.left(4) + QStringLiteral("...")
                       << QStringLiteral("(len: %1)").arg(accessToken.size());
    qDebug() << "[DhanBroker] Client ID:" << clientId;
    feed->setUrl(QUrl::fromEncoded(url.toUtf8()));
    feed->setReconnectWaitRange(reconnectMinMs, reconnectMaxMs);
    feed->setLinkTimeouts(handshakeTimeoutMs, silenceTimeoutMs);
    setupWebSocketCallbacks();
    feed->start();
}

void DhanBroker::setupWebSocketCallbacks()
{
    const quint64 generation = feedGeneration;
    // Runs on the feed thread: it only copies, logs and decodes the message, then hands the
    // result to the GUI thread; the broker's state is never touched here.
    feed->setOnMessageCallback([this, generation](const DhanFeedEvent& event) {
        if (event.type == DhanFeedEvent::Message && event.binary) {
            qDebug() << "[DhanBroker] Binary message:" << event.data.size() << "bytes";
            DhanDecoder::Packet packet;
            if (!DhanDecoder::decodePacket(event.data, packet)) {
                qDebug() << "[DhanBroker] Binary message too short:" << event.data.size() << "bytes, expected at least"
                         << DhanDecoder::kMinPacketSize;
                return;
            }
            QMetaObject::invokeMethod(
                this,
                [this, generation, packet] {
                    if (generation == feedGeneration)
                        handlePacket(packet);
                },
                Qt::QueuedConnection);
            return;
        }
        if (event.type == DhanFeedEvent::Message) {
            qDebug() << "[DhanBroker] Text message:" << QString::fromUtf8(event.data.left(300));
            QJsonParseError err;
            const QJsonDocument doc = QJsonDocument::fromJson(event.data, &err);
            if (err.error != QJsonParseError::NoError) {
                qDebug() << "[DhanBroker] JSON parse error:" << err.errorString();
                return;
            }
            if (!doc.isObject())
                return;
            const QJsonObject object = doc.object();
            QMetaObject::invokeMethod(
                this,
                [this, generation, object] {
                    if (generation == feedGeneration)
                        handleJsonMessage(object);
                },
                Qt::QueuedConnection);
            return;
        }
        if (event.type == DhanFeedEvent::Ping) {
            qDebug() << "[DhanBroker] Received ping";
            return;
        }
        if (event.type == DhanFeedEvent::Pong) {
            qDebug() << "[DhanBroker] Received pong";
            return;
        }
        QMetaObject::invokeMethod(
            this, [this, generation, event] { onFeedEvent(generation, event); }, Qt::QueuedConnection);
    });
}

void DhanBroker::onFeedEvent(quint64 generation, const DhanFeedEvent& event)
{
    if (generation != feedGeneration)
        return;
    switch (event.type) {
    case DhanFeedEvent::Open: {
        connected = true;
        pingTimer->start();
        emit connectionStatusChanged(true);
        qInfo() << "[DhanBroker] WebSocket connected to" << feedBaseUrl;
        // A reopened feed carries nothing: everything subscribed goes out again, with what
        // waited for the feed to open.
        QStringList all = pending;
        if (!pending.isEmpty())
            qDebug() << "[DhanBroker] Flushing" << pending.size() << "pending subscriptions";
        for (const QString& s : qAsConst(pending)) {
            if (!subscribed.contains(s)) {
                subscribed.insert(s);
                subscribedOrder.append(s);
            }
        }
        const QSet<QString> queued(pending.cbegin(), pending.cend());
        for (const QString& s : qAsConst(subscribedOrder))
            if (!queued.contains(s))
                all.append(s);
        pending.clear();
        if (!all.isEmpty())
            sendSubscriptions(all);
        break;
    }
    case DhanFeedEvent::Close: {
        connected = false;
        pingTimer->stop();
        emit connectionStatusChanged(false);
        qDebug() << "[DhanBroker] WebSocket disconnected, code:" << event.closeCode << "reason:" << event.reason;
        const QString problem = StreamLinkWatch::closeProblem(event.closeCode, event.reason);
        if (!problem.isEmpty() && event.closeCode != QWebSocketProtocol::CloseCodeAbnormalDisconnection) {
            lastErrorText = problem;
            qWarning() << "[DhanBroker]" << problem;
            emit errorOccurred(problem);
        }
        break;
    }
    case DhanFeedEvent::Error:
        if (event.httpStatus == 401 || event.httpStatus == 403) {
            // The feed does not retry a refused upgrade: the token has to be renewed first.
            lastErrorText = QStringLiteral("Authentication failed: the feed refused the access token (HTTP %1)")
                                .arg(event.httpStatus);
            qWarning() << "[DhanBroker] Authentication error - invalid or expired token";
            qWarning() << "[DhanBroker] You need to authenticate using the 'Authenticate' button in Settings.";
        } else {
            lastErrorText = event.reason;
            qWarning() << "[DhanBroker] WebSocket error:" << lastErrorText;
        }
        emit errorOccurred(lastErrorText);
        break;
    default:
        break;
    }
}

void DhanBroker::disconnectFromBroker()
{
    // A feed that is still connecting or reconnecting is stopped too, or it would come back
    // after the user disconnected.
    const bool wasConnected = connected;
    pingTimer->stop();
    connected = false;
    releaseFeed();
    if (wasConnected)
        emit connectionStatusChanged(false);
}

void DhanBroker::startLiveData() {}

void DhanBroker::stopLiveData()
{
    pingTimer->stop();
}

void DhanBroker::onPingTimer()
{
    if (feedOpen())
        feed->sendText(QStringLiteral("{\"RequestCode\":16}"));
}

void DhanBroker::onAuthSuccessful(QString token)
{
    accessToken = token;
    qInfo() << "[DhanBroker] Authentication successful";
    connectToBroker();
}

void DhanBroker::onAuthFailed(QString err)
{
    lastErrorText = err;
    emit errorOccurred(QStringLiteral("Dhan auth failed: %1").arg(err));
    qWarning() << "[DhanBroker] Authentication failed:" << err;
}

// ---- subscriptions ---------------------------------------------------------------------------

QString DhanBroker::feedSegment(const QString& symbol)
{
    if (symbol.startsWith(QLatin1String("NSE:"))) {
        if (symbol.contains(QLatin1String("-FUT")) || symbol.contains(QLatin1String("-OPT")))
            return QStringLiteral("NSE_FNO");
        return QStringLiteral("NSE_EQ");
    }
    if (symbol.startsWith(QLatin1String("BSE:")))
        return QStringLiteral("BSE_EQ");
    // Dhan names the commodity segment MCX_COMM, in the feed as in history.
    if (symbol.startsWith(QLatin1String("MCX:")))
        return QStringLiteral("MCX_COMM");
    return QStringLiteral("NSE_EQ");
}

QStringList DhanBroker::subscriptionMessages(const QList<QPair<QString, QString>>& instruments)
{
    QStringList out;
    int at = 0;
    do {
        QJsonArray list;
        for (int n = 0; n < kMaxInstrumentsPerRequest && at < instruments.size(); ++n, ++at) {
            QJsonObject entry;
            entry.insert(QStringLiteral("ExchangeSegment"), instruments.at(at).first);
            entry.insert(QStringLiteral("SecurityId"), instruments.at(at).second);
            list.append(entry);
        }
        QJsonObject message;
        message.insert(QStringLiteral("RequestCode"), 21);
        message.insert(QStringLiteral("InstrumentCount"), list.size());
        message.insert(QStringLiteral("InstrumentList"), list);
        out.append(ConnectorText::compactJson(message));
    } while (at < instruments.size());
    return out;
}

QString DhanBroker::securityIdForSymbol(const QString& symbol) const
{
    return symbolRepository ? symbolRepository->tokenForSymbol(symbol) : QString();
}

void DhanBroker::sendSubscriptions(const QStringList& symbols)
{
    QList<QPair<QString, QString>> instruments;
    for (const QString& symbol : symbols) {
        QString segment = QStringLiteral("NSE_EQ");
        QString securityId;
        if (isInt32(symbol)) {
            securityId = symbol;
            qDebug() << "[DhanBroker] Using numeric security ID directly:" << securityId;
            const QString resolved = symbolRepository ? symbolRepository->symbolForToken(securityId) : QString();
            if (!resolved.isEmpty()) {
                qDebug() << "[DhanBroker] Resolved security ID" << securityId << "to symbol:" << resolved;
                segment = feedSegment(resolved);
            }
        } else {
            securityId = securityIdForSymbol(symbol);
            if (securityId.isEmpty()) {
                qWarning() << "[DhanBroker] Could not find security ID for symbol:" << symbol;
                continue;
            }
            segment = feedSegment(symbol);
        }
        instruments.append({segment, securityId});
    }
    int left = instruments.size();
    for (const QString& message : subscriptionMessages(instruments)) {
        feed->sendText(message);
        qDebug() << "[DhanBroker] Sent subscription for" << std::min(left, kMaxInstrumentsPerRequest)
                 << "instruments:" << message;
        left -= kMaxInstrumentsPerRequest;
    }
}

void DhanBroker::subscribeLiveData(const QStringList& symbols)
{
    QStringList fresh;
    for (const QString& s : symbols) {
        if (subscribed.contains(s))
            continue;
        subscribed.insert(s);
        subscribedOrder.append(s);
        fresh.append(s);
    }
    if (fresh.isEmpty())
        return;
    if (!connected || !feedOpen()) {
        for (const QString& s : qAsConst(fresh))
            if (!pending.contains(s))
                pending.append(s);
        qDebug() << "[DhanBroker] Queued batch subscriptions (not connected):" << fresh.size();
        return;
    }
    sendSubscriptions(fresh);
}

void DhanBroker::subscribeLiveData(const QString& symbol)
{
    if (subscribed.contains(symbol))
        return;
    subscribeLiveData(QStringList{symbol});
}

void DhanBroker::unsubscribeLiveData(const QString& symbol)
{
    subscribed.remove(symbol);
    subscribedOrder.removeAll(symbol);
}

// ---- ticks -----------------------------------------------------------------------------------

QString DhanBroker::securityIdToSymbol(const QString& securityId) const
{
    if (!symbolRepository)
        return securityId;
    // An id the master does not know still names its instrument rather than an empty ticker.
    const QString symbol = symbolRepository->symbolForToken(securityId);
    return symbol.isEmpty() ? securityId : symbol;
}

void DhanBroker::parseBinaryPacket(const QByteArray& data)
{
    DhanDecoder::Packet packet;
    if (!DhanDecoder::decodePacket(data, packet)) {
        qDebug() << "[DhanBroker] Binary message too short:" << data.size() << "bytes, expected at least"
                 << DhanDecoder::kMinPacketSize;
        return;
    }
    handlePacket(packet);
}

void DhanBroker::handlePacket(const DhanDecoder::Packet& p)
{
    qDebug() << "[DhanBroker] Header - ResponseCode:" << p.responseCode << "MsgLen:" << p.msgLen
             << "ExchSeg:" << p.exchangeSegment << "SecurityID:" << p.securityId;
    QDateTime time = DhanDecoder::tradeTime(p.ltt, nowMSecs(), &timeCache);
    if (!time.isValid()) {
        time = now();
        qDebug() << "[DhanBroker] Invalid timestamp from LTT epoch:" << p.ltt << "resulted in:"
                 << QDateTime::fromSecsSinceEpoch(p.ltt).toString(QLatin1String(kTimeFormat))
                 << "- using current time instead";
    }
    const QString token = QString::number(p.securityId);
    const TickData tick = DhanDecoder::tick(p, securityIdToSymbol(token), time);
    qDebug() << "[DhanBroker] Full packet - SecurityID:" << p.securityId << "Symbol:" << tick.symbol
             << "LTP:" << p.ltp << "Open:" << p.open << "High:" << p.high << "Low:" << p.low << "Vol:" << p.volume
             << "OI:" << p.openInterest << "LTQ:" << p.ltq << "ATP:" << p.atp;
    emitTick(tick, true);
}

void DhanBroker::handleJsonMessage(const QJsonObject& message)
{
    const DhanDecoder::JsonMessage m = DhanDecoder::decodeJson(message);
    if (m.kind == DhanDecoder::JsonMessage::SubscriptionAck) {
        qDebug() << "[DhanBroker] Subscription acknowledged";
        return;
    }
    if (m.kind != DhanDecoder::JsonMessage::Tick)
        return;
    emitTick(DhanDecoder::tick(m, securityIdToSymbol(QString::number(m.securityId)), now()), false);
}

void DhanBroker::emitTick(const TickData& tick, bool logFilter)
{
    if (settingsManager && !tick.exchange.isEmpty()) {
        const bool within = settingsManager->isWithinMarketHours(tick.exchange, tick.timestamp);
        if (logFilter)
            qDebug() << "[DhanBroker] Market hours check - Exchange:" << tick.exchange
                     << "Time:" << tick.timestamp.toString(QLatin1String(kTimeFormat))
                     << "WithinHours:" << within;
        if (!within) {
            if (logFilter)
                qDebug() << "[DhanBroker] Tick FILTERED OUT - outside market hours";
            return;
        }
    }
    if (logFilter)
        qDebug() << "[DhanBroker] Emitting tickReceived signal for" << tick.symbol << "token:" << tick.token
                 << "price:" << tick.ltp;
    emit tickReceived(tick);
}

// ---- history ---------------------------------------------------------------------------------

void DhanBroker::requestIntradayData(const QString& symbol, const QString& interval)
{
    const QDate today = now().date();
    requestHistoricalData(symbol, today, today, interval);
}

void DhanBroker::requestHistoricalData(const QString& symbol, const QDate& from, const QDate& to,
                                       const QString& interval)
{
    QString securityId;
    QString reported = symbol;
    if (!isInt32(symbol)) {
        securityId = securityIdForSymbol(symbol);
        if (securityId.isEmpty()) {
            emit errorOccurred(QStringLiteral("Could not find security ID for symbol: %1").arg(symbol));
            return;
        }
        qInfo() << "[DhanBroker] Resolved symbol" << symbol << "to security ID:" << securityId;
    } else {
        securityId = symbol;
        const QString name = symbolRepository ? symbolRepository->symbolForToken(securityId) : QString();
        if (!name.isEmpty()) {
            reported = name;
            qInfo() << "[DhanBroker] Resolved security ID" << securityId << "to symbol:" << name;
        } else {
            qInfo() << "[DhanBroker] Using security ID (no symbol name found):" << securityId;
        }
    }

    const DhanHistory::Instrument target = DhanHistory::instrumentFor(reported);
    const QString code = DhanHistory::intervalCode(interval);
    const bool intraday = !code.isEmpty();
    const QByteArray body = DhanHistory::requestBody(securityId, target, code, from, to);

    QNetworkRequest request(QUrl(restBaseUrl + DhanHistory::endpointPath(intraday)));
    request.setRawHeader("access-token", accessToken.toUtf8());
    request.setRawHeader("Content-Type", "application/json");
    qInfo() << "[DhanBroker] Requesting" << (intraday ? "intraday" : "daily") << "historical data for" << reported
            << "(" << securityId << ")" << "from" << from << "to" << to << "interval:" << interval;
    qInfo().noquote() << "[DhanBroker] Request body:" << QString::fromUtf8(body);

    QNetworkReply* reply = networkManager->post(request, body);
    reply->setProperty("symbol", reported);
    reply->setProperty("security_id", securityId);
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onHistoricalReplyFinished(reply); });
}

void DhanBroker::onHistoricalReplyFinished(QNetworkReply* reply)
{
    const QString symbol = reply->property("symbol").toString();
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        const QString message =
            QStringLiteral("Historical data request failed for %1: %2").arg(symbol, reply->errorString());
        qWarning() << "[DhanBroker]" << message;
        emit errorOccurred(message);
        return;
    }
    const QByteArray body = reply->readAll();
    qInfo() << "[DhanBroker] Received historical data response:" << QString::fromUtf8(body.left(500));
    const DhanHistory::Reply parsed = DhanHistory::parseReply(body, symbol);
    if (!parsed.parsed) {
        emit errorOccurred(QStringLiteral("Failed to parse historical data: %1").arg(parsed.error));
        return;
    }
    const int* n = parsed.lengths;
    qInfo() << "[DhanBroker] Response arrays - open:" << n[0] << "high:" << n[1] << "low:" << n[2] << "close:" << n[3]
            << "volume:" << n[4] << "timestamp:" << n[5] << "OI:" << n[6];
    const int count = parsed.bars.size();
    for (int i = 0; i < count; ++i) {
        if (i > 2 && i != count - 1)
            continue;
        const OHLCData& b = parsed.bars.at(i);
        qDebug() << "[DhanBroker] Candle" << i << ":" << b.timestamp.toString(QLatin1String(kTimeFormat)) << "O:" << b.open
                 << "H:" << b.high << "L:" << b.low << "C:" << b.close << "V:" << b.volume << "OI:" << b.openInterest;
    }
    qInfo() << "[DhanBroker] Parsed" << count << "historical candles for" << symbol;
    emit historicalDataReceived(symbol, parsed.bars);
}

// ---- instrument master -----------------------------------------------------------------------

void DhanBroker::downloadInstrumentList()
{
    const QUrl url(scripMasterBaseUrl + QStringLiteral("/api-data/api-scrip-master.csv"));
    qInfo() << "[DhanBroker] Downloading instrument master from:" << url.toString();
    QNetworkReply* reply = networkManager->get(QNetworkRequest(url));
    connect(reply, &QNetworkReply::finished, this, &DhanBroker::onInstrumentListReplyFinished);
}

void DhanBroker::onInstrumentListReplyFinished()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        qWarning() << "[DhanBroker] Instrument list download failed:" << reply->errorString();
        lastErrorText = reply->errorString();
        return;
    }
    const QByteArray body = reply->readAll();
    qInfo() << "[DhanBroker] Downloaded instrument master, size:" << body.size() << "bytes";
    if (!symbolRepository) {
        qWarning() << "[DhanBroker] Symbol repository not set, cannot parse instrument list";
        return;
    }
    const QList<DhanInstrumentList::Row> rows = DhanInstrumentList::parse(body);
    for (const DhanInstrumentList::Row& r : rows)
        symbolRepository->addSymbol(r.symbol, r.token, r.exchange, r.instrumentType);
    qInfo() << "[DhanBroker] Parsed" << rows.size() << "instruments from Dhan master list";
    emit instrumentListDownloaded();
}
