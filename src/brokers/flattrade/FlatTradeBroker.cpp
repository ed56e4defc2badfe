// FlatTrade connector: stream session and keys, ticks from the decoder, and candle history.
#include "brokers/flattrade/FlatTradeBroker.h"

#include "brokers/BoundedRequest.h"
#include "brokers/BrokerHosts.h"
#include "brokers/ConnectorText.h"
#include "brokers/RequestPacer.h"
#include "brokers/StreamSocketClient.h"
#include "brokers/flattrade/FlatTradeHistory.h"
#include "core/TickClock.h"
#include "symbols/SymbolRepository.h"

#include <QDebug>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace {
constexpr int kSessionTimeoutMs = 5000;
constexpr int kHeartbeatMs = 30000;
// The published limit for data calls is 40 a second and 200 a minute: three a second stays
// inside both.
constexpr int kHistoryRequestsPerSecond = 3;
constexpr int kHistoryTimeoutMs = 60000;
}  // namespace

FlatTradeBroker::FlatTradeBroker(QObject* parent)
    : StreamBroker("[FlatTradeBroker]", QStringLiteral("FlatTrade"), parent),
      restBaseUrl(BrokerHosts::flatTradeRest()),
      sessionTimer(new QTimer(this)),
      networkManager(new QNetworkAccessManager(this)),
      historyPacer(new RequestPacer(kHistoryRequestsPerSecond, this)),
      historyTimeoutMs(kHistoryTimeoutMs)
{
    wsUrl = defaultStreamUrl();
    // The broker's keep-alive is a text message; a WebSocket ping frame alone does not count.
    stream->setPingMessage(QStringLiteral("{\"t\":\"h\"}"));
    stream->setPingInterval(kHeartbeatMs);
    sessionTimer->setSingleShot(true);
    sessionTimer->setInterval(kSessionTimeoutMs);
    connect(sessionTimer, &QTimer::timeout, this, [this] { refuseSession(QStringLiteral("no answer")); });
}

QString FlatTradeBroker::defaultStreamUrl()
{
    return BrokerHosts::flatTradeStream();
}

bool FlatTradeBroker::isOlderStreamGeneration(const QString& url)
{
    return QUrl(url).path().contains(QLatin1String("PiConnectWSTp"), Qt::CaseInsensitive);
}

void FlatTradeBroker::setSymbolRepository(SymbolRepository* repository)
{
    symbolRepository = repository;
}

void FlatTradeBroker::setSessionTimeout(int ms)
{
    sessionTimer->setInterval(ms);
}

void FlatTradeBroker::setHistoryRate(int perSecond)
{
    historyPacer->setRate(perSecond);
}

void FlatTradeBroker::initialize(const QMap<QString, QString>& config)
{
    accessToken = config.value(QStringLiteral("access_token"));
    clientId = config.value(QStringLiteral("client_id"));
    wsUrl = config.value(QStringLiteral("ws_url"), defaultStreamUrl());
    qDebug() << "[FlatTradeBroker] Initialized - client id:" << clientId
             << "access token:" << (accessToken.isEmpty() ? "Empty" : "Set")
             << "stream:" << ConnectorText::withoutQuery(wsUrl);
}

// ---- stream ------------------------------------------------------------------------------

void FlatTradeBroker::connectToBroker()
{
    if (!checkStreamUrl())
        return;
    sessionTimer->stop();
    awaitingSession = false;
    decoder.reset();
    openStream(QNetworkRequest(QUrl(wsUrl)));
}

void FlatTradeBroker::disconnectFromBroker()
{
    sessionTimer->stop();
    awaitingSession = false;
    closeStream();
    emit connectionStatusChanged(false);
}

void FlatTradeBroker::startSession()
{
    // The older generation took a "c" message with "susertoken" and answers "ck"; the broker says
    // it rejects those connections now, which the missing or refused answer then reports.
    const bool older = isOlderStreamGeneration(wsUrl);
    if (older)
        qWarning() << "[FlatTradeBroker] The stream address is the older generation the broker has retired:"
                   << ConnectorText::withoutQuery(wsUrl);
    const QString message = older
        ? QStringLiteral("{\"t\":\"c\",\"uid\":%1,\"actid\":%1,\"susertoken\":%2,\"source\":\"API\"}")
        : QStringLiteral("{\"t\":\"a\",\"uid\":%1,\"actid\":%1,\"source\":\"API\",\"accesstoken\":%2}");
    awaitingSession = true;
    sessionTimer->start();
    stream->sendText(message.arg(ConnectorText::jsonString(clientId), ConnectorText::jsonString(accessToken)));
    qDebug() << "[FlatTradeBroker] Session message sent for client" << clientId << "- waiting for the answer";
}

void FlatTradeBroker::refuseSession(const QString& why)
{
    sessionTimer->stop();
    awaitingSession = false;
    // Never a silent socket: the stream goes down with the error.
    closeStream();
    reportError(QStringLiteral("FlatTrade stream session failed: %1").arg(why));
}

void FlatTradeBroker::streamFailed(const QString& text)
{
    // The socket error is the report: the session wait ends with it, not with a second one.
    sessionTimer->stop();
    awaitingSession = false;
    StreamBroker::streamFailed(text);
}

void FlatTradeBroker::textFrameReceived(const QString& message)
{
    const DecodedFrame frame = decoder.decode(message.toUtf8(), TickClock::nowMSecs());
    for (const DecoderEvent& e : frame.events) {
        switch (e.kind) {
        case DecoderEvent::Acknowledged:
            if (e.code != FlatTradeDecoder::SessionAnswer) {
                qDebug() << "[FlatTradeBroker] Unsubscribe acknowledged";
            } else if (awaitingSession) {
                sessionTimer->stop();
                awaitingSession = false;
                qInfo() << "[FlatTradeBroker] Session acknowledged";
                acceptSession();
            }
            break;
        case DecoderEvent::ServerError:
            refuseSession(e.text.isEmpty() ? QStringLiteral("refused without a reason") : ConnectorText::clipped(e.text));
            return;
        case DecoderEvent::Heartbeat:
            break;
        case DecoderEvent::Malformed:
            qWarning() << "[FlatTradeBroker] Unreadable stream message (" << e.text
                       << "):" << ConnectorText::clipped(message);
            break;
        case DecoderEvent::Skipped:
            if (e.code != FlatTradeDecoder::NoLastPrice)
                qWarning() << "[FlatTradeBroker] Quote skipped:" << e.text;
            break;
        default:
            qDebug() << "[FlatTradeBroker] Stream message of an unknown type:" << ConnectorText::clipped(message);
            break;
        }
    }
    for (TickData tick : frame.ticks) {
        tick.symbol = tickName(tick.exchange, tick.token);
        emit tickReceived(tick);
    }
}

QString FlatTradeBroker::tickName(const QString& exchange, const QString& token) const
{
    const QString known = symbolRepository ? symbolRepository->symbolForExchangeToken(exchange, token) : QString();
    return known.isEmpty() ? token : known;
}

void FlatTradeBroker::startLiveData()
{
    if (!connected && stream->state() == QAbstractSocket::UnconnectedState)
        connectToBroker();
    // Stop only paused the heartbeat of the open stream; without it again the broker drops the
    // idle link. A stream still opening starts it when its session is accepted.
    if (connected)
        stream->startPing();
    qDebug() << "[FlatTradeBroker] subscribing when start live";
    // What the stream already carries is not sent again.
    subscribeLiveData(subscriptions->wanted());
}

void FlatTradeBroker::stopLiveData()
{
    stream->stopPing();
}

QString FlatTradeBroker::keyFor(const QString& item) const
{
    // '#' separates keys on the wire: one inside a key would subscribe something else.
    if (item.isEmpty() || item.contains(QLatin1Char('#')))
        return QString();
    if (item.contains(QLatin1Char('|')))
        return item;
    const QString token = symbolRepository ? symbolRepository->tokenForSymbol(item) : QString();
    if (token.isEmpty())
        return QString();
    return QStringLiteral("NSE|%1").arg(token);
}

void FlatTradeBroker::subscribeLiveData(const QStringList& symbols)
{
    QStringList keys;
    for (const QString& item : symbols) {
        const QString key = keyFor(item);
        if (key.isEmpty()) {
            qDebug() << "[FlatTradeBroker] No token found for symbol:" << item;
            continue;
        }
        keys << key;
    }
    // Subscriptions sent before the broker accepted the session are not served: they wait for it.
    if (!keys.isEmpty())
        holdKeys(keys);
}

void FlatTradeBroker::sendSubscriptionChange(const SubscriptionBatch::Change& change)
{
    // Keys go out as depth subscriptions, which only the depth form of unsubscribe ends.
    if (!change.removed.isEmpty()) {
        const QString message = QStringLiteral("{\"t\":\"ud\",\"k\":%1}")
                                    .arg(ConnectorText::jsonString(change.removed.join(QLatin1Char('#'))));
        stream->sendText(message);
        qDebug() << "[FlatTradeBroker] Unsubscribed" << change.removed.size() << "keys:" << message;
    }
    if (change.added.isEmpty())
        return;
    const QString message =
        QStringLiteral("{\"t\":\"d\",\"k\":%1}").arg(ConnectorText::jsonString(change.added.join(QLatin1Char('#'))));
    stream->sendText(message);
    qDebug() << "[FlatTradeBroker] Subscribed" << change.added.size() << "keys:" << message;
}

void FlatTradeBroker::unsubscribeLiveData(const QString& symbol)
{
    const QString key = keyFor(symbol);
    if (!key.isEmpty())
        subscriptions->remove({key});
}

// ---- history -----------------------------------------------------------------------------

FlatTradeBroker::Instrument FlatTradeBroker::resolve(const QString& symbol) const
{
    Instrument r;
    const QString item = symbol.trimmed();
    const int bar = item.indexOf(QLatin1Char('|'));
    if (bar >= 0) {
        r.exchange = item.left(bar);
        r.token = item.mid(bar + 1);
    } else {
        bool numeric = false;
        item.toLongLong(&numeric);
        r.token = numeric ? item : (symbolRepository ? symbolRepository->tokenForSymbol(item) : QString());
        if (!r.token.isEmpty() && symbolRepository)
            r.exchange = symbolRepository->findByToken(r.token).exchange;
        // Bare tokens are NSE ones, as for subscriptions.
        if (r.exchange.isEmpty())
            r.exchange = QStringLiteral("NSE");
    }
    if (r.exchange.isEmpty() || r.token.isEmpty()) {
        r.error = QStringLiteral("No token found for symbol: %1").arg(symbol);
        return r;
    }
    if (symbolRepository)
        r.tradingSymbol = symbolRepository->symbolForExchangeToken(r.exchange, r.token);
    return r;
}

void FlatTradeBroker::reportHistoryFailure(quint64 tag, const QString& symbol, const QString& message)
{
    lastErrorText = message;
    qWarning() << "[FlatTradeBroker]" << message;
    // Queued, so a caller that is still inside its request call sees the failure afterwards.
    QMetaObject::invokeMethod(
        this, [this, tag, symbol, message] { failHistory(tag, symbol, message); }, Qt::QueuedConnection);
}

void FlatTradeBroker::requestHistoricalData(const QString& symbol, const QDate& from, const QDate& to,
                                            const QString& interval)
{
    const quint64 tag = takeHistoryTag();
    const QString day = QStringLiteral("yyyy-MM-dd");
    qDebug() << "[FlatTradeBroker] History request for" << symbol << "from" << from.toString(day) << "to"
             << to.toString(day) << "interval" << interval;
    if (accessToken.isEmpty()) {
        reportHistoryFailure(tag, symbol,
                             QStringLiteral("FlatTrade access token not configured. Please authenticate first."));
        return;
    }
    const int minutes = FlatTradeHistory::intervalMinutes(interval);
    if (minutes < 0) {
        reportHistoryFailure(tag, symbol,
                             QStringLiteral("FlatTrade has no %1 candles: it offers 1, 3, 5, 10, 15, 30, 60 and 120 "
                                            "minutes and daily")
                                 .arg(interval));
        return;
    }
    if (!from.isValid() || !to.isValid() || from > to) {
        reportHistoryFailure(tag, symbol, QStringLiteral("Invalid date range for %1").arg(symbol));
        return;
    }
    const Instrument inst = resolve(symbol);
    if (!inst.error.isEmpty()) {
        reportHistoryFailure(tag, symbol, inst.error);
        return;
    }
    const bool daily = minutes == 0;
    if (daily && inst.tradingSymbol.isEmpty()) {
        reportHistoryFailure(tag, symbol,
                             QStringLiteral("FlatTrade daily history needs the trading symbol of %1|%2: load the "
                                            "FlatTrade symbol list first")
                                 .arg(inst.exchange, inst.token));
        return;
    }

    const QList<QPair<QDate, QDate>> ranges =
        daily ? QList<QPair<QDate, QDate>>{{from, to}}
              : HistoryBatch::splitRange(from, to, FlatTradeHistory::kMaxIntradayDays);
    QPointer<FlatTradeBroker> self(this);
    // Every part is counted before the first goes out; the batch hands on one reply.
    const auto batch = HistoryBatch::create(
        ranges.size(), symbol,
        [self, from, to, tag](const QString& name, const QList<OHLCData>& bars) {
            if (!self)
                return;
            if (bars.isEmpty()) {
                self->reportHistoryFailure(tag, name,
                                           QStringLiteral("FlatTrade has no data for %1 from %2 to %3")
                                               .arg(name, from.toString(Qt::ISODate), to.toString(Qt::ISODate)));
                return;
            }
            qDebug() << "[FlatTradeBroker] Received" << bars.size() << "candles for" << name;
            self->answerHistory(tag, name, bars);
        },
        [self, tag, symbol](const QString& message) {
            if (self)
                self->reportHistoryFailure(tag, symbol, message);
        });
    for (int i = 0; i < ranges.size(); ++i) {
        const QPair<QDate, QDate>& r = ranges.at(i);
        const QByteArray body = daily
            ? FlatTradeHistory::eodBody(clientId, inst.exchange, inst.tradingSymbol, r.first, r.second, accessToken)
            : FlatTradeHistory::tpSeriesBody(clientId, inst.exchange, inst.token, r.first, r.second, minutes,
                                             accessToken);
        startHistoryPart(daily ? QStringLiteral("EODChartData") : QStringLiteral("TPSeries"), body, daily, symbol,
                         inst.tradingSymbol, batch, i);
    }
}

void FlatTradeBroker::startHistoryPart(const QString& route, const QByteArray& body, bool daily, const QString& symbol,
                                       const QString& tradingSymbol, const std::shared_ptr<HistoryBatch>& batch, int part)
{
    QPointer<FlatTradeBroker> self(this);
    historyPacer->enqueue([self, route, body, daily, symbol, tradingSymbol, batch, part] {
        if (!self)
            return;
        QNetworkRequest req{QUrl(self->restBaseUrl + QStringLiteral("/PiConnectAPI/") + route)};
        // The service reads the body whatever the content type; its own samples say JSON.
        req.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
        qDebug() << "[FlatTradeBroker]" << route << "request" << part + 1 << "of" << batch->size() << "for" << symbol;
        QNetworkReply* reply = BoundedRequest::post(self->networkManager, req, body, self->historyTimeoutMs,
                                                    BoundedRequest::kHistoryMaxBytes);
        const QString name = tradingSymbol.isEmpty() ? symbol : tradingSymbol;
        connect(reply, &QNetworkReply::finished, self.data(),
                [self, reply, daily, name, batch, part] { self->onHistoryReply(reply, daily, name, batch, part); });
    });
}

void FlatTradeBroker::onHistoryReply(QNetworkReply* reply, bool daily, const QString& tradingSymbol,
                                     const std::shared_ptr<HistoryBatch>& batch, int part)
{
    reply->deleteLater();
    const QString bound = BoundedRequest::boundReached(reply);
    if (!bound.isEmpty()) {
        batch->partFailed(part, QStringLiteral("FlatTrade history request failed: %1").arg(bound));
        return;
    }
    const QByteArray body = reply->readAll();
    // A failure status may still carry the broker's JSON answer; anything else is the transport's.
    if (reply->error() != QNetworkReply::NoError && !QJsonDocument::fromJson(body).isObject()) {
        batch->partFailed(part, QStringLiteral("FlatTrade history request failed: %1").arg(reply->errorString()));
        return;
    }
    const FlatTradeHistory::Reply r = FlatTradeHistory::parse(body, daily, tradingSymbol);
    if (r.timeMismatches > 0)
        qWarning() << "[FlatTradeBroker]" << r.timeMismatches << "candles of" << tradingSymbol
                   << "carry an epoch time that disagrees with their India time; the India time is used";
    switch (r.status) {
    case FlatTradeHistory::Reply::Bars:
        qDebug() << "[FlatTradeBroker] Part" << part + 1 << "for" << tradingSymbol << ":" << r.bars.size()
                 << "candles," << r.dropped << "rows without trades dropped";
        batch->partArrived(part, r.bars);
        break;
    case FlatTradeHistory::Reply::NoData:
        qDebug() << "[FlatTradeBroker] Part" << part + 1 << "for" << tradingSymbol << ": no data";
        batch->partArrived(part, {});
        break;
    case FlatTradeHistory::Reply::Failed:
        qWarning() << "[FlatTradeBroker] History reply refused:" << ConnectorText::clipped(QString::fromUtf8(body));
        batch->partFailed(part, r.error);
        break;
    }
}
