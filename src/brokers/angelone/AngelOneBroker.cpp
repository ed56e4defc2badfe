// AngelOne connector: stream life cycle, subscriptions, ticks, history and scrip master.
#include "brokers/angelone/AngelOneBroker.h"

#include "brokers/BrokerHosts.h"
#include "brokers/ConnectorText.h"
#include "brokers/StreamLinkWatch.h"
#include "brokers/StreamSocketClient.h"
#include "brokers/angelone/AngelOneAuth.h"
#include "brokers/angelone/AngelOneHistory.h"
#include "brokers/angelone/AngelOneScripMaster.h"
#include "core/SettingsManager.h"
#include "core/TickClock.h"
#include "symbols/SymbolRepository.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

namespace {

// The text before the first colon of an exchange-qualified entry, else NSE.
QString exchangePrefix(const QString& entry)
{
    const int colon = entry.indexOf(QLatin1Char(':'));
    return colon >= 0 ? entry.left(colon) : QStringLiteral("NSE");
}

}  // namespace

AngelOneBroker::AngelOneBroker(QObject* parent)
    : IBroker(parent),
      m_auth(new AngelOneAuth(this)),
      m_heartbeatTimer(new QTimer(this)),
      m_linkWatch(new StreamLinkWatch(this)),
      m_networkManager(new QNetworkAccessManager(this)),
      m_restBaseUrl(BrokerHosts::angelOneRest()),
      m_streamBaseUrl(BrokerHosts::angelOneStream()),
      m_scripMasterBaseUrl(BrokerHosts::angelOneScripMaster())
{
    m_subscriptions = new SubscriptionBatch([this] { return streamOpen(); },
                                            [this](const SubscriptionBatch::Change& c) { sendSubscriptionChange(c); }, this);
    connect(m_heartbeatTimer, &QTimer::timeout, this, &AngelOneBroker::sendHeartbeat);
    connect(m_linkWatch, &StreamLinkWatch::expired, this, &AngelOneBroker::onLinkExpired);
}

void AngelOneBroker::setLinkTimeouts(int handshakeMs, int silenceMs)
{
    m_linkWatch->setTimeouts(handshakeMs, silenceMs);
}

AngelOneBroker::~AngelOneBroker()
{
    // The socket has no parent: a deferred deletion may never run once the event loop is gone.
    if (m_webSocket) {
        disconnect(m_webSocket, nullptr, this, nullptr);
        m_webSocket->close(QWebSocketProtocol::CloseCodeNormal, QString());
        delete m_webSocket;
        m_webSocket = nullptr;
    }
    disconnectFromBroker();
}

void AngelOneBroker::setSymbolRepository(SymbolRepository* repository)
{
    m_symbolRepository = repository;
}

void AngelOneBroker::setSettingsManager(SettingsManager* settings)
{
    m_settingsManager = settings;
}

QDateTime AngelOneBroker::now() const
{
    return m_clock ? m_clock() : QDateTime::currentDateTime();
}

void AngelOneBroker::initialize(const QMap<QString, QString>& config)
{
    m_apiKey = config.value(QStringLiteral("api_key"));
    m_clientCode = config.value(QStringLiteral("client_code"));
    m_jwtToken = config.value(QStringLiteral("jwt_token"));
    m_feedToken = config.value(QStringLiteral("feed_token"));
    m_auth->setApiKey(m_apiKey);
    m_auth->setClientCode(m_clientCode);
    qInfo() << "[AngelOneBroker] Initialized with config";
}

// ---- stream life cycle ---------------------------------------------------------------------

void AngelOneBroker::releaseSocket()
{
    m_linkWatch->stop();
    if (!m_webSocket)
        return;
    // Cut the old socket off first: its late disconnect or error must not clear the state of
    // the connection that replaces it.
    disconnect(m_webSocket, nullptr, this, nullptr);
    endStreamSocket(m_webSocket);
    m_webSocket = nullptr;
}

void AngelOneBroker::connectToBroker()
{
    releaseSocket();
    m_decoder.reset();
    if (m_connected) {
        // The replaced connection's own notification can no longer arrive.
        m_connected = false;
        m_heartbeatTimer->stop();
        emit connectionStatusChanged(false);
    }
    if (m_feedToken.isEmpty()) {
        qWarning() << "[AngelOneBroker] Feed token is empty, cannot connect";
        m_lastError = QStringLiteral("Feed token not available");
        emit connectionStatusChanged(false);
        emit errorOccurred(m_lastError);
        return;
    }
    m_webSocket = new QWebSocket(QString(), QWebSocketProtocol::Version13, nullptr);
    connect(m_webSocket, &QWebSocket::connected, this, &AngelOneBroker::onWebSocketConnected);
    connect(m_webSocket, &QWebSocket::disconnected, this, &AngelOneBroker::onWebSocketDisconnected);
    connect(m_webSocket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            &AngelOneBroker::onWebSocketError);
    connect(m_webSocket, &QWebSocket::textMessageReceived, this, &AngelOneBroker::onWebSocketTextMessageReceived);
    connect(m_webSocket, &QWebSocket::binaryMessageReceived, this, &AngelOneBroker::onWebSocketBinaryMessageReceived);

    // Credentials travel in the query only. Each value is encoded on its own, so a '&', '#' or
    // '+' inside one cannot cut or alter the others.
    const auto enc = [](const QString& v) { return QString::fromLatin1(QUrl::toPercentEncoding(v)); };
    const QString url = m_streamBaseUrl
        + QStringLiteral("/smart-stream?clientCode=%1&feedToken=%2&apiKey=%3")
              .arg(enc(m_clientCode), enc(m_feedToken), enc(m_apiKey));
    qInfo() << "[AngelOneBroker] Connecting to WebSocket...";
    m_linkWatch->watch(m_webSocket);
    m_webSocket->open(QUrl(url, QUrl::TolerantMode));
}

void AngelOneBroker::disconnectFromBroker()
{
    releaseSocket();
    m_heartbeatTimer->stop();
    m_connected = false;
}

bool AngelOneBroker::streamOpen() const
{
    return m_webSocket && m_connected;
}

void AngelOneBroker::onWebSocketConnected()
{
    if (sender() != m_webSocket)
        return;
    qInfo() << "[AngelOneBroker] WebSocket connected";
    m_subscriptions->clear();
    m_connected = true;
    m_lastError = QString();
    emit connectionStatusChanged(true);
    m_heartbeatTimer->start(m_heartbeatIntervalMs);
}

void AngelOneBroker::onWebSocketDisconnected()
{
    if (sender() != m_webSocket)
        return;
    qInfo() << "[AngelOneBroker] WebSocket disconnected";
    m_connected = false;
    m_heartbeatTimer->stop();
    const QString problem = StreamLinkWatch::closeProblem(m_webSocket);
    emit connectionStatusChanged(false);
    if (!problem.isEmpty()) {
        m_lastError = problem;
        qWarning() << "[AngelOneBroker]" << problem;
        emit errorOccurred(problem);
    }
}

void AngelOneBroker::onLinkExpired(const QString& reason)
{
    // The stream is not reopened here: the drop is reported and the user reconnects.
    releaseSocket();
    m_heartbeatTimer->stop();
    m_connected = false;
    m_lastError = reason;
    qWarning() << "[AngelOneBroker]" << reason;
    emit connectionStatusChanged(false);
    emit errorOccurred(reason);
}

void AngelOneBroker::onWebSocketError(QAbstractSocket::SocketError)
{
    if (sender() != m_webSocket)
        return;
    m_lastError = m_webSocket ? m_webSocket->errorString() : QStringLiteral("Unknown error");
    qWarning() << "[AngelOneBroker] WebSocket error:" << m_lastError;
    emit connectionStatusChanged(false);
    emit errorOccurred(m_lastError);
}

void AngelOneBroker::sendHeartbeat()
{
    if (!streamOpen())
        return;
    m_webSocket->sendTextMessage(QStringLiteral("ping"));
    qDebug() << "[AngelOneBroker] Heartbeat (ping) sent";
}

void AngelOneBroker::onWebSocketTextMessageReceived(const QString& message)
{
    if (sender() != m_webSocket)
        return;
    if (message == QLatin1String("pong")) {
        qDebug() << "[AngelOneBroker] Heartbeat response received (pong)";
        return;
    }
    const QJsonDocument doc = QJsonDocument::fromJson(message.toUtf8());
    if (!doc.isObject()) {
        qWarning() << "[AngelOneBroker] Invalid JSON message:" << message.left(500);
        return;
    }
    handleTextMessage(doc.object());
}

void AngelOneBroker::handleTextMessage(const QJsonObject& message)
{
    qDebug().noquote() << "[AngelOneBroker] WebSocket message:" << ConnectorText::compactJson(message).left(1000);
}

void AngelOneBroker::onWebSocketBinaryMessageReceived(const QByteArray& message)
{
    if (sender() != m_webSocket)
        return;
    const DecodedFrame frame = m_decoder.decode(message, TickClock::nowMSecs());
    if (frame.hasEvent(DecoderEvent::Malformed)) {
        qWarning() << "[AngelOneBroker] Binary message too small:" << message.size() << "expected"
                   << AngelOneDecoder::kRecordSize;
        return;
    }
    if (!m_symbolRepository)
        return;
    // Receivers run before the next tick goes out; one of them may tear the connector down.
    QPointer<AngelOneBroker> alive(this);
    for (TickData t : frame.ticks) {
        // Tokens are numbered per exchange: the record's exchange type picks the instrument.
        IndianSymbolData record = m_symbolRepository->findByExchangeToken(t.exchange, t.token);
        // BSE currency contracts share the currency segment's type with NSE's.
        if (!record.isFound() && t.exchange == QLatin1String("CDS"))
            record = m_symbolRepository->findByExchangeToken(QStringLiteral("BCD"), t.token);
        if (!record.isFound()) {
            qDebug() << "[AngelOneBroker] Unknown token:" << t.token << "on" << t.exchange;
            continue;
        }
        t.symbol = record.symbol;
        emit tickReceived(t);
        if (!alive)
            return;
    }
}

// ---- subscriptions -------------------------------------------------------------------------

void AngelOneBroker::startLiveData()
{
    qDebug() << "[AngelOneBroker] Live data started";
}

void AngelOneBroker::stopLiveData()
{
    if (streamOpen())
        qDebug() << "[AngelOneBroker] Live data stopped";
}

QString AngelOneBroker::correlationId(qint64 epochMs)
{
    return QString::number(epochMs).right(10);
}

void AngelOneBroker::subscribeLiveData(const QString& symbol)
{
    subscribeLiveData(QStringList{symbol});
}

QString AngelOneBroker::subscriptionKey(const QString& entry, bool subscribing) const
{
    QString token;
    QString exchange = QStringLiteral("NSE");
    bool numeric = false;
    entry.toLongLong(&numeric, 10);
    if (subscribing && numeric) {
        token = entry;
        const QString known = m_symbolRepository->exchangeForToken(token);
        qDebug() << "[AngelOneBroker] Token:" << token << "Exchange from repo:" << known;
        if (known.isEmpty())
            qWarning() << "[AngelOneBroker] Token" << token << "not found in repository, defaulting to NSE";
        else
            exchange = known;
    } else {
        token = m_symbolRepository->tokenForSymbol(entry);
        exchange = exchangePrefix(entry);
        if (subscribing) {
            qDebug() << "[AngelOneBroker] Looking up symbol:" << entry << "-> Token:" << token;
        } else if (token.isEmpty() && numeric) {
            // Subscribing takes a bare number as the token itself; removing it must stop the same
            // stream, or its ticks keep coming for a row that is gone.
            token = entry;
            const QString known = m_symbolRepository->exchangeForToken(token);
            if (!known.isEmpty())
                exchange = known;
        }
    }
    if (token.isEmpty())
        return QString();
    return QString::number(AngelOneDecoder::exchangeType(exchange)) + QLatin1Char('|') + token;
}

void AngelOneBroker::subscribeLiveData(const QStringList& symbols)
{
    if (!streamOpen()) {
        qWarning() << "[AngelOneBroker] Not connected, cannot subscribe";
        m_lastError = QStringLiteral("Not connected to broker");
        return;
    }
    if (!m_symbolRepository) {
        qWarning() << "[AngelOneBroker] SymbolRepository not set";
        m_lastError = QStringLiteral("SymbolRepository not set");
        return;
    }
    QStringList keys;
    for (const QString& entry : symbols) {
        const QString key = subscriptionKey(entry, true);
        if (key.isEmpty()) {
            qWarning() << "[AngelOneBroker] Failed to find token for symbol:" << entry;
            continue;
        }
        qDebug() << "[AngelOneBroker] Subscribing:" << entry << "Token:" << key.section(QLatin1Char('|'), 1)
                 << "Exchange:" << key.section(QLatin1Char('|'), 0, 0).toInt();
        keys << key;
    }
    // The calls of one event-loop turn go out as one message each way.
    m_subscriptions->add(keys);
}

namespace {

// "tokenList" of a request: one group per exchange type, in the order its first token was met,
// tokens in input order.
QJsonArray tokenGroups(const QStringList& keys)
{
    QVector<int> types;
    QVector<QJsonArray> groups;
    for (const QString& key : keys) {
        const int type = key.section(QLatin1Char('|'), 0, 0).toInt();
        const QString token = key.section(QLatin1Char('|'), 1);
        const int at = types.indexOf(type);
        if (at >= 0) {
            groups[at].append(token);
        } else {
            types.append(type);
            groups.append(QJsonArray{token});
        }
    }
    QJsonArray tokenList;
    for (int i = 0; i < types.size(); ++i)
        tokenList.append(QJsonObject{{QStringLiteral("exchangeType"), types.at(i)}, {QStringLiteral("tokens"), groups.at(i)}});
    return tokenList;
}

}  // namespace

void AngelOneBroker::sendSubscriptionChange(const SubscriptionBatch::Change& change)
{
    if (!change.removed.isEmpty()) {
        const QJsonObject request{
            {QStringLiteral("action"), 0},
            {QStringLiteral("params"),
             QJsonObject{{QStringLiteral("mode"), 3}, {QStringLiteral("tokenList"), tokenGroups(change.removed)}}}};
        m_webSocket->sendTextMessage(ConnectorText::compactJson(request));
    }
    if (change.added.isEmpty())
        return;
    const QJsonObject request{
        {QStringLiteral("correlationID"), correlationId(now().toMSecsSinceEpoch())},
        {QStringLiteral("action"), 1},
        {QStringLiteral("params"),
         QJsonObject{{QStringLiteral("mode"), 3}, {QStringLiteral("tokenList"), tokenGroups(change.added)}}}};
    const QString text = ConnectorText::compactJson(request);
    qDebug() << "[AngelOneBroker] Sending subscription:" << text.left(1000);
    m_webSocket->sendTextMessage(text);
}

void AngelOneBroker::unsubscribeLiveData(const QString& symbol)
{
    if (!streamOpen())
        return;
    if (!m_symbolRepository) {
        qWarning() << "[AngelOneBroker] SymbolRepository not set";
        return;
    }
    const QString key = subscriptionKey(symbol, false);
    if (!key.isEmpty())
        m_subscriptions->remove({key});
}

// ---- history -------------------------------------------------------------------------------

QString AngelOneBroker::exchangeSegmentName(const QString& exchange) const
{
    return AngelOneHistory::exchangeSegmentName(exchange);
}

QString AngelOneBroker::mapInterval(const QString& interval) const
{
    bool known = false;
    const QString name = AngelOneHistory::mapInterval(interval, &known);
    if (!known)
        qWarning() << "[AngelOneBroker] Unknown interval:" << interval << "defaulting to ONE_MINUTE";
    return name;
}

QNetworkRequest AngelOneBroker::smartApiRequest(const QString& path) const
{
    QNetworkRequest req = AngelOneAuth::smartApiRequest(QUrl(m_restBaseUrl + path), m_apiKey, m_jwtToken);
    req.setTransferTimeout(m_transferTimeoutMs);
    return req;
}

void AngelOneBroker::requestIntradayData(const QString& symbol, const QString& interval)
{
    const QDate today = now().date();
    requestHistoricalData(symbol, today, today, interval);
}

void AngelOneBroker::requestHistoricalData(const QString& symbol, const QDate& from, const QDate& to,
                                           const QString& interval)
{
    const quint64 tag = takeHistoryTag();
    const QString fromDate = AngelOneHistory::fromDateText(from);
    const QString toDate = AngelOneHistory::toDateText(to);
    if (!m_symbolRepository) {
        failHistoryRequest(tag, symbol, QStringLiteral("no instrument list loaded"));
        return;
    }
    QString exchange = QStringLiteral("NSE");
    QString token;
    QString displaySymbol;
    bool numeric = false;
    symbol.toLongLong(&numeric, 10);
    if (numeric) {
        token = symbol;
        const IndianSymbolData record = m_symbolRepository->findByToken(symbol);
        if (!record.exchange.isEmpty()) {
            exchange = record.exchange;
            displaySymbol = record.symbol;
        } else {
            displaySymbol = symbol;
        }
    } else if (symbol.contains(QLatin1Char(':'))) {
        exchange = exchangePrefix(symbol);
        displaySymbol = symbol;
        token = m_symbolRepository->tokenForSymbol(symbol);
    } else {
        displaySymbol = symbol;
        token = m_symbolRepository->tokenForSymbol(symbol);
    }
    if (token.isEmpty()) {
        failHistoryRequest(tag, symbol, QStringLiteral("not in the instrument list"));
        return;
    }

    const QString path = QStringLiteral("/rest/secure/angelbroking/historical/v1/getCandleData");
    const QString mapped = mapInterval(interval);
    const QByteArray body =
        AngelOneHistory::requestBody(exchangeSegmentName(exchange), token, mapped, fromDate, toDate);
    const QNetworkRequest req = smartApiRequest(path);
    qDebug() << "[AngelOneBroker] Requesting historical data:";
    qDebug() << "  URL:" << req.url().toString();
    qDebug() << "  Token:" << token << "Exchange:" << exchange << "Interval:" << interval;
    qDebug() << "  Mapped interval:" << mapped;
    qDebug().noquote() << "  Request body:" << QString::fromUtf8(body);
    QNetworkReply* reply = m_networkManager->post(req, body);
    reply->setProperty("symbol", symbol);
    reply->setProperty("displaySymbol", displaySymbol);
    reply->setProperty("token", token);
    reply->setProperty("exchange", exchange);
    reply->setProperty("interval", interval);
    reply->setProperty("fromdate", fromDate);
    reply->setProperty("todate", toDate);
    reply->setProperty("historyTag", tag);
    connect(reply, &QNetworkReply::finished, this, &AngelOneBroker::onHistoricalDataReplyFinished);
}

void AngelOneBroker::onHistoricalDataReplyFinished()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    const QString symbol = reply->property("symbol").toString();
    const QString displaySymbol = reply->property("displaySymbol").toString();
    const QString interval = reply->property("interval").toString();
    const quint64 tag = reply->property("historyTag").toULongLong();
    reply->deleteLater();
    const QByteArray body = reply->readAll();
    if (reply->error() != QNetworkReply::NoError) {
        // A refusal with an HTTP status may still carry the service's own reason.
        failHistoryRequest(tag, symbol, AngelOneHistory::refusalText(body, reply->errorString()));
        return;
    }
    const AngelOneHistory::Candles c = AngelOneHistory::parseCandles(body, displaySymbol);
    if (!c.ok) {
        // An expired session comes as a well-formed reply with "status": false; taken for an
        // empty range it would look like a download that worked.
        failHistoryRequest(tag, symbol, AngelOneHistory::refusalText(body, QStringLiteral("unreadable reply")));
        return;
    }
    if (!c.firstRow.isEmpty()) {
        qDebug() << "[AngelOneBroker] First candle raw data:";
        for (int i = 0; i < c.firstRow.size(); ++i)
            qDebug() << "  [" << i << "]" << c.firstRow.at(i).left(100);
    }
    if (c.badTimes > 0)
        qWarning() << "[AngelOneBroker] Skipped" << c.badTimes << "candles without a valid time for" << displaySymbol;
    qInfo() << "[AngelOneBroker] Historical data received:" << displaySymbol << c.bars.size() << "bars";
    qDebug() << "[AngelOneBroker] First 3 historical bars:";
    for (int i = 0; i < qMin(3, c.bars.size()); ++i) {
        const OHLCData& b = c.bars.at(i);
        qDebug() << "  [" << i << "]" << b.timestamp.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
                 << "isValid:" << (b.timestamp.isValid() ? "true" : "false") << "O:" << b.open << "H:" << b.high
                 << "L:" << b.low << "C:" << b.close << "V:" << b.volume;
    }
    const QString exchange = reply->property("exchange").toString();
    if (AngelOneHistory::hasOpenInterest(exchange) && !c.bars.isEmpty()) {
        qDebug() << "[AngelOneBroker] F&O contract detected, fetching OI data...";
        requestOIData(symbol, displaySymbol, reply->property("token").toString(), exchange, interval,
                      reply->property("fromdate").toString(), reply->property("todate").toString(), c.bars, tag);
        return;
    }
    answerHistory(tag, symbol, c.bars);
}

void AngelOneBroker::failHistoryRequest(quint64 tag, const QString& symbol, const QString& reason)
{
    const QString message = QStringLiteral("AngelOne history error for %1: %2").arg(symbol.left(64), reason);
    qWarning().noquote() << "[AngelOneBroker]" << message;
    m_lastError = message;
    failHistory(tag, symbol, message);
}

void AngelOneBroker::requestOIData(const QString& symbol, const QString& displaySymbol, const QString& token,
                                   const QString& exchange, const QString& interval, const QString& fromDate,
                                   const QString& toDate, const QList<OHLCData>& candles, quint64 tag)
{
    const QByteArray body = AngelOneHistory::requestBody(exchangeSegmentName(exchange), token, mapInterval(interval),
                                                         fromDate, toDate);
    qDebug() << "[AngelOneBroker] Requesting OI data - Token:" << token << "Exchange:" << exchange;
    QNetworkReply* reply =
        m_networkManager->post(smartApiRequest(QStringLiteral("/rest/secure/angelbroking/historical/v1/getOIData")), body);
    reply->setProperty("symbol", symbol);
    reply->setProperty("displaySymbol", displaySymbol);
    reply->setProperty("ohlcData", QVariant::fromValue(candles));
    reply->setProperty("historyTag", tag);
    connect(reply, &QNetworkReply::finished, this, &AngelOneBroker::onOIDataReplyFinished);
}

void AngelOneBroker::onOIDataReplyFinished()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    const QString symbol = reply->property("symbol").toString();
    const QVariant carried = reply->property("ohlcData");
    QList<OHLCData> bars = carried.canConvert<QList<OHLCData>>() ? carried.value<QList<OHLCData>>() : QList<OHLCData>();
    const quint64 tag = reply->property("historyTag").toULongLong();
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        qWarning() << "[AngelOneBroker] OI data request failed:" << reply->errorString();
        answerHistory(tag, symbol, bars);
        return;
    }
    const AngelOneHistory::OpenInterest oi = AngelOneHistory::parseOpenInterest(reply->readAll());
    if (!oi.ok) {
        qWarning() << "[AngelOneBroker] OI data error:" << oi.message;
        answerHistory(tag, symbol, bars);
        return;
    }
    qDebug() << "[AngelOneBroker] OI data received:" << oi.byTime.size() << "records";
    const int matched = AngelOneHistory::mergeOpenInterest(bars, oi.byTime);
    qDebug() << "[AngelOneBroker] Matched" << matched << "OI records with OHLC data";
    answerHistory(tag, symbol, bars);
}

// ---- scrip master --------------------------------------------------------------------------

void AngelOneBroker::downloadInstrumentList()
{
    qInfo() << "[AngelOneBroker] Downloading instrument list...";
    QNetworkRequest req{QUrl(m_scripMasterBaseUrl + QStringLiteral("/OpenAPI_File/files/OpenAPIScripMaster.json"))};
    req.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    req.setTransferTimeout(m_transferTimeoutMs);
    QNetworkReply* reply = m_networkManager->get(req);
    connect(reply, &QNetworkReply::finished, this, &AngelOneBroker::onInstrumentListReplyFinished);
}

void AngelOneBroker::onInstrumentListReplyFinished()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    QString error;
    AngelOneScripMaster::Result master;
    if (reply->error() != QNetworkReply::NoError) {
        error = QStringLiteral("Failed to download instrument list: %1").arg(reply->errorString());
    } else {
        master = AngelOneScripMaster::parse(reply->readAll());
        error = master.error;
    }
    if (!error.isEmpty()) {
        qWarning() << "[AngelOneBroker]" << error;
        m_lastError = error;
        emit errorOccurred(error);
        return;
    }
    qInfo() << "[AngelOneBroker] Downloaded" << master.elements << "instruments";
    if (!m_symbolRepository) {
        qWarning() << "[AngelOneBroker] Symbol repository not set, cannot store instruments";
        return;
    }
    for (const AngelOneScripMaster::Entry& e : qAsConst(master.entries))
        m_symbolRepository->addSymbol(e.key, e.token, e.exchange, e.instrumentType);
    qInfo() << "[AngelOneBroker] Successfully stored" << master.entries.size() << "instruments in repository";
    emit instrumentListDownloaded();
}
