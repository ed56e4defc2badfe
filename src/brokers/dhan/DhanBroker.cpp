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
    subscriptions = new SubscriptionBatch([this] { return connected && feedOpen(); },
                                          [this](const SubscriptionBatch::Change& c) {
                                              if (!c.added.isEmpty())
                                                  sendSubscriptions(c.added);
                                          },
                                          this);
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
    decoder.reset();
    // The service reads its credentials from the query exactly as given.
    const QString url =
        QStringLiteral("%1?version=2&token=%2&clientId=%3&authType=2").arg(feedBaseUrl, accessToken, clientId);
    qInfo() << "[DhanBroker] Connecting (IXWebSocket)";
    qDebug().noquote() << "[DhanBroker] Token:" << accessToken.left(4) + QStringLiteral("...")
                       << QStringLiteral("(len: %1)").arg(accessToken.size());
    qDebug() << "[DhanBroker] Client ID:" << clientId;
    QUrl feedUrl = QUrl::fromEncoded(url.toUtf8());
    // A bare host would give the request line an empty path ("GET ?version=2..."), which a strict
    // server refuses.
    if (feedUrl.path().isEmpty())
        feedUrl.setPath(QStringLiteral("/"));
    feed->setUrl(feedUrl);
    feed->setReconnectWaitRange(reconnectMinMs, reconnectMaxMs);
    feed->setLinkTimeouts(handshakeTimeoutMs, silenceTimeoutMs);
    setupWebSocketCallbacks();
    feed->start();
}

void DhanBroker::setupWebSocketCallbacks()
{
    const quint64 generation = feedGeneration;
    // Runs on the feed thread: it only logs and hands the frame to the GUI thread, where it is
    // decoded with the time of receipt; the broker's state is never touched here.
    feed->setOnMessageCallback([this, generation](const DhanFeedEvent& event) {
        if (event.type == DhanFeedEvent::Message) {
            if (event.binary)
                qCDebug(tickLog) << "[DhanBroker] Binary message:" << event.data.size() << "bytes";
            else
                qDebug() << "[DhanBroker] Text message:" << QString::fromUtf8(event.data.left(300));
            const QByteArray data = event.data;
            const bool binary = event.binary;
            QMetaObject::invokeMethod(
                this,
                [this, generation, data, binary] {
                    if (generation != feedGeneration)
                        return;
                    if (binary)
                        parseBinaryPacket(data);
                    else
                        parseTextMessage(data);
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
        const int waiting = subscriptions->waiting().size();
        if (waiting > 0)
            qDebug() << "[DhanBroker] Flushing" << waiting << "pending subscriptions";
        subscriptions->streamReplaced();
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
        // The socket's own texts ("Host not found", a refused handshake) do not say they are
        // about the stream; the prefix lets the window treat them as connection trouble.
        if (event.httpStatus == 401 || event.httpStatus == 403) {
            // The feed does not retry a refused upgrade: the token has to be renewed first.
            lastErrorText = QStringLiteral(
                                "Dhan feed connection error: Authentication failed, the feed refused the access "
                                "token (HTTP %1)")
                                .arg(event.httpStatus);
            qWarning() << "[DhanBroker] Authentication error - invalid or expired token";
            qWarning() << "[DhanBroker] You need to authenticate using the 'Authenticate' button in Settings.";
        } else {
            lastErrorText = QStringLiteral("Dhan feed connection error: %1").arg(event.reason);
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

IndianSymbolData DhanBroker::recordFor(const QString& symbol) const
{
    if (!symbolRepository)
        return {};
    return isInt32(symbol) ? symbolRepository->findByToken(symbol) : symbolRepository->findBySymbol(symbol);
}

void DhanBroker::sendSubscriptions(const QStringList& symbols)
{
    QList<QPair<QString, QString>> instruments;
    for (const QString& symbol : symbols) {
        QString segment = QStringLiteral("NSE_EQ");
        QString securityId;
        const IndianSymbolData record = recordFor(symbol);
        if (isInt32(symbol)) {
            securityId = symbol;
            qDebug() << "[DhanBroker] Using numeric security ID directly:" << securityId;
            if (record.isFound()) {
                qDebug() << "[DhanBroker] Resolved security ID" << securityId << "to symbol:" << record.symbol;
                segment = DhanHistory::segmentOf(record);
            }
        } else {
            securityId = record.token;
            if (securityId.isEmpty()) {
                qWarning() << "[DhanBroker] Could not find security ID for symbol:" << symbol;
                continue;
            }
            segment = DhanHistory::segmentOf(record);
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
    // What the feed carries or waits for already is not taken again; the rest goes out at the
    // end of this event-loop turn, or when the feed opens.
    int fresh = 0;
    for (const QString& s : symbols) {
        if (!subscriptions->isWanted(s)) {
            subscriptions->add({s});
            ++fresh;
        }
    }
    if (fresh > 0 && (!connected || !feedOpen()))
        qDebug() << "[DhanBroker] Queued batch subscriptions (not connected):" << fresh;
}

void DhanBroker::subscribeLiveData(const QString& symbol)
{
    subscribeLiveData(QStringList{symbol});
}

void DhanBroker::unsubscribeLiveData(const QString& symbol)
{
    subscriptions->remove({symbol});
}

// ---- ticks -----------------------------------------------------------------------------------

void DhanBroker::parseBinaryPacket(const QByteArray& data)
{
    decoder.setTracing(tickLog().isDebugEnabled());
    handleDecoded(decoder.decode(data, nowMSecs()), true);
}

void DhanBroker::parseTextMessage(const QByteArray& utf8)
{
    handleDecoded(decoder.decodeText(utf8, nowMSecs()), false);
}

void DhanBroker::handleDecoded(const DecodedFrame& frame, bool logFilter)
{
    for (const DecoderEvent& e : frame.events) {
        switch (e.kind) {
        case DecoderEvent::Acknowledged:
            qDebug() << "[DhanBroker] Subscription acknowledged";
            break;
        case DecoderEvent::Disconnect: {
            const QString message =
                QStringLiteral("Dhan feed disconnected by the server (reason %1: %2)").arg(e.code).arg(e.text);
            qWarning().noquote() << "[DhanBroker]" << message;
            lastErrorText = message;
            emit errorOccurred(message);
            break;
        }
        case DecoderEvent::UnknownPacket:
            qDebug().noquote() << "[DhanBroker] Binary message too short:" << e.text << "bytes, expected at least"
                               << DhanDecoder::kMinPacketSize;
            break;
        case DecoderEvent::Malformed:
            qDebug() << "[DhanBroker] JSON parse error:" << e.text;
            break;
        default:
            break;
        }
    }
    qint64 securityId = 0;
    double atp = 0;
    for (const DecoderNote& n : frame.notes) {
        if (n.what == DhanDecoder::kHeaderNote) {
            qCDebug(tickLog) << "[DhanBroker] Header - ResponseCode:" << n.a << "MsgLen:" << n.b << "ExchSeg:" << n.c
                             << "SecurityID:" << n.d;
            securityId = n.d;
            atp = n.x;
        } else if (n.what == DhanDecoder::kImplausibleTimeNote) {
            qCDebug(tickLog).noquote() << "[DhanBroker] Invalid timestamp from LTT epoch:" << n.a << "resulted in:"
                                       << QDateTime::fromSecsSinceEpoch(n.a).toString(QLatin1String(kTimeFormat))
                                       << "- using current time instead";
        }
    }
    // Receivers run before the next tick goes out; one of them may tear the connector down.
    QPointer<DhanBroker> alive(this);
    for (TickData tick : frame.ticks) {
        nameTick(tick);
        if (!frame.notes.isEmpty())
            qCDebug(tickLog) << "[DhanBroker] Full packet - SecurityID:" << securityId << "Symbol:" << tick.symbol
                             << "LTP:" << tick.ltp << "Open:" << tick.open << "High:" << tick.high << "Low:" << tick.low
                             << "Vol:" << tick.volume << "OI:" << tick.openInterest << "LTQ:" << tick.lastTradedQty
                             << "ATP:" << atp;
        emitTick(tick, logFilter);
        if (!alive)
            return;
    }
}

void DhanBroker::nameTick(TickData& tick) const
{
    // Security ids repeat across segments (an index and a share may have one number), so the
    // instrument is the one with this id in the packet's segment.
    const QString segment = tick.exchange;
    IndianSymbolData record;
    if (symbolRepository) {
        record = segment.isEmpty() ? symbolRepository->findByToken(tick.token)
                                   : symbolRepository->findByExchangeToken(segment, tick.token);
        // A record filed without a segment can only be matched by its exchange.
        if (!record.isFound() && !segment.isEmpty()) {
            const IndianSymbolData byExchange =
                symbolRepository->findByExchangeToken(DhanHistory::exchangeOfSegment(segment), tick.token);
            if (byExchange.segment.isEmpty())
                record = byExchange;
        }
    }
    if (record.isFound()) {
        tick.symbol = record.symbol;
        tick.exchange = record.exchange.isEmpty() ? DhanHistory::exchangeOfSymbol(record.symbol) : record.exchange;
        return;
    }
    // An id the master does not know still names its instrument rather than an empty ticker.
    tick.symbol = tick.token;
    tick.exchange = DhanHistory::exchangeOfSegment(segment);
}

bool DhanBroker::emitTick(const TickData& tick, bool logFilter)
{
    if (settingsManager && !tick.exchange.isEmpty()) {
        const bool within = settingsManager->isWithinMarketHours(tick.exchange, tick.timestamp);
        if (logFilter)
            qCDebug(tickLog) << "[DhanBroker] Market hours check - Exchange:" << tick.exchange
                     << "Time:" << tick.timestamp.toString(QLatin1String(kTimeFormat))
                     << "WithinHours:" << within;
        if (!within) {
            if (logFilter)
                qCDebug(tickLog) << "[DhanBroker] Tick FILTERED OUT - outside market hours";
            return false;
        }
    }
    if (logFilter)
        qCDebug(tickLog) << "[DhanBroker] Emitting tickReceived signal for" << tick.symbol << "token:" << tick.token
                 << "price:" << tick.ltp;
    emit tickReceived(tick);
    return true;
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
    const quint64 tag = takeHistoryTag();
    QString securityId;
    QString reported = symbol;
    const IndianSymbolData record = recordFor(symbol);
    if (!isInt32(symbol)) {
        securityId = record.token;
        if (securityId.isEmpty()) {
            failHistory(tag, symbol, QStringLiteral("Could not find security ID for symbol: %1").arg(symbol));
            return;
        }
        qInfo() << "[DhanBroker] Resolved symbol" << symbol << "to security ID:" << securityId;
    } else {
        securityId = symbol;
        if (record.isFound() && !record.symbol.isEmpty()) {
            reported = record.symbol;
            qInfo() << "[DhanBroker] Resolved security ID" << securityId << "to symbol:" << record.symbol;
        } else {
            qInfo() << "[DhanBroker] Using security ID (no symbol name found):" << securityId;
        }
    }

    // The master's own segment and instrument columns say what the instrument is; the name's
    // text is only a fallback for records that lack them.
    const DhanHistory::Instrument target =
        record.isFound() ? DhanHistory::instrumentOf(record) : DhanHistory::instrumentFor(reported);
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
    reply->setProperty("historyTag", tag);
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onHistoricalReplyFinished(reply); });
}

void DhanBroker::onHistoricalReplyFinished(QNetworkReply* reply)
{
    const QString symbol = reply->property("symbol").toString();
    const quint64 tag = reply->property("historyTag").toULongLong();
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        const QString message =
            QStringLiteral("Historical data request failed for %1: %2").arg(symbol, reply->errorString());
        qWarning() << "[DhanBroker]" << message;
        failHistory(tag, symbol, message);
        return;
    }
    const QByteArray body = reply->readAll();
    qInfo() << "[DhanBroker] Received historical data response:" << QString::fromUtf8(body.left(500));
    const DhanHistory::Reply parsed = DhanHistory::parseReply(body, symbol);
    if (!parsed.parsed) {
        failHistory(tag, symbol, QStringLiteral("Failed to parse historical data: %1").arg(parsed.error));
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
    answerHistory(tag, symbol, parsed.bars);
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
    QList<IndianSymbolData> records;
    records.reserve(rows.size());
    for (const DhanInstrumentList::Row& r : rows) {
        IndianSymbolData d;
        d.symbol = r.symbol;
        d.token = r.token;
        d.exchange = r.exchange;
        d.segment = r.segment;
        d.instrumentType = r.instrumentType;
        d.lotSize = 1;
        d.tickSize = 0.05f;
        records.append(d);
    }
    symbolRepository->addSymbols(records);
    qInfo() << "[DhanBroker] Parsed" << rows.size() << "instruments from Dhan master list";
    emit instrumentListDownloaded();
}
