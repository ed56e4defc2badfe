// TradeJini connector: stream life cycle, subscriptions, ticks, history and symbol store.
#include "brokers/tradejini/TradeJiniBroker.h"

#include "brokers/BrokerHosts.h"
#include "brokers/ConnectorText.h"
#include "brokers/StreamLinkWatch.h"
#include "brokers/StreamSocketClient.h"
#include "brokers/tradejini/TradeJiniHistory.h"
#include "brokers/tradejini/TradeJiniSymbolStore.h"
#include "core/SettingsManager.h"
#include "core/TickClock.h"
#include "core/TickLog.h"
#include "symbols/SymbolRepository.h"

#include <QDebug>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <algorithm>

namespace {

const char kPing[] = "{\"type\":\"PING\"}\n";

}  // namespace

TradeJiniBroker::TradeJiniBroker(QObject* parent)
    : IBroker(parent),
      networkManager(new QNetworkAccessManager(this)),
      restBaseUrl(BrokerHosts::tradeJiniRest()),
      streamBaseUrl(QStringLiteral("wss://api.tradejini.com"))
{
    subscriptions = new SubscriptionBatch([this] { return streamOpen(); },
                                          [this](const SubscriptionBatch::Change& c) { sendSubscriptionChange(c); }, this);
    linkWatch = new StreamLinkWatch(this);
    connect(linkWatch, &StreamLinkWatch::expired, this, &TradeJiniBroker::onLinkExpired);
    qInfo() << "[TradeJiniBroker] Created";
}

void TradeJiniBroker::setLinkTimeouts(int handshakeMs, int silenceMs)
{
    linkWatch->setTimeouts(handshakeMs, silenceMs);
}

TradeJiniBroker::~TradeJiniBroker()
{
    disconnectFromBroker();
    qDebug() << "[TradeJiniBroker] Destroyed";
}

void TradeJiniBroker::setSymbolRepository(SymbolRepository* repository)
{
    symbolRepository = repository;
    qInfo() << "[TradeJiniBroker] SymbolRepository set:" << (repository != nullptr);
}

void TradeJiniBroker::setSettingsManager(SettingsManager* settings)
{
    settingsManager = settings;
    qInfo() << "[TradeJiniBroker] SettingsManager set:" << (settings != nullptr);
}

void TradeJiniBroker::setClock(std::function<QDateTime()> c)
{
    clock = std::move(c);
}

QDateTime TradeJiniBroker::now() const
{
    return clock ? clock() : QDateTime::currentDateTime();
}

void TradeJiniBroker::initialize(const QMap<QString, QString>& config)
{
    accessToken = config.value(QStringLiteral("accessToken"));
    clientId = config.value(QStringLiteral("clientId"));
    apiKey = config.value(QStringLiteral("apiKey"));
    qInfo() << "[TradeJiniBroker] Initialized with clientId:" << clientId << "accessToken:"
            << (accessToken.isEmpty() ? "Empty" : "Set") << "apiKey:" << (apiKey.isEmpty() ? "Empty" : "Set");
}

QString TradeJiniBroker::credential() const
{
    return apiKey.isEmpty() ? accessToken : apiKey + QLatin1Char(':') + accessToken;
}

// ---- stream life cycle ---------------------------------------------------------------------

void TradeJiniBroker::releaseSocket()
{
    linkWatch->stop();
    if (!socket)
        return;
    // Cut the old socket off first: a late disconnect or error from it must not touch the state
    // of the connection that replaces it.
    disconnect(socket, nullptr, this, nullptr);
    socket->abort();
    socket->deleteLater();
    socket = nullptr;
}

void TradeJiniBroker::connectToBroker()
{
    if (accessToken.isEmpty()) {
        lastErrorText = QStringLiteral("Access token not configured");
        qWarning() << "[TradeJiniBroker]" << lastErrorText;
        emit errorOccurred(lastErrorText);
        return;
    }
    // The credential rides in the query unencoded; the service reads it as "apiKey:token".
    wsUrl = streamBaseUrl + QStringLiteral("/v2.1/stream?token=%1&version=3.1").arg(credential());
    qDebug() << "[TradeJiniBroker] Auth token format:" << (apiKey.isEmpty() ? "access_token only" : "apikey:access_token");

    const bool wasConnected = connected;
    releaseSocket();
    connected = false;
    if (pingTimer)
        pingTimer->stop();
    if (wasConnected)
        emit connectionStatusChanged(false);

    decoder.reset();
    socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, nullptr);
    connect(socket, &QWebSocket::connected, this, &TradeJiniBroker::onWsConnected);
    connect(socket, &QWebSocket::disconnected, this, &TradeJiniBroker::onWsDisconnected);
    connect(socket, &QWebSocket::textMessageReceived, this, &TradeJiniBroker::onWsTextMessage);
    connect(socket, &QWebSocket::binaryMessageReceived, this, &TradeJiniBroker::onWsBinaryMessage);
    connect(socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this, &TradeJiniBroker::onWsError);
    qInfo() << "[TradeJiniBroker] Connecting to WebSocket (auth token set)";
    linkWatch->watch(socket);
    socket->open(QUrl(wsUrl, QUrl::TolerantMode));
}

void TradeJiniBroker::disconnectFromBroker()
{
    linkWatch->stop();
    if (pingTimer) {
        pingTimer->stop();
        pingTimer->deleteLater();
        pingTimer = nullptr;
    }
    if (socket) {
        disconnect(socket, nullptr, this, nullptr);
        endStreamSocket(socket);
        socket = nullptr;
    }
    connected = false;
    emit connectionStatusChanged(false);
}

bool TradeJiniBroker::streamOpen() const
{
    return connected && socket;
}

void TradeJiniBroker::sendText(const QString& text)
{
    if (streamOpen())
        socket->sendTextMessage(text);
}

void TradeJiniBroker::onWsConnected()
{
    if (sender() != socket)
        return;
    connected = true;
    emit connectionStatusChanged(true);
    qDebug() << "[TradeJiniBroker] WebSocket connected (auth via URL)";
    startLiveData();
    // The new stream carries nothing yet: the whole set goes out in one message.
    subscriptions->streamReplaced();
    if (!pingTimer) {
        pingTimer = new QTimer(this);
        connect(pingTimer, &QTimer::timeout, this, &TradeJiniBroker::onPingTimer);
    }
    pingTimer->start(30000);
}

void TradeJiniBroker::onPingTimer()
{
    if (!streamOpen())
        return;
    socket->sendTextMessage(QString::fromLatin1(kPing));
    qDebug() << "[TradeJiniBroker] Sent ping";
}

void TradeJiniBroker::onWsDisconnected()
{
    if (sender() != socket)
        return;
    connected = false;
    if (pingTimer)
        pingTimer->stop();
    // The URL carries the credential; the log gets the host and path only.
    qDebug() << "[TradeJiniBroker] Disconnected from" << QUrl(wsUrl, QUrl::TolerantMode).adjusted(QUrl::RemoveQuery).toString();
    const QString problem = StreamLinkWatch::closeProblem(socket);
    QMetaObject::invokeMethod(this, [this] { emit connectionStatusChanged(false); }, Qt::QueuedConnection);
    if (!problem.isEmpty()) {
        lastErrorText = problem;
        qWarning() << "[TradeJiniBroker]" << problem;
        QMetaObject::invokeMethod(this, [this, problem] { emit errorOccurred(problem); }, Qt::QueuedConnection);
    }
}

void TradeJiniBroker::onLinkExpired(const QString& reason)
{
    // The stream is not reopened here: the drop is reported and the user reconnects.
    releaseSocket();
    if (pingTimer)
        pingTimer->stop();
    connected = false;
    lastErrorText = reason;
    qWarning() << "[TradeJiniBroker]" << reason;
    emit connectionStatusChanged(false);
    emit errorOccurred(reason);
}

void TradeJiniBroker::onWsError(QAbstractSocket::SocketError error)
{
    if (!socket || sender() != socket)
        return;
    lastErrorText = socket->errorString();
    qDebug() << "[TradeJiniBroker] WebSocket error:" << error << lastErrorText;
    if (error == QAbstractSocket::RemoteHostClosedError) {
        qDebug() << "[TradeJiniBroker] Remote host closed connection - likely token expired";
        lastErrorText = QStringLiteral(
            "Connection closed by server. Your access token may have expired. Please re-authenticate.");
    }
    QMetaObject::invokeMethod(this, [this] { emit errorOccurred(lastErrorText); }, Qt::QueuedConnection);
}

// ---- subscriptions -------------------------------------------------------------------------

void TradeJiniBroker::startLiveData()
{
    qInfo() << "[TradeJiniBroker] Starting live data";
    if (pending.isEmpty())
        return;
    const QStringList items = pending.values();
    pending.clear();
    subscribeLiveData(items);
}

void TradeJiniBroker::subscribeLiveData(const QString& symbol)
{
    subscribeLiveData(QStringList{symbol});
}

void TradeJiniBroker::subscribeLiveData(const QStringList& symbols)
{
    if (!connected) {
        for (const QString& s : symbols)
            pending.insert(s);
        qWarning() << "[TradeJiniBroker] Not connected, queued" << symbols.size() << "symbols (total pending:"
                   << pending.size() << ")";
        return;
    }
    int resolved = 0;
    for (const QString& item : symbols) {
        QString key, token, exchange;
        if (item.contains(QLatin1Char('_'))) {
            key = item;
            const QStringList parts = item.split(QLatin1Char('_'));
            token = parts.at(0);
            exchange = parts.at(1);
        } else {
            token = symbolRepository ? symbolRepository->tokenForSymbol(item) : QString();
            if (token.isEmpty()) {
                qWarning() << "[TradeJiniBroker] No token found for" << item;
                continue;
            }
            exchange = symbolRepository ? symbolRepository->exchangeForToken(token) : QString();
            if (exchange.isEmpty()) {
                qWarning() << "[TradeJiniBroker] No exchange found for token" << token;
                continue;
            }
            key = token + QLatin1Char('_') + exchange;
        }
        ++resolved;
        subscriptions->add({key});
        qDebug() << "[TradeJiniBroker] Added to subscription:" << key << "exchange:" << exchange << "token:" << token;
    }
    if (resolved == 0)
        qDebug() << "[TradeJiniBroker] No valid tokens to subscribe";
}

void TradeJiniBroker::sendSubscriptionChange(const SubscriptionBatch::Change& change)
{
    if (!change.removed.isEmpty()) {
        // Built by append: a braced list holding one array is read by some compilers as a copy
        // of that array, which would drop the outer level.
        QJsonArray pairs;
        for (const QString& key : change.removed) {
            QJsonArray pair;
            pair.append(key.section(QLatin1Char('_'), 1, 1));
            pair.append(key.section(QLatin1Char('_'), 0, 0));
            pairs.append(pair);
        }
        sendText(ConnectorText::compactJson(QJsonObject{{QStringLiteral("a"), QStringLiteral("unsubscribe")},
                                                        {QStringLiteral("v"), pairs}}));
        qInfo() << "[TradeJiniBroker] Sent unsubscribe message for" << pairs.size() << "symbols";
    }
    // The server keeps whatever the last "sub" listed: send the whole set that is left. When
    // nothing is left the unsubscribe pairs above have said it all.
    const QStringList all = subscriptions->wanted();
    if (all.isEmpty())
        return;
    QJsonArray tokens;
    for (const QString& key : all)
        tokens.append(QJsonObject{{QStringLiteral("t"), key}});
    QJsonObject msg{{QStringLiteral("action"), QStringLiteral("sub")},
                    {QStringLiteral("tokens"), tokens},
                    {QStringLiteral("type"), QStringLiteral("L1")}};
    const QString text = ConnectorText::compactJson(msg) + QLatin1Char('\n');
    sendText(text);
    qInfo() << "[TradeJiniBroker] Sent batch subscription for" << tokens.size() << "symbols";
    qDebug() << "[TradeJiniBroker] Subscription message:" << text.left(200);
}

void TradeJiniBroker::unsubscribeLiveData(const QString& symbol)
{
    QString token, exchange;
    if (symbol.contains(QLatin1Char('_'))) {
        // A subscription key names its own token and exchange.
        const QStringList parts = symbol.split(QLatin1Char('_'));
        token = parts.at(0);
        exchange = parts.at(1);
    } else if (symbolRepository) {
        token = symbolRepository->tokenForSymbol(symbol);
        if (!token.isEmpty())
            exchange = symbolRepository->exchangeForToken(token);
    }
    if (token.isEmpty() || exchange.isEmpty())
        return;
    subscriptions->removeIf([&token](const QString& key) { return key.section(QLatin1Char('_'), 0, 0) == token; });
    qInfo() << "[TradeJiniBroker] Unsubscribed from" << symbol;
}

void TradeJiniBroker::stopLiveData()
{
    qInfo() << "[TradeJiniBroker] Stopping live data - unsubscribing" << subscriptions->wanted().size() << "symbols";
    // Taken back in the same turn (a settings change restarts the feed), nothing goes out.
    subscriptions->removeAll();
    pending.clear();
    qInfo() << "[TradeJiniBroker] Live data stopped";
}

// ---- ticks ---------------------------------------------------------------------------------

QString TradeJiniBroker::symbolFor(const QString& token, const QString& exchange)
{
    // Tokens are numbered per exchange: the stream's ticks are named by both, as subscribed.
    return token + QLatin1Char('_') + exchange;
}

void TradeJiniBroker::onWsTextMessage(const QString& message)
{
    qDebug() << "[TradeJiniBroker] Text message:" << message.left(500);
    const QJsonDocument doc = QJsonDocument::fromJson(message.toUtf8());
    if (doc.isObject())
        processJsonMessage(doc.object());
}

void TradeJiniBroker::processJsonMessage(const QJsonObject& object)
{
    const QString type = object.value(QLatin1String("msgType")).toString();
    if (type == QLatin1String("PING")) {
        qDebug() << "[TradeJiniBroker] Received pong (PING response)";
        return;
    }
    if (type != QLatin1String("L1"))
        return;
    TickData tick;
    QString keyExchange;
    const auto name = [this](const QString& token, const QString& exchange) {
        const QString s = symbolRepository ? symbolRepository->symbolForExchangeToken(exchange, token) : QString();
        return s.isEmpty() ? token : s;
    };
    if (!TradeJiniDecoder::tickFromL1Json(object, name, now(), tick, keyExchange))
        return;
    if (!settingsManager || keyExchange.isEmpty() || settingsManager->isWithinMarketHours(keyExchange, tick.timestamp)) {
        emit tickReceived(tick);
        qDebug() << "[TradeJiniBroker] Emitted tick for" << tick.symbol << "price=" << tick.ltp;
    } else {
        qDebug() << "[TradeJiniBroker] Tick outside market hours for" << keyExchange << "at"
                 << tick.timestamp.toString(QStringLiteral("HH:mm:ss")) << "- skipping";
    }
}

void TradeJiniBroker::logL1Packet(const DecoderNote& note)
{
    qCDebug(tickLog) << "[TradeJiniBroker] Parsing L1 packet, size:" << note.a;
    // The first few large packets of the process are dumped: enough to see the layout without
    // flooding the log.
    static int dumped = 0;
    if (note.bytes.isEmpty() || dumped >= 3)
        return;
    ++dumped;
    qCDebug(tickLog) << "[TradeJiniBroker] Large packet (" << note.a << "bytes) - HEX DUMP:";
    QString hex;
    for (int i = 0; i < note.bytes.size(); ++i) {
        hex += QStringLiteral("%1 ").arg(quint8(note.bytes[i]), 2, 16, QLatin1Char('0'));
        if (i % 16 == 15)
            hex += QLatin1Char('\n');
    }
    qCDebug(tickLog).noquote() << hex;
}

void TradeJiniBroker::onWsBinaryMessage(const QByteArray& message)
{
    decoder.setTracing(tickLog().isDebugEnabled());
    const DecodedFrame frame = decoder.decode(message, clock ? clock().toMSecsSinceEpoch() : TickClock::nowMSecs());
    for (const DecoderNote& n : frame.notes)
        logL1Packet(n);
    for (const DecoderEvent& e : frame.events) {
        switch (e.kind) {
        case DecoderEvent::Malformed:
        case DecoderEvent::UnknownPacket:
            qDebug().noquote() << "[TradeJiniBroker]" << e.text;
            break;
        case DecoderEvent::Heartbeat:
            qDebug() << "[TradeJiniBroker] Received PING response";
            break;
        default:
            break;
        }
    }
    QPointer<TradeJiniBroker> alive(this);
    for (TickData t : frame.ticks) {
        t.symbol = symbolFor(t.token, t.exchange);
        emit tickReceived(t);
        if (!alive)
            return;
    }
}

// ---- history -------------------------------------------------------------------------------

void TradeJiniBroker::requestIntradayData(const QString& symbol, const QString& interval)
{
    const QDate today = now().date();
    requestHistoricalData(symbol, today, today, interval);
}

void TradeJiniBroker::requestHistoricalData(const QString& symbol, const QDate& from, const QDate& to,
                                            const QString& interval)
{
    requestHistoryRange(symbol, from, to, interval, nullptr, 0);
}

void TradeJiniBroker::requestHistoryRange(const QString& symbol, const QDate& from, const QDate& to,
                                          const QString& interval, const std::shared_ptr<HistoryBatch>& batch,
                                          int part)
{
    // The request's own tag; the chunks of a long range answer through the batch, which keeps it.
    const quint64 tag = batch ? 0 : takeHistoryTag();
    const QString day = QStringLiteral("yyyy-MM-dd");
    qDebug() << "[TradeJiniBroker] requestHistoricalData called with FROM:" << from.toString(day)
             << "TO:" << to.toString(day) << "Symbol:" << symbol;
    if (accessToken.isEmpty()) {
        const QString msg = QStringLiteral("TradeJini access token not configured. Please authenticate first.");
        qWarning() << "[TradeJiniBroker]" << msg;
        failHistoryPart(batch, part, tag, symbol, msg);
        return;
    }
    const QString reported = reportedSymbol(symbol);
    const auto chunks = TradeJiniHistory::chunkRange(from, to);
    if (chunks.size() > 1 && !batch) {
        qDebug() << "[TradeJiniBroker] Large date range detected (" << from.daysTo(to)
                 << "days). Splitting into 30-day chunks...";
        // Every chunk is counted before the first goes out: one that fails at once must not
        // close the batch early.
        QPointer<TradeJiniBroker> self(this);
        // The merged bars are named as a single request names them.
        const auto gathered = HistoryBatch::create(
            chunks.size(), reported,
            [self, n = chunks.size(), tag](const QString& name, const QList<OHLCData>& bars) {
                if (!self)
                    return;
                qDebug() << "[TradeJiniBroker] Merged" << bars.size() << "historical candles from" << n
                         << "chunks for" << name;
                self->answerHistory(tag, name, bars);
            },
            [self, tag, reported](const QString& message) {
                if (self)
                    self->failHistory(tag, reported, message);
            });
        int n = 1;
        for (const auto& c : chunks) {
            qDebug() << "[TradeJiniBroker] Chunk" << n << ":" << c.first.toString(day) << "to" << c.second.toString(day);
            requestHistoryRange(symbol, c.first, c.second, interval, gathered, n - 1);
            ++n;
        }
        return;
    }

    QString token;
    bool numeric = false;
    symbol.toInt(&numeric);
    if (numeric) {
        token = symbol;
    } else if (symbolRepository) {
        token = symbolRepository->tokenForSymbol(symbol);
        if (token.isEmpty()) {
            failHistoryPart(batch, part, tag, symbol, QStringLiteral("No token found for symbol: %1").arg(symbol));
            return;
        }
    } else {
        token = symbol;
    }
    const IndianSymbolData record = symbolRepository ? symbolRepository->findByToken(token) : IndianSymbolData();
    if (record.exchange.isEmpty()) {
        failHistoryPart(batch, part, tag, symbol, QStringLiteral("Cannot find exchange for token: %1").arg(token));
        return;
    }
    qDebug() << "[TradeJiniBroker] Historical request - Token:" << token << "Symbol:" << record.symbol
             << "Exchange:" << record.exchange << "InstrumentType:" << record.instrumentType
             << "Requested Interval:" << interval;
    qDebug() << "[TradeJiniBroker] Using interval: 1 minute (TradeJini only supports 1-minute data)";

    const QString id = TradeJiniHistory::instrumentId(record, now().date());
    const qint64 fromTs = TradeJiniHistory::fromEpoch(from);
    const qint64 toTs = TradeJiniHistory::toEpoch(to);
    const QString stamp = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    qDebug() << "[TradeJiniBroker] Timestamps - FROM:" << fromTs << "("
             << QDateTime::fromSecsSinceEpoch(fromTs).toString(stamp) << ")"
             << "TO:" << toTs << "(" << QDateTime::fromSecsSinceEpoch(toTs).toString(stamp) << ")";

    const QString url = restBaseUrl + TradeJiniHistory::requestPath(id, from, to);
    QNetworkRequest req{QUrl(url)};
    req.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    req.setRawHeader("Authorization", "Bearer " + credential().toUtf8());
    qDebug() << "[TradeJiniBroker] Requesting historical data from" << url;
    qDebug() << "[TradeJiniBroker] Authorization format:" << (apiKey.isEmpty() ? "token only" : "apikey:token");
    QNetworkReply* reply = networkManager->get(req);
    reply->setProperty("symbol", reported);
    reply->setProperty("token", token);
    reply->setProperty("historyTag", tag);
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, batch, part] { onHistoricalReplyFinished(reply, batch, part); });
}

QString TradeJiniBroker::reportedSymbol(const QString& symbol) const
{
    // A numeric token the repository knows is reported under its trading symbol.
    bool numeric = false;
    symbol.toInt(&numeric);
    if (!numeric || !symbolRepository)
        return symbol;
    const QString known = symbolRepository->symbolForToken(symbol);
    return known.isEmpty() ? symbol : known;
}

void TradeJiniBroker::onHistoricalReplyFinished(QNetworkReply* reply, const std::shared_ptr<HistoryBatch>& batch,
                                                int part)
{
    const QString symbol = reply->property("symbol").toString();
    const quint64 tag = reply->property("historyTag").toULongLong();
    const QByteArray body = reply->readAll();
    qDebug() << "[TradeJiniBroker] Historical response size:" << body.size() << "bytes";
    qDebug() << "[TradeJiniBroker] Response body:" << ConnectorText::clipped(QString::fromUtf8(body), 1000);
    if (reply->error() != QNetworkReply::NoError) {
        const QString msg = QStringLiteral("Historical data request failed for %1: %2").arg(symbol, reply->errorString());
        qWarning() << "[TradeJiniBroker]" << msg;
        qWarning() << "[TradeJiniBroker] HTTP status:" << reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        reply->deleteLater();
        failHistoryPart(batch, part, tag, symbol, msg);
        return;
    }
    reply->deleteLater();
    const TradeJiniHistory::Reply r = TradeJiniHistory::parseReply(body, symbol);
    if (!r.parsed) {
        const QString msg = QStringLiteral("Failed to parse historical data: %1").arg(r.error);
        qWarning() << "[TradeJiniBroker]" << msg;
        failHistoryPart(batch, part, tag, symbol, msg);
        return;
    }
    if (r.brokerError) {
        failHistoryPart(batch, part, tag, symbol, QStringLiteral("TradeJini error: %1").arg(r.error));
        return;
    }
    qDebug() << "[TradeJiniBroker] Parsed" << r.bars.size() << "historical candles for" << symbol;
    if (!r.bars.isEmpty()) {
        const QString stamp = QStringLiteral("yyyy-MM-dd HH:mm:ss");
        qDebug() << "[TradeJiniBroker] First candle:" << r.bars.first().timestamp.toString(stamp);
        qDebug() << "[TradeJiniBroker] Last candle:" << r.bars.last().timestamp.toString(stamp);
    }
    if (!batch) {
        answerHistory(tag, symbol, r.bars);
        return;
    }
    batch->partArrived(part, r.bars);
}

void TradeJiniBroker::failHistoryPart(const std::shared_ptr<HistoryBatch>& batch, int part, quint64 tag,
                                      const QString& symbol, const QString& message)
{
    if (!batch) {
        failHistory(tag, symbol, message);
        return;
    }
    batch->partFailed(part, message);
}

// ---- symbol store --------------------------------------------------------------------------

void TradeJiniBroker::loadSymbolGroups()
{
    const QString url = restBaseUrl + QStringLiteral("/v2/api/mkt-data/scrips/symbol-store?version=0");
    QNetworkRequest req{QUrl(url)};
    req.setRawHeader("Authorization", "Bearer " + accessToken.toUtf8());
    qDebug() << "[TradeJiniBroker] Loading symbol groups from:" << url;
    QNetworkReply* reply = networkManager->get(req);
    connect(reply, &QNetworkReply::finished, this, &TradeJiniBroker::onSymbolGroupsReplyFinished);
}

void TradeJiniBroker::loadSymbolData(const QString& scripGroup)
{
    // One path segment: a '/', '?' or '#' in the name must not change the request.
    const QByteArray url = (restBaseUrl + QStringLiteral("/v2/api/mkt-data/scrips/symbol-store/")).toUtf8()
        + QUrl::toPercentEncoding(scripGroup);
    QNetworkRequest req{QUrl::fromEncoded(url)};
    req.setRawHeader("Authorization", "Bearer " + accessToken.toUtf8());
    req.setRawHeader("Accept", "text/plain");
    qDebug() << "[TradeJiniBroker] Loading symbol data for group:" << scripGroup;
    QNetworkReply* reply = networkManager->get(req);
    reply->setProperty("scripGroup", scripGroup);
    connect(reply, &QNetworkReply::finished, this, &TradeJiniBroker::onSymbolDataReplyFinished);
}

void TradeJiniBroker::onSymbolGroupsReplyFinished()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        const QString error = QStringLiteral("Failed to load symbol groups: %1").arg(reply->errorString());
        qDebug() << "[TradeJiniBroker]" << error;
        emit symbolLoadError(error);
        return;
    }
    const TradeJiniSymbolStore::Groups g = TradeJiniSymbolStore::parseGroups(reply->readAll());
    if (!g.valid) {
        emit symbolLoadError(QStringLiteral("Invalid JSON response for symbol groups"));
        return;
    }
    if (!g.ok) {
        emit symbolLoadError(QStringLiteral("Symbol groups request failed"));
        return;
    }
    qDebug() << "[TradeJiniBroker] Symbol groups loaded - Version:" << g.version << "Updated:" << g.updated;
    qDebug() << "[TradeJiniBroker] Available groups:" << g.groups.size();
    emit symbolGroupsLoaded(g.groups, g.version);
}

void TradeJiniBroker::onSymbolDataReplyFinished()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    const QString group = reply->property("scripGroup").toString();
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        const QString error = QStringLiteral("Failed to load symbol data for %1: %2").arg(group, reply->errorString());
        qDebug() << "[TradeJiniBroker]" << error;
        emit symbolLoadError(error);
        return;
    }
    const QByteArray body = reply->readAll();
    if (TradeJiniSymbolStore::isTextForm(reply->rawHeader("Content-Type"))) {
        int lines = 0;
        const QStringList rows = TradeJiniSymbolStore::parseTextRows(body, &lines);
        qDebug() << "[TradeJiniBroker] Parsing CSV data for" << group << "- Lines:" << lines;
        qDebug() << "[TradeJiniBroker] Loaded" << rows.size() << "symbols for group:" << group;
        emit symbolDataLoaded(group, rows);
        return;
    }
    QStringList rows;
    if (!TradeJiniSymbolStore::parseJsonRows(body, rows)) {
        emit symbolLoadError(QStringLiteral("Invalid response format for group %1").arg(group));
        return;
    }
    qDebug() << "[TradeJiniBroker] Loaded" << rows.size() << "symbols (JSON) for group:" << group;
    emit symbolDataLoaded(group, rows);
}
