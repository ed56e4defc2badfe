// Zerodha connector: opening address, subscription messages, decoded ticks and candle history.
#include "brokers/zerodha/ZerodhaBroker.h"

#include "brokers/BoundedRequest.h"
#include "brokers/BrokerHosts.h"
#include "brokers/ConnectorText.h"
#include "brokers/HistoryBatch.h"
#include "brokers/RequestPacer.h"
#include "brokers/StreamSocketClient.h"
#include "brokers/zerodha/ZerodhaHistory.h"
#include "core/SettingsManager.h"
#include "core/TickClock.h"
#include "symbols/SymbolRepository.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTimer>
#include <QUrl>

#include <limits>

namespace {

constexpr int kMaxKnownNames = 8192;
// A request refused as too many is asked again this often before the batch fails.
constexpr int kHistoryRetries = 3;

}  // namespace

ZerodhaBroker::ZerodhaBroker(QObject* parent)
    : StreamBroker("[ZerodhaBroker]", QStringLiteral("Zerodha"), parent),
      restBaseUrl(BrokerHosts::zerodhaRest()),
      network(new QNetworkAccessManager(this)),
      historyPacer(new RequestPacer(3, this))
{
    // Keep-alive as WebSocket ping frames: the service defines no text ping of its own here.
    stream->setPingInterval(30000);
}

void ZerodhaBroker::setSymbolRepository(SymbolRepository* repository)
{
    symbolRepository = repository;
    knownNames.clear();
}

void ZerodhaBroker::setHistoryRate(int perSecond, int windowMs)
{
    historyPacer->setRate(perSecond, windowMs);
}

int ZerodhaBroker::pendingHistoryRequests() const
{
    return historyPacer->pending();
}

void ZerodhaBroker::initialize(const QMap<QString, QString>& config)
{
    apiKey = config.value(QStringLiteral("api_key"));
    apiSecret = config.value(QStringLiteral("api_secret"));
    accessToken = config.value(QStringLiteral("access_token"));
    wsUrl = config.value(QStringLiteral("ws_url"));
    historyExpiryReported = false;
    qDebug() << "[ZerodhaBroker] Initialized - api key:" << (apiKey.isEmpty() ? "Empty" : "Set")
             << "api secret:" << (apiSecret.isEmpty() ? "Empty" : "Set")
             << "access token:" << (accessToken.isEmpty() ? "Empty" : "Set")
             << "stream:" << ConnectorText::withoutQuery(wsUrl);
}

void ZerodhaBroker::connectToBroker()
{
    if (!checkStreamUrl())
        return;
    QString url = wsUrl;
    // An address that already holds a query is taken as complete. The values are encoded so a
    // stray '&' or '#' cannot change the query.
    if (!accessToken.isEmpty() && !url.contains(QLatin1Char('?'))) {
        url += QStringLiteral("?api_key=") + QString::fromLatin1(QUrl::toPercentEncoding(apiKey))
            + QStringLiteral("&access_token=") + QString::fromLatin1(QUrl::toPercentEncoding(accessToken));
    }
    expiryReported = false;
    openStream(QNetworkRequest(QUrl(url)));
}

void ZerodhaBroker::disconnectFromBroker()
{
    closeStream();
    emit connectionStatusChanged(false);
}

void ZerodhaBroker::streamOpened()
{
    // A new connection knows nothing of the last one: its packets are logged afresh (the base
    // sends the whole subscription set again).
    decoder.reset();
    loggedFaults.clear();
}

void ZerodhaBroker::streamFailed(const QString& text)
{
    StreamBroker::streamFailed(text);
    // Qt reports a refused upgrade as a refused connection: "Unhandled http status code: 403 (...)".
    static const QRegularExpression forbidden(QStringLiteral("status code: 403\\b"));
    if (!expiryReported && forbidden.match(text).hasMatch()) {
        expiryReported = true;
        qWarning() << "[ZerodhaBroker] Stream refused with HTTP 403: the access token has expired or is not valid";
        emit tokenExpired();
    }
}

void ZerodhaBroker::startLiveData()
{
    // A connection on its way is left to finish rather than started again.
    if (!connected && stream->state() == QAbstractSocket::UnconnectedState)
        connectToBroker();
}

void ZerodhaBroker::stopLiveData()
{
    // Only the keep-alive stops: the stream stays open and keeps its subscriptions.
    stream->stopPing();
}

void ZerodhaBroker::subscribeLiveData(const QStringList& symbols)
{
    holdKeys(symbols);
}

QString ZerodhaBroker::tokenList(const QStringList& keys) const
{
    // Written by hand so 64-bit tokens keep every digit (JSON numbers pass through double in Qt).
    QStringList tokens;
    QSet<qint64> seen;
    for (const QString& key : keys) {
        bool ok = false;
        const qint64 token = key.toLongLong(&ok, 10);
        if (!ok) {
            qDebug() << "[ZerodhaBroker] Skipping non-numeric token:" << key;
            continue;
        }
        if (!seen.contains(token)) {
            seen.insert(token);
            tokens << QString::number(token);
        }
    }
    return tokens.join(QLatin1Char(','));
}

void ZerodhaBroker::sendSubscriptionChange(const SubscriptionBatch::Change& change)
{
    // Without the message the service keeps streaming a removed token, and it keeps counting
    // against the connection's instrument limit.
    const QString removed = tokenList(change.removed);
    if (!removed.isEmpty()) {
        stream->sendText(QStringLiteral("{\"a\":\"unsubscribe\",\"v\":[%1]}").arg(removed));
        qDebug() << "[ZerodhaBroker] Unsubscribed tokens" << removed;
    }
    const QString tokens = tokenList(change.added);
    if (tokens.isEmpty())
        return;
    // The mode message alone subscribes nothing: the service wants the tokens subscribed first.
    stream->sendText(QStringLiteral("{\"a\":\"subscribe\",\"v\":[%1]}").arg(tokens));
    const QString mode = QStringLiteral("{\"a\":\"mode\",\"v\":[\"full\",[%1]]}").arg(tokens);
    stream->sendText(mode);
    qDebug() << "[ZerodhaBroker] Subscribed" << (tokens.count(QLatin1Char(',')) + 1) << "tokens in full mode:" << mode;
}

void ZerodhaBroker::unsubscribeLiveData(const QString& symbol)
{
    subscriptions->remove({symbol});
}

// ---- stream frames -------------------------------------------------------------------------

void ZerodhaBroker::textFrameReceived(const QString& message)
{
    const QJsonObject object = QJsonDocument::fromJson(message.toUtf8()).object();
    if (object.value(QLatin1String("type")).toString() != QLatin1String("error")) {
        // Order updates and notices carry nothing for the watchlist.
        StreamBroker::textFrameReceived(message);
        return;
    }
    const QJsonValue data = object.value(QLatin1String("data"));
    const QString text = data.isString() ? data.toString()
                                   : QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
    reportError(QStringLiteral("Zerodha stream error: %1").arg(ConnectorText::clipped(text)));
}

void ZerodhaBroker::binaryFrameReceived(const QByteArray& data)
{
    const DecodedFrame frame = decoder.decode(data, TickClock::nowMSecs());
    for (const DecoderEvent& e : frame.events)
        logFault(e);
    for (TickData tick : frame.ticks) {
        nameTick(tick);
        emit tickReceived(tick);
    }
}

void ZerodhaBroker::logFault(const DecoderEvent& event)
{
    if (event.kind == DecoderEvent::Heartbeat)
        return;
    // One line per kind of fault and code on a connection: a server that keeps sending a
    // packet this connector does not know must not flood the log.
    const qint64 key = (qint64(event.kind) << 32) | quint32(event.code);
    if (loggedFaults.contains(key))
        return;
    loggedFaults.insert(key);
    switch (event.kind) {
    case DecoderEvent::UnknownPacket:
        qWarning() << "[ZerodhaBroker] Skipping packets of unknown length" << event.code;
        break;
    case DecoderEvent::Skipped:
        qWarning().noquote() << "[ZerodhaBroker] Skipping packet:" << event.text;
        break;
    default:
        qWarning().noquote() << "[ZerodhaBroker] Malformed binary message:" << event.text;
        break;
    }
}

IndianSymbolData ZerodhaBroker::recordFor(const QString& exchange, const QString& token) const
{
    if (!symbolRepository)
        return {};
    if (exchange != QLatin1String(ZerodhaDecoder::kIndexSegment))
        return symbolRepository->findByExchangeToken(exchange, token);
    // One segment for the indices of every exchange: the master lists each under its own.
    for (const char* name : {"NSE", "BSE", "MCX"}) {
        IndianSymbolData record = symbolRepository->findByExchangeToken(QLatin1String(name), token);
        if (record.isFound())
            return record;
    }
    return {};
}

void ZerodhaBroker::nameTick(TickData& tick)
{
    const auto known = knownNames.constFind(tick.token);
    if (known != knownNames.cend()) {
        tick.symbol = known->symbol;
        tick.exchange = known->exchange;
        return;
    }
    if (symbolRepository) {
        const IndianSymbolData record = recordFor(tick.exchange, tick.token);
        if (record.isFound() && !record.symbol.isEmpty()) {
            if (knownNames.size() >= kMaxKnownNames)
                knownNames.clear();
            const KnownName name{record.symbol, record.exchange.isEmpty() ? tick.exchange : record.exchange};
            knownNames.insert(tick.token, name);
            tick.symbol = name.symbol;
            tick.exchange = name.exchange;
            return;
        }
    }
    tick.symbol = settingsManager ? settingsManager->symbolDisplayName(tick.token) : tick.token;
    if (tick.symbol.isEmpty())
        tick.symbol = tick.token;
}

// ---- history -------------------------------------------------------------------------------

void ZerodhaBroker::refuseHistory(quint64 tag, const QString& symbol, const QString& reason)
{
    lastErrorText = QStringLiteral("Zerodha history error for %1: %2").arg(symbol, reason);
    qWarning().noquote() << "[ZerodhaBroker]" << lastErrorText;
    // Queued, so a caller that is still inside its request call sees the failure afterwards.
    QMetaObject::invokeMethod(
        this, [this, tag, symbol, text = lastErrorText] { failHistory(tag, symbol, text); }, Qt::QueuedConnection);
}

void ZerodhaBroker::requestHistoricalData(const QString& symbol, const QDate& from, const QDate& to,
                                          const QString& timeframe)
{
    const quint64 tag = takeHistoryTag();
    if (apiKey.isEmpty() || accessToken.isEmpty()) {
        refuseHistory(tag, symbol, QStringLiteral("API key or access token not configured - please log in first"));
        return;
    }
    const QString interval = ZerodhaHistory::intervalName(timeframe);
    if (interval.isEmpty()) {
        refuseHistory(tag, symbol, QStringLiteral("no candles of the interval \"%1\"").arg(timeframe.left(40)));
        return;
    }
    if (!from.isValid() || !to.isValid() || from > to) {
        refuseHistory(tag, symbol, QStringLiteral("invalid date range"));
        return;
    }

    // The token: the key itself when it is one, else the repository's for the trading symbol.
    bool numeric = false;
    const QString key = symbol.trimmed();
    qulonglong value = key.toULongLong(&numeric, 10);
    const bool byToken = numeric;
    if (!byToken && symbolRepository)
        value = symbolRepository->tokenForSymbol(key).toULongLong(&numeric, 10);
    if (!numeric || value == 0 || value > std::numeric_limits<quint32>::max()) {
        refuseHistory(tag, symbol, QStringLiteral("no instrument token - load the Zerodha instrument master"));
        return;
    }
    const auto token = quint32(value);
    // Bars carry the trading symbol, under which AmiBroker files them.
    QString barName = key;
    if (byToken) {
        const QString known = recordFor(ZerodhaDecoder::exchangeOf(int(token & 0xff)), QString::number(token)).symbol;
        if (!known.isEmpty())
            barName = known;
    }

    const auto ranges = ZerodhaHistory::chunks(from, to, interval);
    qDebug() << "[ZerodhaBroker] History for" << symbol << "token" << token << interval << from << "to" << to
             << "in" << ranges.size() << "requests";
    QPointer<ZerodhaBroker> self(this);
    // Every part is counted before the first goes out: one that fails at once must not close the
    // batch early.
    const auto batch = HistoryBatch::create(
        ranges.size(), symbol,
        [self, tag](const QString& name, const QList<OHLCData>& bars) {
            if (!self)
                return;
            qDebug() << "[ZerodhaBroker] History for" << name << ":" << bars.size() << "candles";
            self->answerHistory(tag, name, bars);
        },
        [self, tag, symbol](const QString& message) {
            if (!self)
                return;
            self->lastErrorText = message;
            qWarning().noquote() << "[ZerodhaBroker]" << message;
            self->failHistory(tag, symbol, message);
        });
    for (int i = 0; i < ranges.size(); ++i) {
        HistoryPart p;
        p.token = token;
        p.interval = interval;
        p.from = ranges.at(i).first;
        p.to = ranges.at(i).second;
        p.symbol = symbol;
        p.barName = barName;
        p.batch = batch;
        p.part = i;
        historyPacer->enqueue([this, p] { startHistoryPart(p); });
    }
}

void ZerodhaBroker::startHistoryPart(const HistoryPart& p)
{
    const QString path = ZerodhaHistory::requestPath(p.token, p.interval, p.from, p.to);
    QNetworkRequest request(QUrl(restBaseUrl + path));
    request.setRawHeader("X-Kite-Version", "3");
    request.setRawHeader("Authorization", "token " + apiKey.toUtf8() + ':' + accessToken.toUtf8());
    qDebug() << "[ZerodhaBroker] Requesting" << path;
    QNetworkReply* reply =
        BoundedRequest::get(network, request, BoundedRequest::kHistoryTimeoutMs, BoundedRequest::kHistoryMaxBytes);
    connect(reply, &QNetworkReply::finished, this, [this, reply, p] { onHistoryReply(reply, p); });
}

void ZerodhaBroker::onHistoryReply(QNetworkReply* reply, const HistoryPart& p)
{
    reply->deleteLater();
    const auto fail = [&](const QString& reason) {
        p.batch->partFailed(p.part, QStringLiteral("Zerodha history error for %1: %2").arg(p.symbol, reason));
    };
    const QString bound = BoundedRequest::boundReached(reply);
    if (!bound.isEmpty()) {
        fail(bound);
        return;
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        fail(reply->errorString());
        return;
    }
    const ZerodhaHistory::Reply r = ZerodhaHistory::parseReply(status.toInt(), reply->readAll(), p.barName);
    if (r.throttled && p.attempt < kHistoryRetries) {
        // The limit is per second: after a pause the same request is answered. It queues behind
        // the pacer again so the retry counts against the rate too.
        const int delayMs = historyRetryDelayMs << p.attempt;
        qWarning() << "[ZerodhaBroker] Too many history requests: part" << p.part + 1 << "of" << p.batch->size()
                   << "for" << p.symbol << "asked again in" << delayMs << "ms";
        HistoryPart again = p;
        ++again.attempt;
        QPointer<ZerodhaBroker> self(this);
        auto retry = [self, again] {
            if (self)
                self->historyPacer->enqueue([broker = self.data(), again] { broker->startHistoryPart(again); });
        };
        if (retryTimer)
            retryTimer(delayMs, retry);
        else
            QTimer::singleShot(delayMs, this, retry);
        return;
    }
    if (r.tokenRefused && !historyExpiryReported) {
        historyExpiryReported = true;
        qWarning() << "[ZerodhaBroker] History refused with HTTP 403: the access token has expired or is not valid";
        emit tokenExpired();
    }
    if (r.rejected > 0)
        qWarning() << "[ZerodhaBroker] Dropped" << r.rejected << "unreadable candles for" << p.symbol;
    if (!r.ok) {
        fail(r.error);
        return;
    }
    historyExpiryReported = false;
    p.batch->partArrived(p.part, r.bars);
}
