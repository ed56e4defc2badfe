// Broker facade and the "Custom API" REST path.
#include "brokers/BrokerAPI.h"

#include "brokers/BrokerHosts.h"
#include "brokers/CustomApiParser.h"
#include "brokers/QuoteOutcome.h"
#include "brokers/SymbolKey.h"
#include "brokers/fyers/FyersAuth.h"
#include "brokers/tradejini/TradeJiniAuth.h"
#include "brokers/upstox/UpstoxAuth.h"
#include "brokers/zerodha/ZerodhaAuth.h"
#include "core/SettingsManager.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>

namespace {

const char kKindProperty[] = "requestKind";
const char kSymbolProperty[] = "symbol";
const char kTimedOutProperty[] = "timedOut";
const char kTagProperty[] = "historyTag";
// The provider index of the "Custom API" quote service.
constexpr int kCustomApi = 6;
const char kDateForm[] = "yyyy-MM-dd";

QString zerodhaForm(const QString& s)
{
    return s.contains(QLatin1Char(':')) ? s : QLatin1String("NSE:") + s;
}

QString fyersForm(const QString& s)
{
    return s.contains(QLatin1Char(':')) ? s : QLatin1String("NSE:") + s + QLatin1String("-EQ");
}

}  // namespace

BrokerAPI::BrokerAPI(QObject* parent)
    : QObject(parent),
      networkManager(new QNetworkAccessManager(this)),
      liveDataTimer(new QTimer(this)),
      requestQueueTimer(new QTimer(this))
{
    connect(liveDataTimer, &QTimer::timeout, this, &BrokerAPI::onLiveDataTimer);
    connect(requestQueueTimer, &QTimer::timeout, this, &BrokerAPI::processRequestQueue);
    liveDataTimer->setInterval(5000);
    requestQueueTimer->setInterval(1000);
    requestQueueTimer->start();

    fyersAuth = new FyersAuth(this);
    zerodhaAuth = new ZerodhaAuth(this);
    tradeJiniAuth = new TradeJiniAuth(this);
    upstoxAuth = new UpstoxAuth(this);

    updateBaseUrl();
}

BrokerAPI::~BrokerAPI()
{
    stopLiveData();
}

void BrokerAPI::setClock(std::function<QDateTime()> c)
{
    clock = std::move(c);
}

void BrokerAPI::setPollInterval(int ms)
{
    liveDataTimer->setInterval(ms);
}

void BrokerAPI::setQueueDrainInterval(int ms)
{
    requestQueueTimer->setInterval(ms);
}

QDateTime BrokerAPI::now() const
{
    return clock ? clock() : QDateTime::currentDateTime();
}

void BrokerAPI::setImplementation(IBroker* impl)
{
    if (impl == currentBroker)
        return;
    if (currentBroker)
        currentBroker->disconnect(this);
    currentBroker = impl;
    if (!impl)
        return;
    qDebug() << "[BrokerAPI] Connecting signals from implementation:" << impl << "class:"
             << impl->metaObject()->className();
    const bool ok = bool(connect(impl, &IBroker::tickReceived, this, [this](const TickData& t) { forwardTick(t); }));
    qDebug() << "[BrokerAPI] tickReceived connection result:" << ok;
    connect(impl, &IBroker::historicalDataReceived, this,
            [this](const QString& symbol, const QList<OHLCData>& bars) { forwardHistory(0, symbol, bars); });
    connect(impl, &IBroker::historyAnswered, this, &BrokerAPI::forwardHistory);
    connect(impl, &IBroker::historyFailed, this, &BrokerAPI::forwardHistoryFailure);
    connect(impl, &IBroker::connectionStatusChanged, this, &BrokerAPI::connectionStatusChanged);
    connect(impl, &IBroker::errorOccurred, this, &BrokerAPI::errorOccurred);
}

void BrokerAPI::forwardTick(const TickData& tick)
{
    emit tickReceived(tick);
}

bool BrokerAPI::takeHistoryAnswer(quint64 tag)
{
    // Untagged requests cannot be ended, so their answers always count.
    return tag == 0 || openHistoryTags.remove(tag);
}

void BrokerAPI::forwardHistory(quint64 tag, const QString& symbol, const QList<OHLCData>& bars)
{
    // One gate for every listener (the queue, the candle store, the live file, the window): bars
    // that come after their request was given up would be taken for a later request of the same
    // symbol, whose interval and range may differ. A request has one answer; it ends with it.
    if (!takeHistoryAnswer(tag)) {
        qInfo() << "[BrokerAPI] Dropped" << bars.size() << "history bars for" << symbol.left(64)
                << "that answer a request which has ended";
        return;
    }
    emit historyAnswered(tag, symbol, bars);
    emit historicalDataReceived(symbol, bars);
}

void BrokerAPI::forwardHistoryFailure(quint64 tag, const QString& symbol, const QString& error)
{
    // The failure of a request that was given up is no one's: told, it would end the request
    // that runs now, for this symbol or another, and the user would read of a failure twice.
    if (!takeHistoryAnswer(tag)) {
        qInfo() << "[BrokerAPI] History request for" << symbol.left(64) << "failed after it had ended:"
                << error.left(200);
        return;
    }
    emit historyFailed(tag, symbol, QString(), error);
    emit errorOccurred(error);
}

void BrokerAPI::setProvider(int index)
{
    providerIndex = index;
    updateBaseUrl();
}

void BrokerAPI::updateBaseUrl()
{
    switch (providerIndex) {
    case 0: baseUrl = BrokerHosts::zerodhaRest(); limiter.setLimit(3000); break;
    case 1: baseUrl = BrokerHosts::flatTradeRest(); limiter.setLimit(1000); break;
    case 2: baseUrl = BrokerHosts::tradeJiniRest() + QLatin1String("/v2"); limiter.setLimit(1000); break;
    case 3: baseUrl = BrokerHosts::dhanRest(); limiter.setLimit(1000); break;
    case 4: baseUrl = BrokerHosts::angelOneRest(); limiter.setLimit(1000); break;
    case 5: baseUrl = BrokerHosts::upstoxRest(); limiter.setLimit(1000); break;
    case 7: baseUrl = BrokerHosts::fyersRest(); limiter.setLimit(1000); break;
    default: break;  // "Custom API" keeps the typed URL and the configured limit
    }
}

void BrokerAPI::setZerodhaApiKey(const QString& key)
{
    zerodhaApiKey = key;
    if (zerodhaAuth)
        zerodhaAuth->setApiKey(key);
}

void BrokerAPI::setZerodhaAccessToken(const QString& token)
{
    zerodhaAccessToken = token;
    if (zerodhaAuth)
        zerodhaAuth->setAccessToken(token);
}

void BrokerAPI::setUpstoxApiKey(const QString& key)
{
    upstoxApiKey = key;
    if (upstoxAuth)
        upstoxAuth->setApiKey(key);
}

void BrokerAPI::setUpstoxApiSecret(const QString& secret)
{
    upstoxApiSecret = secret;
    if (upstoxAuth)
        upstoxAuth->setApiSecret(secret);
}

void BrokerAPI::startLiveData()
{
    if (currentBroker) {
        currentBroker->startLiveData();
        return;
    }
    if (subscribedSymbols.isEmpty())
        return;
    liveDataTimer->start();
    connected = true;
    failure.clear();
    emit connectionStatusChanged(true);
    // The Custom API's poll is its whole feed and connection: its first round goes out now, not a
    // period later, so a service that is down or refuses the key shows so within one request's
    // time instead of a "Connected" that is not. (Unless a listener of the status stopped the poll
    // again.) The bare broker REST poll runs beside a window's own stream and keeps its period.
    if (providerIndex == kCustomApi && liveDataTimer->isActive())
        onLiveDataTimer();
}

void BrokerAPI::stopLiveData()
{
    if (currentBroker) {
        currentBroker->stopLiveData();
        return;
    }
    liveDataTimer->stop();
    dropQuotes(QString());
    connected = false;
    failure.clear();
    if (!symbolFailures.isEmpty()) {
        symbolFailures.clear();
        emit symbolFailuresChanged();
    }
    emit connectionStatusChanged(false);
}

void BrokerAPI::dropQuotes(const QString& symbol)
{
    // A quote still waiting for budget is not sent once its symbol (or the whole poll) is gone.
    for (int i = requestQueue.size() - 1; i >= 0; --i) {
        const PendingRequest& p = requestQueue.at(i);
        if (p.kind == RequestKind::Quote && (symbol.isNull() || p.symbol == symbol)) {
            quotesPending.remove(p.symbol);
            requestQueue.removeAt(i);
        }
    }
    // One on its way is cancelled: left to run, it would hold one of the few connections the
    // network stack opens to the service, and its symbol would stay pending, so a Start right
    // after would send nothing until the old requests timed out. Its answer would be stale anyway;
    // the reply handler drops the cancelled one without a word, as the poll or the symbol is gone.
    // Newest first: a request still queued inside the network stack is cancelled before an older
    // one frees its connection, or the stack would open a connection for it that then idles.
    const auto replies = networkManager->findChildren<QNetworkReply*>(QString(), Qt::FindDirectChildrenOnly);
    for (auto it = replies.crbegin(); it != replies.crend(); ++it) {
        QNetworkReply* reply = *it;
        const QVariant kind = reply->property(kKindProperty);
        if (reply->isFinished() || !kind.isValid() || RequestKind(kind.toInt()) != RequestKind::Quote)
            continue;
        if (symbol.isNull() || reply->property(kSymbolProperty).toString() == symbol)
            reply->abort();
    }
}

void BrokerAPI::subscribeLiveData(const QString& symbol)
{
    if (currentBroker) {
        currentBroker->subscribeLiveData(symbol);
        return;
    }
    if (!subscribedSymbols.contains(symbol))
        subscribedSymbols.append(symbol);
}

void BrokerAPI::unsubscribeLiveData(const QString& symbol)
{
    if (currentBroker) {
        currentBroker->unsubscribeLiveData(symbol);
        return;
    }
    subscribedSymbols.removeAll(symbol);
    dropQuotes(symbol);
    clearSymbolFailure(symbol);
}

void BrokerAPI::requestHistoricalData(const QString& symbol, const QDate& from, const QDate& to,
                                      const QString& interval, quint64 tag)
{
    qDebug() << "[BrokerAPI] requestHistoricalData called for" << symbol << "from" << from.toString()
             << "to" << to.toString() << "interval:" << interval << "provider=" << providerIndex;
    if (tag != 0)
        openHistoryTags.insert(tag);
    if (currentBroker) {
        qDebug() << "[BrokerAPI] Delegating historical request to concrete broker implementation"
                 << currentBroker.data();
        QPointer<IBroker> broker = currentBroker;
        broker->setNextHistoryTag(tag);
        broker->requestHistoricalData(symbol, from, to, interval);
        if (broker)
            broker->setNextHistoryTag(0);  // a connector that did not take it answers untagged
        return;
    }
    QMap<QString, QString> params;
    if (providerIndex == 0) {
        params.insert(QStringLiteral("instrument_token"), zerodhaForm(symbol));
        params.insert(QStringLiteral("interval"), QStringLiteral("day"));
        params.insert(QStringLiteral("from"), from.toString(QStringLiteral("yyyy-MM-dd")));
        params.insert(QStringLiteral("to"), to.toString(QStringLiteral("yyyy-MM-dd")));
    } else if (providerIndex == 7) {
        params.insert(QStringLiteral("symbol"), fyersForm(symbol));
        params.insert(QStringLiteral("resolution"), QStringLiteral("D"));
        params.insert(QStringLiteral("date_format"), QStringLiteral("1"));
        params.insert(QStringLiteral("range_from"), QString::number(QDateTime(from, QTime(0, 0)).toSecsSinceEpoch()));
        params.insert(QStringLiteral("range_to"), QString::number(QDateTime(to, QTime(0, 0)).toSecsSinceEpoch()));
        params.insert(QStringLiteral("cont_flag"), QStringLiteral("1"));
    } else if (providerIndex == kCustomApi) {
        params.insert(QStringLiteral("symbol"), symbol);
        params.insert(QStringLiteral("from"), from.toString(QLatin1String(kDateForm)));
        params.insert(QStringLiteral("to"), to.toString(QLatin1String(kDateForm)));
        params.insert(QStringLiteral("interval"), interval);
    }
    makeRequest(buildRequestUrl(QString(), params), symbol, RequestKind::History, tag);
}

void BrokerAPI::requestIntradayData(const QString& symbol, const QString& interval)
{
    if (currentBroker) {
        currentBroker->requestIntradayData(symbol, interval);
        return;
    }
    const QDateTime current = now();
    QMap<QString, QString> params;
    if (providerIndex == 0) {
        params.insert(QStringLiteral("instrument_token"), zerodhaForm(symbol));
        params.insert(QStringLiteral("interval"), interval);
        params.insert(QStringLiteral("from"), current.addDays(-1).toString(QStringLiteral("yyyy-MM-dd")));
        params.insert(QStringLiteral("to"), current.toString(QStringLiteral("yyyy-MM-dd")));
    } else if (providerIndex == 7) {
        params.insert(QStringLiteral("symbol"), fyersForm(symbol));
        params.insert(QStringLiteral("resolution"),
                      interval == QLatin1String("1min") ? QStringLiteral("1") : interval);
        params.insert(QStringLiteral("date_format"), QStringLiteral("1"));
        params.insert(QStringLiteral("range_from"), QString::number(current.addDays(-1).toSecsSinceEpoch()));
        params.insert(QStringLiteral("range_to"), QString::number(current.toSecsSinceEpoch()));
        params.insert(QStringLiteral("cont_flag"), QStringLiteral("1"));
    } else if (providerIndex == kCustomApi) {
        params.insert(QStringLiteral("symbol"), symbol);
        params.insert(QStringLiteral("from"), current.addDays(-1).toString(QLatin1String(kDateForm)));
        params.insert(QStringLiteral("to"), current.toString(QLatin1String(kDateForm)));
        params.insert(QStringLiteral("interval"), interval);
    }
    makeRequest(buildRequestUrl(QString(), params), symbol, RequestKind::History);
}

QString BrokerAPI::buildRequestUrl(const QString& endpoint, const QMap<QString, QString>& params) const
{
    QString url = baseUrl;
    if (providerIndex == 7) {
        const bool candles = params.contains(QStringLiteral("symbol")) && params.contains(QStringLiteral("resolution"));
        url += candles ? QLatin1String("/candles") : QLatin1String("/quotes");
    } else if (providerIndex == 0) {
        const bool hist = params.contains(QStringLiteral("instrument_token")) && params.contains(QStringLiteral("interval"));
        url += hist ? QLatin1String("/instruments/historical") : QLatin1String("/quote");
    } else if (!endpoint.isEmpty()) {
        url += QLatin1Char('/') + endpoint;
    }
    if (!params.isEmpty()) {
        QUrlQuery q;
        for (auto it = params.constBegin(); it != params.constEnd(); ++it)
            q.addQueryItem(it.key(), it.value());
        // A typed address may carry a query of its own: ours is added to it.
        url += (url.contains(QLatin1Char('?')) ? QLatin1Char('&') : QLatin1Char('?'))
            + q.toString(QUrl::FullyEncoded);
    }
    return url;
}

void BrokerAPI::onLiveDataTimer()
{
    if (currentBroker)
        return;
    for (const QString& symbol : qAsConst(subscribedSymbols)) {
        // One quote request per symbol at a time: a slow service gets no pile of requests that
        // would all come back at once.
        if (quotesPending.contains(symbol))
            continue;
        quotesPending.insert(symbol);
        QMap<QString, QString> params;
        if (providerIndex == 7)
            params.insert(QStringLiteral("symbols"), fyersForm(symbol));
        else if (providerIndex == kCustomApi)
            params.insert(QStringLiteral("symbol"), symbol);
        makeRequest(buildRequestUrl(QString(), params), symbol, RequestKind::Quote);
    }
}

void BrokerAPI::makeRequest(const QString& url, const QString& symbol, RequestKind kind, quint64 tag)
{
    limiter.roll(now());
    if (!limiter.hasBudget()) {
        // A waiting quote keeps its symbol pending: the poll adds no second one behind it.
        requestQueue.append({url, symbol, kind, tag});
        return;
    }
    limiter.consume();

    QNetworkRequest req{QUrl(url, QUrl::TolerantMode)};
    req.setHeader(QNetworkRequest::UserAgentHeader, QByteArray("Tickvane/1.0"));
    if (providerIndex == 7) {
        if (!fyersAccessToken.isEmpty()) {
            if (!fyersAppId.isEmpty()) {
                req.setRawHeader("Authorization", QStringLiteral("%1:%2").arg(fyersAppId, fyersAccessToken).toUtf8());
                req.setRawHeader("fyers-id", fyersAppId.toUtf8());
            } else {
                req.setRawHeader("Authorization", fyersAccessToken.toUtf8());
            }
        }
        req.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    } else if (providerIndex == kCustomApi && !apiKey.isEmpty()) {
        req.setRawHeader("X-API-Key", apiKey.toUtf8());
    }
    qDebug() << "[BrokerAPI] Making network GET request to:" << url << "symbol:" << symbol;
    QNetworkReply* reply = networkManager->get(req);
    reply->setProperty(kSymbolProperty, symbol);
    reply->setProperty(kKindProperty, int(kind));
    reply->setProperty(kTagProperty, tag);
    connect(reply, &QNetworkReply::finished, this, &BrokerAPI::onNetworkReplyFinished);
    auto* deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, reply, [reply] {
        reply->setProperty(kTimedOutProperty, true);
        reply->abort();
    });
    deadline->start(requestTimeoutMs);
}

void BrokerAPI::processRequestQueue()
{
    if (requestQueue.isEmpty())
        return;
    limiter.roll(now());
    if (!limiter.hasBudget())
        return;
    const PendingRequest next = requestQueue.takeFirst();
    makeRequest(next.url, next.symbol, next.kind, next.tag);
}

void BrokerAPI::onNetworkReplyFinished()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    handleReply(reply);
    reply->deleteLater();
}

void BrokerAPI::handleReply(QNetworkReply* reply)
{
    const QString symbol = reply->property(kSymbolProperty).toString();
    // Routed by what was asked for, never guessed from the symbol: a history reply for a polled
    // symbol is still history.
    const bool history = RequestKind(reply->property(kKindProperty).toInt()) == RequestKind::History;
    if (!history)
        quotesPending.remove(symbol);
    const QuoteOutcome outcome =
        QuoteOutcome::fromReply(reply, reply->property(kTimedOutProperty).toBool(), symbol);
    // A quote that comes back after its symbol was unsubscribed or the poll stopped is stale,
    // and so is its failure.
    const bool stale = !history && !(liveDataTimer->isActive() && subscribedSymbols.contains(symbol));
    if (!outcome.ok()) {
        if (stale)
            return;
        if (history) {
            // The failure of a request that was given up is no one's: told, it would end the
            // request that runs now.
            const quint64 tag = reply->property(kTagProperty).toULongLong();
            if (!takeHistoryAnswer(tag)) {
                qInfo() << "[BrokerAPI] History request for" << symbol.left(64) << "failed after it had ended:"
                        << outcome.reason();
                return;
            }
            reportHistoryFailure(outcome, tag);
        } else
            reportQuoteFailure(outcome);
        return;
    }
    const QByteArray body = reply->readAll();
    if (history)
        handleHistoricalReply(body, symbol, reply->property(kTagProperty).toULongLong());
    else if (!stale)
        parseTickData(body, symbol);
}

void BrokerAPI::reportQuoteFailure(const QuoteOutcome& outcome)
{
    const QString message = outcome.explanation(SettingsManager::providerName(providerIndex), baseUrl,
                                                 requestTimeoutMs / 1000);
    lastError = message;
    const QString reason = outcome.reason();
    if (outcome.aboutSymbol()) {
        // The service answers; only this symbol has no price. The connection stays as it is.
        auto it = symbolFailures.find(outcome.symbol);
        if (it == symbolFailures.end() || it.value() != reason) {
            symbolFailures.insert(outcome.symbol, reason);
            emit symbolFailuresChanged();
        }
    } else {
        const bool wasUp = isConnected();
        failure = reason;
        if (wasUp)
            emit connectionStatusChanged(false);
    }
    emit quoteFailed(outcome.symbol, reason, message);
}

void BrokerAPI::clearSymbolFailure(const QString& symbol)
{
    if (symbolFailures.remove(symbol) > 0)
        emit symbolFailuresChanged();
}

void BrokerAPI::reportHistoryFailure(const QuoteOutcome& outcome, quint64 tag)
{
    lastError = outcome.explanation(SettingsManager::providerName(providerIndex), baseUrl,
                                    requestTimeoutMs / 1000, QuoteOutcome::History);
    emit historyFailed(tag, outcome.symbol, outcome.reason(), lastError);
    emit errorOccurred(lastError);
}

void BrokerAPI::parseTickData(const QByteArray& body, const QString& symbol)
{
    CustomApiParser::QuoteResult r = CustomApiParser::parseQuote(body, providerIndex == 7);
    if (!r.parsed) {
        reportQuoteFailure(QuoteOutcome::notJson(r.error, symbol));
        return;
    }
    // The service answers again: the poll is connected once more.
    if (!failure.isEmpty()) {
        failure.clear();
        if (connected)
            emit connectionStatusChanged(true);
    }
    // "NSE:INFY" and "INFY-EQ" answer a request for "INFY"; a quote of another symbol (BAJAJ-FINSV
    // for BAJAJ-AUTO, BSE:INFY for NSE:INFY) is not this symbol's price, and the user is told that
    // it gets none.
    if (!r.symbol.isEmpty() && !SymbolKey::answers(r.symbol, symbol)) {
        qWarning() << "[BrokerAPI] Dropped a quote for" << r.symbol.left(64) << "that answered a request for"
                   << symbol;
        reportQuoteFailure(QuoteOutcome::otherSymbol(symbol, r.symbol));
        return;
    }
    clearSymbolFailure(symbol);
    r.tick.symbol = symbol;
    r.tick.timestamp = QDateTime::currentDateTime();
    if (r.tick.isValid())
        emit tickReceived(r.tick);
}

void BrokerAPI::handleHistoricalReply(const QByteArray& body, const QString& symbol, quint64 tag)
{
    QString unreadable;
    QList<OHLCData> bars = parseHistoricalResponse(body, symbol, &unreadable);
    if (!unreadable.isEmpty()) {
        if (!takeHistoryAnswer(tag)) {
            qInfo() << "[BrokerAPI] History request for" << symbol.left(64)
                    << "failed after it had ended: the reply is not JSON";
            return;
        }
        // Told as an unreadable quote reply is: most often the Custom URL is not the service's.
        reportHistoryFailure(QuoteOutcome::notJson(unreadable, symbol), tag);
        return;
    }
    const int before = bars.size();
    QString other;
    bars.erase(std::remove_if(bars.begin(), bars.end(),
                              [&symbol, &other](const OHLCData& bar) {
                                  if (SymbolKey::answers(bar.symbol, symbol))
                                      return false;
                                  if (other.isEmpty())
                                      other = bar.symbol;
                                  return true;
                              }),
               bars.end());
    if (bars.size() != before)
        qWarning() << "[BrokerAPI] Dropped" << before - bars.size()
                   << "history bars of another symbol than the requested" << symbol;
    if (bars.isEmpty()) {
        if (!takeHistoryAnswer(tag)) {
            qInfo() << "[BrokerAPI] History request for" << symbol.left(64) << "had no bars after it had ended";
            return;
        }
        reportHistoryFailure(other.isEmpty() ? QuoteOutcome::noBars(symbol) : QuoteOutcome::otherSymbol(symbol, other),
                             tag);
        return;
    }
    // Bars labelled "NSE:INFY" or "INFY-EQ" are stored and exported under the name asked for.
    for (OHLCData& bar : bars)
        bar.symbol = symbol;
    forwardHistory(tag, symbol, bars);
}
