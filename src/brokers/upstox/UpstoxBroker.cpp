// Upstox connector: feed authorization, stream life cycle, subscriptions, ticks and history.
#include "brokers/upstox/UpstoxBroker.h"

#include "brokers/BrokerHosts.h"
#include "brokers/ConnectorText.h"
#include "brokers/StreamLinkWatch.h"
#include "brokers/upstox/UpstoxHistory.h"
#include "core/TickClock.h"
#include "core/TickLog.h"
#include "symbols/SymbolRepository.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <QUuid>
#include <QWebSocket>

#include <cmath>

namespace {

const char kFeedAuthorizePath[] = "/v3/feed/market-data-feed";
const char kPing[] = "{\"type\":\"ping\"}";
constexpr int kMaxBackoffUnits = 120;
constexpr int kTokenReconnectDelayMs = 1000;

}  // namespace

UpstoxBroker::UpstoxBroker(QObject* parent)
    : IBroker(parent),
      m_networkManager(new QNetworkAccessManager(this)),
      m_pingTimer(new QTimer(this)),
      m_reconnectTimer(new QTimer(this)),
      m_tokenReconnectTimer(new QTimer(this)),
      m_stableTimer(new QTimer(this)),
      m_linkWatch(new StreamLinkWatch(this)),
      m_restBaseUrl(BrokerHosts::upstoxRest()),
      m_today([] { return QDate::currentDate(); })
{
    m_subscriptions = new SubscriptionBatch(
        [this] { return m_connected && m_webSocket && m_webSocket->state() == QAbstractSocket::ConnectedState; },
        [this](const SubscriptionBatch::Change& c) {
            if (!c.removed.isEmpty())
                sendFrame("unsub", c.removed, false);
            if (!c.added.isEmpty())
                sendFrame("sub", c.added, true);
        },
        this);
    m_pingTimer->setObjectName(QStringLiteral("pingTimer"));
    m_pingTimer->setInterval(kPingIntervalMs);
    m_reconnectTimer->setObjectName(QStringLiteral("reconnectTimer"));
    m_reconnectTimer->setSingleShot(true);
    connect(m_pingTimer, &QTimer::timeout, this, &UpstoxBroker::onPingTimer);
    connect(m_reconnectTimer, &QTimer::timeout, this, &UpstoxBroker::onReconnectTimer);
    m_tokenReconnectTimer->setObjectName(QStringLiteral("tokenReconnectTimer"));
    m_tokenReconnectTimer->setSingleShot(true);
    connect(m_tokenReconnectTimer, &QTimer::timeout, this, [this] { connectToBroker(); });
    m_stableTimer->setSingleShot(true);
    m_stableTimer->setInterval(StreamLinkWatch::kStableLinkMs);
    connect(m_stableTimer, &QTimer::timeout, this, [this] { m_reconnectAttempts = 0; });
    connect(m_linkWatch, &StreamLinkWatch::expired, this, &UpstoxBroker::onLinkExpired);
}

void UpstoxBroker::setLinkTimeouts(int handshakeMs, int silenceMs)
{
    m_linkWatch->setTimeouts(handshakeMs, silenceMs);
}

UpstoxBroker::~UpstoxBroker()
{
    UpstoxBroker::disconnectFromBroker();
    releaseSocket();
}

void UpstoxBroker::setSymbolRepository(SymbolRepository* repository)
{
    m_symbolRepository = repository;
}

void UpstoxBroker::setRestBaseUrl(const QString& url)
{
    m_restBaseUrl = url;
    if (!m_feedAuthorizeUrl.isEmpty())
        m_feedAuthorizeUrl = m_restBaseUrl + QLatin1String(kFeedAuthorizePath);
}

void UpstoxBroker::setPingInterval(int ms)
{
    m_pingTimer->setInterval(ms);
}

void UpstoxBroker::initialize(const QMap<QString, QString>& config)
{
    m_feedAuthorizeUrl = m_restBaseUrl + QLatin1String(kFeedAuthorizePath);
    m_accessToken = config.value(QStringLiteral("access_token"));
    qInfo() << "[UpstoxBroker] Initialized with config (V3 API)";
    qInfo() << "[UpstoxBroker] Access token:" << (m_accessToken.isEmpty() ? "Empty" : "Set");
}

void UpstoxBroker::updateAccessToken(const QString& token)
{
    qInfo() << "[UpstoxBroker] Updating access token";
    m_accessToken = token;
    if (!m_connected)
        return;
    qInfo() << "[UpstoxBroker] Reconnecting with new token...";
    disconnectFromBroker();
    // A timer of its own, so that a disconnect asked for within that second cancels it.
    m_tokenReconnectTimer->start(kTokenReconnectDelayMs);
}

void UpstoxBroker::fail(const QString& error, const char* logPrefix)
{
    m_lastError = error;
    qWarning().noquote() << logPrefix << error;
    emit errorOccurred(error);
}

// ---- feed authorization and stream life cycle ----------------------------------------------

void UpstoxBroker::connectToBroker()
{
    if (m_connected) {
        qInfo() << "[UpstoxBroker] Already connected";
        return;
    }
    if (m_accessToken.isEmpty()) {
        fail(QStringLiteral("No access token available"));
        return;
    }
    if (m_feedAuthorizeUrl.isEmpty())
        m_feedAuthorizeUrl = m_restBaseUrl + QLatin1String(kFeedAuthorizePath);
    m_closingOnRequest = false;
    m_authorizeIsRetry = m_reconnectDue;
    m_reconnectDue = false;
    m_reconnectTimer->stop();
    // A socket still opening (or closing) from before is replaced by the one this authorization
    // leads to; it must not come up in between.
    releaseSocket();
    // One authorization at a time: a newer request replaces one still in flight.
    if (m_authorizeReply) {
        disconnect(m_authorizeReply, nullptr, this, nullptr);
        m_authorizeReply->abort();
        m_authorizeReply->deleteLater();
    }

    QNetworkRequest request{QUrl(m_feedAuthorizeUrl)};
    request.setRawHeader("Authorization", QStringLiteral("Bearer %1").arg(m_accessToken).toUtf8());
    request.setRawHeader("Accept", "*/*");
    // The answer is a redirect to the stream address; following it would fetch the stream over HTTP.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(kAuthorizeTimeoutMs);
    qInfo() << "[UpstoxBroker] Requesting WebSocket redirect from:" << m_feedAuthorizeUrl;
    QNetworkReply* reply = m_networkManager->get(request);
    m_authorizeReply = reply;
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onAuthorizeFinished(reply); });
}

void UpstoxBroker::onAuthorizeFinished(QNetworkReply* reply)
{
    reply->deleteLater();
    if (reply != m_authorizeReply)
        return;
    m_authorizeReply = nullptr;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 301 || status == 302) {
        QUrl target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
        if (!target.isEmpty() && target.isRelative())
            target = reply->url().resolved(target);
        if (!target.isValid() || target.host().isEmpty()) {
            fail(QStringLiteral("Invalid redirect URL received"));
            return;
        }
        // The target's query is a one-time credential: the log gets host and path only.
        qInfo() << "[UpstoxBroker] Got redirect to:" << target.adjusted(QUrl::RemoveQuery).toString();
        openSocket(target);
        return;
    }
    // A reply from a reconnect attempt that failed for a passing reason (no answer, server
    // trouble) keeps the back-off going; a refusal (bad token) ends it.
    const bool transient = status == 0 || status >= 500;
    if (reply->error() != QNetworkReply::NoError) {
        fail(reply->errorString(), "[UpstoxBroker] Failed to get WebSocket URL:");
    } else {
        fail(QStringLiteral("Unexpected HTTP status: %1").arg(status));
    }
    if (transient && m_authorizeIsRetry && !m_closingOnRequest)
        scheduleReconnect();
}

void UpstoxBroker::openSocket(const QUrl& url)
{
    // A fresh socket per stream: nothing a previous connection still delivers can reach this one.
    releaseSocket();
    m_decoder.reset();
    m_webSocket = new QWebSocket(QString(), QWebSocketProtocol::Version13, nullptr);
    connect(m_webSocket, &QWebSocket::connected, this, &UpstoxBroker::onWsConnected);
    connect(m_webSocket, &QWebSocket::disconnected, this, &UpstoxBroker::onWsDisconnected);
    connect(m_webSocket, &QWebSocket::textMessageReceived, this, &UpstoxBroker::onWsTextMessage);
    connect(m_webSocket, &QWebSocket::binaryMessageReceived, this, &UpstoxBroker::onWsBinaryMessage);
    connect(m_webSocket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            &UpstoxBroker::onWsError);
    m_linkWatch->watch(m_webSocket);
    m_webSocket->open(url);
}

void UpstoxBroker::releaseSocket()
{
    m_linkWatch->stop();
    m_stableTimer->stop();
    if (!m_webSocket)
        return;
    disconnect(m_webSocket, nullptr, this, nullptr);
    m_webSocket->abort();
    m_webSocket->deleteLater();
    m_webSocket = nullptr;
}

void UpstoxBroker::disconnectFromBroker()
{
    m_closingOnRequest = true;
    if (m_authorizeReply) {
        disconnect(m_authorizeReply, nullptr, this, nullptr);
        m_authorizeReply->abort();
        m_authorizeReply->deleteLater();
        m_authorizeReply = nullptr;
    }
    if (m_webSocket) {
        if (m_webSocket->state() == QAbstractSocket::ConnectedState) {
            qInfo() << "[UpstoxBroker] Disconnecting WebSocket";
            m_webSocket->close(QWebSocketProtocol::CloseCodeNormal, QString());
        } else {
            // Still opening: it must not come up after the user said disconnect.
            releaseSocket();
        }
    }
    m_pingTimer->stop();
    m_reconnectTimer->stop();
    m_tokenReconnectTimer->stop();
    m_stableTimer->stop();
    m_linkWatch->stop();
    m_connected = false;
    m_reconnectAttempts = 0;
    m_subscribedSymbols.clear();
    m_pendingSubscriptions.clear();
    m_subscriptions->clear();
}

void UpstoxBroker::onWsConnected()
{
    if (sender() != m_webSocket)
        return;
    qInfo() << "[UpstoxBroker] WebSocket connected successfully";
    m_connected = true;
    // A server that closes right after each upgrade must not get a fresh back-off every time.
    m_stableTimer->start();
    m_reconnectTimer->stop();
    m_pingTimer->start();
    emit connectionStatusChanged(true);
    if (!m_pendingSubscriptions.isEmpty()) {
        qInfo() << "[UpstoxBroker] Flushing" << m_pendingSubscriptions.size() << "pending subscriptions";
        const QStringList pending = m_pendingSubscriptions.values();
        subscribeLiveData(pending);
        m_pendingSubscriptions.clear();
    }
    // A new stream carries nothing: every wanted key goes out in one frame.
    m_subscriptions->streamReplaced();
}

void UpstoxBroker::onWsDisconnected()
{
    if (sender() != m_webSocket)
        return;
    qInfo() << "[UpstoxBroker] WebSocket disconnected";
    m_connected = false;
    m_pingTimer->stop();
    m_stableTimer->stop();
    const QString problem = StreamLinkWatch::closeProblem(m_webSocket);
    emit connectionStatusChanged(false);
    if (m_closingOnRequest)
        return;
    if (!problem.isEmpty())
        fail(problem);
    scheduleReconnect();
}

void UpstoxBroker::onLinkExpired(const QString& reason)
{
    const bool wasConnected = m_connected;
    releaseSocket();
    m_connected = false;
    m_pingTimer->stop();
    if (wasConnected)
        emit connectionStatusChanged(false);
    fail(reason);
    if (!m_closingOnRequest)
        scheduleReconnect();
}

void UpstoxBroker::scheduleReconnect()
{
    if (m_reconnectAttempts >= m_maxReconnectAttempts) {
        qWarning() << "[UpstoxBroker] Max reconnection attempts reached. Manual reconnection required.";
        m_lastError = QStringLiteral("Connection lost. Please reconnect manually.");
        emit errorOccurred(m_lastError);
        return;
    }
    if (m_accessToken.isEmpty())
        return;
    const int n = ++m_reconnectAttempts;
    // 2, 4, 8 ... seconds, at most two minutes.
    const int units = n >= 7 ? kMaxBackoffUnits : qMin(1 << n, kMaxBackoffUnits);
    const int delay = units * m_reconnectUnitMs;
    qInfo() << "[UpstoxBroker] Scheduling reconnect attempt" << n << "of" << m_maxReconnectAttempts << "in"
            << delay / 1000 << "seconds";
    m_reconnectTimer->start(delay);
}

void UpstoxBroker::onReconnectTimer()
{
    qInfo() << "[UpstoxBroker] Attempting reconnection...";
    m_reconnectDue = true;
    connectToBroker();
    m_reconnectDue = false;
}

void UpstoxBroker::onPingTimer()
{
    if (!m_webSocket || m_webSocket->state() != QAbstractSocket::ConnectedState)
        return;
    m_webSocket->sendTextMessage(QString::fromLatin1(kPing));
    qDebug() << "[UpstoxBroker] Sent ping";
}

void UpstoxBroker::onWsTextMessage(const QString& message)
{
    if (sender() != m_webSocket)
        return;
    qDebug() << "[UpstoxBroker] Text message:" << ConnectorText::clipped(message, 500);
    const QJsonObject obj = QJsonDocument::fromJson(message.toUtf8()).object();
    if (obj.value(QLatin1String("type")).toString() != QLatin1String("error"))
        return;
    const QString error = obj.value(QLatin1String("message")).toString();
    fail(error, "[UpstoxBroker] WebSocket error:");
}

void UpstoxBroker::onWsError(QAbstractSocket::SocketError error)
{
    if (!m_webSocket || sender() != m_webSocket)
        return;
    m_lastError = m_webSocket->errorString();
    qWarning() << "[UpstoxBroker] WebSocket error:" << error << m_lastError;
    if (!m_connected && StreamLinkWatch::refusedAuthentication(m_lastError)) {
        // The upgrade was refused for the credentials: another attempt would be refused too.
        releaseSocket();
        m_reconnectTimer->stop();
        fail(QStringLiteral("Authentication failed: the server refused the stream (%1)").arg(m_lastError));
        return;
    }
    emit errorOccurred(m_lastError);
}

// ---- ticks ----------------------------------------------------------------------------------

namespace {

// The per-field trace line of each decoder note: its text and which values follow it.
struct TraceLine {
    const char* text;
    char form;  // 'a' integer, 'x' double, 's' text, 'w' number and wire type, 'r' root field, 'q' bid and ask
};

constexpr TraceLine kTraceLines[UpstoxDecoder::kNoteCount] = {
    {"[UpstoxBroker] Starting manual protobuf parse, size:", 'a'},
    {"[UpstoxBroker] Field:", 'r'},
    {"[UpstoxBroker] Feed entry length:", 'a'},
    {"[UpstoxBroker] Skipping root field:", 'a'},
    {"[UpstoxBroker] Instrument key:", 's'},
    {"[UpstoxBroker] Feed message length:", 'a'},
    {"[UpstoxBroker] Skipping entry field:", 'a'},
    {"[UpstoxBroker]   Feed field:", 'w'},
    {"[UpstoxBroker]   LTPC message length:", 'a'},
    {"[UpstoxBroker]     LTP:", 'x'},
    {"[UpstoxBroker]     LTT:", 'a'},
    {"[UpstoxBroker]     LTQ:", 'a'},
    {"[UpstoxBroker]     Skipping LTPC field:", 'a'},
    {"[UpstoxBroker]   FullFeed length:", 'a'},
    {"[UpstoxBroker]   Skipping feed field:", 'a'},
    {"[UpstoxBroker]     FullFeed field:", 'w'},
    {"[UpstoxBroker]     Market/IndexFullFeed length:", 'a'},
    {"[UpstoxBroker]       MarketFF field:", 'w'},
    {"[UpstoxBroker]       Nested LTPC length:", 'a'},
    {"[UpstoxBroker]         LTP (field 1):", 'x'},
    {"[UpstoxBroker]         LTT:", 'a'},
    {"[UpstoxBroker]         LTQ:", 'a'},
    {"[UpstoxBroker]         CP (previous close):", 'x'},
    {"[UpstoxBroker]       MarketLevel (field 2) length:", 'a'},
    {"[UpstoxBroker]       Best Bid:", 'q'},
    {"[UpstoxBroker]       OptionGreeks (field 3) length:", 'a'},
    {"[UpstoxBroker]       MarketOHLC (field 4) length:", 'a'},
    {"[UpstoxBroker]       ATP (field 5):", 'x'},
    {"[UpstoxBroker]       VTT (field 6):", 'a'},
    {"[UpstoxBroker]       OI (field 7):", 'x'},
    {"[UpstoxBroker]       TBQ (field 9):", 'x'},
    {"[UpstoxBroker]       TSQ (field 10):", 'x'},
};

void logTrace(const DecoderNote& n)
{
    if (n.what < 0 || n.what >= UpstoxDecoder::kNoteCount)
        return;
    const TraceLine& line = kTraceLines[n.what];
    QDebug d = QMessageLogger(__FILE__, __LINE__, Q_FUNC_INFO).debug(tickLog());
    d << line.text;
    switch (line.form) {
    case 'a': d << n.a; break;
    case 'x': d << n.x; break;
    case 's': d << ConnectorText::clipped(QString::fromUtf8(n.bytes), 200); break;
    case 'w': d << n.a << "wireType:" << n.b; break;
    case 'r': d << n.a << "WireType:" << n.b << "Pos:" << n.c; break;
    case 'q': d << n.x << "Best Ask:" << n.y; break;
    default: break;
    }
}

}  // namespace

void UpstoxBroker::onWsBinaryMessage(const QByteArray& message)
{
    if (sender() != m_webSocket || message.isEmpty())
        return;
    const bool trace = tickLog().isDebugEnabled();
    m_decoder.setTracing(trace);
    const DecodedFrame frame = m_decoder.decode(message, TickClock::nowMSecs());
    // Only a protocol-buffers frame starts with this note, and only while tracing.
    const bool protobuf = !frame.notes.isEmpty() && frame.notes.first().what == UpstoxDecoder::kParseStart;
    for (const DecoderNote& n : frame.notes)
        logTrace(n);
    for (const DecoderEvent& e : frame.events) {
        switch (e.kind) {
        case DecoderEvent::Acknowledged:
            qDebug() << "[UpstoxBroker] Market info received:" << e.text;
            break;
        case DecoderEvent::ServerError:
            qWarning() << "[UpstoxBroker] Error message:" << ConnectorText::clipped(e.text, 500);
            break;
        case DecoderEvent::Skipped:
            qWarning() << "[UpstoxBroker] Invalid tick data - key:" << ConnectorText::clipped(e.text, 200) << "ltp:"
                       << e.value;
            break;
        case DecoderEvent::Malformed:
            if (e.code == UpstoxDecoder::kFeedTooLong)
                qWarning() << "[UpstoxBroker] Feed length exceeds data size";
            else
                qDebug() << "[UpstoxBroker] Unreadable field, rest of frame skipped";
            break;
        default:
            break;
        }
    }
    // Receivers run before the next tick goes out; one of them may tear the connector down.
    QPointer<UpstoxBroker> alive(this);
    const bool jsonFeed = m_decoder.lastFrameWasJsonFeed();
    int parsed = 0;
    for (TickData t : frame.ticks) {
        // An instrument key names its segment itself ("NSE_FO|43885"), so the key alone is the
        // exchange and token together.
        if (jsonFeed) {
            // The JSON feed's quantities are passed on as the service sends them.
            const QString name = m_symbolRepository ? m_symbolRepository->symbolForToken(t.token) : QString();
            t.symbol = name.isEmpty() ? t.token : name;
            emit tickReceived(t);
            if (!alive)
                return;
            if (trace)
                qCDebug(tickLog) << "[UpstoxBroker] Tick:" << t.symbol << "LTP:" << t.ltp << "Volume:" << t.volume
                                 << "Time:" << t.timestamp.toString(QStringLiteral("hh:mm:ss"));
            continue;
        }
        const IndianSymbolData record = m_symbolRepository ? m_symbolRepository->findByToken(t.token) : IndianSymbolData();
        t.symbol = record.symbol.isEmpty() ? t.token : record.symbol;
        const double shares = t.volume;
        // The protocol-buffers feed counts shares; a lot-based instrument is shown in lots.
        if (record.lotSize >= 2)
            // Whole lots, in floating point: a hostile volume may not fit any integer.
            t.volume = std::trunc(t.volume / record.lotSize);
        emit tickReceived(t);
        if (!alive)
            return;
        if (!trace)
            continue;
        const double cp = t.open;
        const double change = cp > 0 ? t.ltp - cp : 0;
        const double percent = cp > 0 ? change * 100.0 / cp : 0;
        qCDebug(tickLog) << "[UpstoxBroker] \u2713 Parsed tick #" << ++parsed << ":" << t.symbol << "LTP:" << t.ltp
                         << "Open(CP):" << cp << "Change:" << change << "("
                         << QByteArray::number(percent, 'f', 2).constData() << "%)"
                         << "Vol:" << t.volume << "(LTQ:" << shares
                         << "/LotSize:" << (record.lotSize >= 2 ? record.lotSize : 1) << ")"
                         << "OI:" << t.openInterest << "Time:" << t.timestamp.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    }
    if (protobuf)
        qCDebug(tickLog) << "[UpstoxBroker] Parsing complete. Total feeds parsed:" << parsed;
}

// ---- subscriptions --------------------------------------------------------------------------

QString UpstoxBroker::findInstrumentKey(const QString& symbol)
{
    if (symbol.contains(QLatin1Char('|')))
        return symbol;
    const auto cached = m_instrumentKeyCache.constFind(symbol);
    if (cached != m_instrumentKeyCache.constEnd())
        return cached.value();
    const QString key = m_symbolRepository ? m_symbolRepository->tokenForSymbol(symbol) : QString();
    if (key.isEmpty()) {
        qWarning() << "[UpstoxBroker] Could not find instrument key for symbol:" << symbol;
        return QString();
    }
    m_instrumentKeyCache.insert(symbol, key);
    return key;
}

void UpstoxBroker::sendFrame(const char* method, const QStringList& keys, bool withMode)
{
    if (!m_webSocket || m_webSocket->state() != QAbstractSocket::ConnectedState)
        return;
    QJsonObject data;
    data.insert(QStringLiteral("instrumentKeys"), QJsonArray::fromStringList(keys));
    if (withMode)
        data.insert(QStringLiteral("mode"), QStringLiteral("full"));
    QJsonObject frame;
    frame.insert(QStringLiteral("data"), data);
    frame.insert(QStringLiteral("guid"), QUuid::createUuid().toString(QUuid::WithoutBraces));
    frame.insert(QStringLiteral("method"), QLatin1String(method));
    m_webSocket->sendBinaryMessage(QJsonDocument(frame).toJson(QJsonDocument::Compact));
}

void UpstoxBroker::startLiveData()
{
    qInfo() << "[UpstoxBroker] Live data started";
}

void UpstoxBroker::stopLiveData()
{
    qInfo() << "[UpstoxBroker] Live data stopped";
    m_subscribedSymbols.clear();
    // The keys leave the stream at the end of this turn unless they are subscribed again in it
    // (a settings change restarts the feed that way).
    m_subscriptions->removeAll();
}

void UpstoxBroker::subscribeLiveData(const QString& symbol)
{
    if (!m_connected) {
        m_pendingSubscriptions.insert(symbol);
        qDebug() << "[UpstoxBroker] Connection not ready, queued subscription for" << symbol;
        return;
    }
    const QString key = findInstrumentKey(symbol);
    if (key.isEmpty()) {
        qWarning() << "[UpstoxBroker] Could not find instrument key for" << symbol;
        return;
    }
    m_subscriptions->add({key});
    m_subscribedSymbols.insert(symbol);
    qDebug().noquote() << "[UpstoxBroker] Subscribed to" << symbol << "(" << key << ") in full mode";
}

void UpstoxBroker::subscribeLiveData(const QStringList& symbols)
{
    if (!m_connected) {
        for (const QString& s : symbols)
            m_pendingSubscriptions.insert(s);
        qDebug() << "[UpstoxBroker] Connection not ready, queued" << symbols.size() << "subscriptions";
        return;
    }
    QStringList keys;
    for (const QString& s : symbols) {
        const QString key = findInstrumentKey(s);
        if (key.isEmpty())
            continue;
        keys << key;
        m_subscribedSymbols.insert(s);
    }
    if (keys.isEmpty()) {
        qWarning() << "[UpstoxBroker] No valid instruments to subscribe";
        return;
    }
    // The calls of one event-loop turn go out in one frame; keys on the stream are not repeated.
    m_subscriptions->add(keys);
    qDebug() << "[UpstoxBroker] Batch subscribed to" << keys.size() << "instruments in full mode";
}

void UpstoxBroker::unsubscribeLiveData(const QString& symbol)
{
    // A symbol removed before the stream came up must not be subscribed when it does.
    if (m_pendingSubscriptions.remove(symbol))
        return;
    if (!m_subscribedSymbols.contains(symbol))
        return;
    const QString key = findInstrumentKey(symbol);
    if (key.isEmpty())
        return;
    m_subscriptions->remove({key});
    m_subscribedSymbols.remove(symbol);
    qDebug() << "[UpstoxBroker] Unsubscribed from" << symbol;
}

// ---- history --------------------------------------------------------------------------------

void UpstoxBroker::requestIntradayData(const QString& symbol, const QString& interval)
{
    const QDate today = m_today();
    requestHistoricalData(symbol, today, today, interval);
}

void UpstoxBroker::requestHistoricalData(const QString& symbol, const QDate& from, const QDate& to,
                                         const QString& interval)
{
    const quint64 tag = takeHistoryTag();
    const QString key = findInstrumentKey(symbol);
    if (key.isEmpty()) {
        failHistory(tag, symbol, QStringLiteral("Could not find instrument key for symbol: %1").arg(symbol));
        return;
    }
    const UpstoxHistory::Interval iv = UpstoxHistory::intervalFor(interval);
    const QList<UpstoxHistory::Request> requests = UpstoxHistory::plan(iv, from, to, m_today());
    // The parts are gathered and handed on once, oldest bar first, under the instrument key.
    QPointer<UpstoxBroker> self(this);
    const auto batch = HistoryBatch::create(
        requests.size(), key,
        [self, symbol, tag](const QString& name, const QList<OHLCData>& bars) {
            if (!self)
                return;
            qDebug() << "[UpstoxBroker] Parsed" << bars.size() << "historical candles for" << symbol;
            self->answerHistory(tag, name, bars);
        },
        [self, tag, symbol](const QString& message) {
            if (self)
                self->failHistory(tag, symbol, message);
        });
    const QString ivText = iv.unit + QLatin1Char('/') + QString::number(iv.size);
    for (int part = 0; part < requests.size(); ++part) {
        const UpstoxHistory::Request& r = requests.at(part);
        const QString path = r.intraday ? UpstoxHistory::intradayPath(key, iv)
                                        : UpstoxHistory::requestPath(key, iv, r.from, r.to);
        QNetworkRequest request(QUrl(m_restBaseUrl + path));
        request.setRawHeader("Authorization", QStringLiteral("Bearer %1").arg(m_accessToken).toUtf8());
        request.setRawHeader("Accept", "application/json");
        request.setRawHeader("Content-Type", "application/json");
        // Units without an intraday endpoint ask up to tomorrow for a range that ends today.
        if (!r.intraday && r.to > to)
            qDebug().noquote() << "[UpstoxBroker] Request includes today, extending toDate to tomorrow:"
                               << r.to.toString(Qt::ISODate);
        if (r.intraday)
            qDebug().noquote() << "[UpstoxBroker] Requesting V3 intraday data for" << symbol << "interval:" << ivText;
        else
            qDebug().noquote() << "[UpstoxBroker] Requesting V3 historical data for" << symbol << "from"
                               << r.from.toString(Qt::ISODate) << "to" << r.to.toString(Qt::ISODate)
                               << "interval:" << ivText;
        QNetworkReply* reply = m_networkManager->get(request);
        reply->setProperty("symbol", symbol);
        reply->setProperty("instrument_key", key);
        connect(reply, &QNetworkReply::finished, this,
                [this, reply, batch, part] { onHistoricalReplyFinished(reply, batch, part); });
    }
}

void UpstoxBroker::onHistoricalReplyFinished(QNetworkReply* reply, const std::shared_ptr<HistoryBatch>& batch,
                                             int part)
{
    reply->deleteLater();
    const QString symbol = reply->property("symbol").toString();
    if (reply->error() != QNetworkReply::NoError) {
        const QString message =
            QStringLiteral("Historical data request failed for %1: %2").arg(symbol, reply->errorString());
        qDebug().noquote() << "[UpstoxBroker]" << message;
        batch->partFailed(part, message);
        return;
    }
    const UpstoxHistory::ParseResult parsed = UpstoxHistory::parseCandles(reply->readAll(), symbol);
    if (!parsed.ok) {
        batch->partFailed(part, QStringLiteral("Historical data API error: %1").arg(parsed.message));
        return;
    }
    batch->partArrived(part, parsed.bars);
}
