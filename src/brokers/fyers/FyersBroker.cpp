// Fyers connector: opening request, subscription and resume messages, keep-alive, decoded ticks
// and candle history.
#include "brokers/fyers/FyersBroker.h"

#include "brokers/BoundedRequest.h"
#include "brokers/BrokerHosts.h"
#include "brokers/CandleRowParser.h"
#include "brokers/ConnectorText.h"
#include "brokers/HistoryBatch.h"
#include "brokers/ISymbolLookup.h"
#include "brokers/RequestPacer.h"
#include "brokers/StreamSocketClient.h"
#include "core/SettingsManager.h"
#include "core/TickClock.h"
#include "symbols/SymbolRepository.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QUrl>
#include <QUrlQuery>

namespace {

// The depth stream's keep-alive is the bare text; the server answers "pong".
const char kPing[] = "ping";
const char kResume[] = "{\"type\":2,\"data\":{\"resumeChannels\":[\"1\"],\"pauseChannels\":[]}}";
constexpr int kPingIntervalMs = 5000;
// The service serves at most this many calendar days per request.
constexpr int kIntradayDays = 100;
constexpr int kDailyDays = 366;
constexpr int kHistoryPerSecond = 3;
constexpr int kMaxWarnings = 100;
// 9999-12-31 23:59:59 UTC: no candle time lies beyond it.
constexpr double kLastEpochSecs = 253402300799.0;

}  // namespace

FyersBroker::FyersBroker(QObject* parent)
    : StreamBroker("[Fyers]", QStringLiteral("Fyers"), parent),
      mode(QStringLiteral("depth")),
      dataUrl(BrokerHosts::fyersRest() + QLatin1String("/data")),
      historyTimeoutMs(BoundedRequest::kHistoryTimeoutMs),
      historyMaxBytes(BoundedRequest::kHistoryMaxBytes),
      network(new QNetworkAccessManager(this)),
      pacer(new RequestPacer(kHistoryPerSecond, this))
{
    stream->setPingMessage(QString::fromLatin1(kPing));
    stream->setPingInterval(kPingIntervalMs);
}

void FyersBroker::initialize(const QMap<QString, QString>& config)
{
    accessToken = config.value(QStringLiteral("access_token"));
    clientId = config.value(QStringLiteral("client_id"));
    appId = config.value(QStringLiteral("app_id"));
    wsUrl = config.value(QStringLiteral("ws_url"));
    const QString requested = config.value(QStringLiteral("subscribe_mode"));
    // Without a mode of its own the stream is asked for the same data as the window's socket.
    mode = requested.isEmpty() ? QStringLiteral("depth") : requested;
    qDebug() << "[Fyers] Initialized - client id:" << clientId << "app id:" << (appId.isEmpty() ? "Empty" : "Set")
             << "access token:" << (accessToken.isEmpty() ? "Empty" : "Set") << "mode:" << mode
             << "stream:" << ConnectorText::withoutQuery(wsUrl);
}

void FyersBroker::setSettingsManager(SettingsManager* settings)
{
    if (settingsManager)
        disconnect(settingsManager, nullptr, this, nullptr);
    StreamBroker::setSettingsManager(settings);
    tickers.setSettings(settings);
    // A changed watchlist or a newly cached name can change which entry a ticker belongs to.
    if (settings)
        connect(settings, &SettingsManager::settingsChanged, this, [this] { tickers.invalidate(); });
}

void FyersBroker::setSymbolRepository(SymbolRepository* repository)
{
    repositoryLookups.repository = repository;
    tickers.setSymbolLookups(&repositoryLookups);
}

QString FyersBroker::RepositoryLookups::findSymbol(const QString& text) const
{
    return repository ? repository->tokenForSymbol(text.trimmed().toUpper()) : QString();
}

IndianSymbolData FyersBroker::RepositoryLookups::symbolByToken(const QString& token) const
{
    return repository ? repository->findByToken(token) : IndianSymbolData();
}

QString FyersBroker::authorization() const
{
    // The token belongs to the app the login named as "client_id". The "app id" setting is not
    // that id: without a separate secret key it holds the app secret the login hashed, which must
    // never go on the wire.
    return clientId + QLatin1Char(':') + accessToken;
}

void FyersBroker::connectToBroker()
{
    if (!checkStreamUrl())
        return;
    QNetworkRequest request{QUrl(wsUrl)};
    // The stream takes "client id:token" in the Authorization header of the opening request.
    if (!accessToken.isEmpty())
        request.setRawHeader("Authorization", authorization().toUtf8());
    // A new connection starts from fresh snapshots.
    decoder.reset();
    warned.clear();
    openStream(request);
}

void FyersBroker::disconnectFromBroker()
{
    // No status signal from here: the window treats a Fyers disconnect as its own doing.
    closeStream();
    liveRequested = false;
}

void FyersBroker::startLiveData()
{
    // Noted even before the stream is up, so the keep-alive starts once it opens.
    liveRequested = true;
    if (!stream->hasSocket())
        connectToBroker();
    if (connected)
        stream->startPing();
}

void FyersBroker::stopLiveData()
{
    // Only the keep-alive stops; the stream stays open.
    liveRequested = false;
    stream->stopPing();
}

void FyersBroker::subscribeLiveData(const QStringList& symbols)
{
    tickers.invalidate();
    holdKeys(symbols);
}

QString FyersBroker::subscriptionMessage(int subs, const QStringList& symbols) const
{
    return QStringLiteral("{\"type\":1,\"data\":{\"subs\":%1,\"mode\":%2,\"channel\":\"1\",\"symbols\":%3}}")
        .arg(subs)
        .arg(ConnectorText::jsonString(mode), ConnectorText::jsonStringArray(symbols));
}

void FyersBroker::sendSubscriptionChange(const SubscriptionBatch::Change& change)
{
    // The unsubscribe message is the subscribe message with "subs":-1; without it a removed
    // symbol keeps streaming until the next connection.
    if (!change.removed.isEmpty()) {
        const QString message = subscriptionMessage(-1, change.removed);
        stream->sendText(message);
        qDebug() << "[Fyers] Sent unsubscription:" << ConnectorText::clipped(message);
    }
    if (change.added.isEmpty())
        return;
    const QString message = subscriptionMessage(1, change.added);
    stream->sendText(message);
    stream->sendText(QString::fromLatin1(kResume));
    qDebug() << "[Fyers] Sent subscription:" << ConnectorText::clipped(message);
}

void FyersBroker::unsubscribeLiveData(const QString& symbol)
{
    subscriptions->remove({symbol});
}

// ---------------------------------------------------------------------------------------------
// Stream messages

void FyersBroker::warnOnce(const QString& text)
{
    // A server that differs from what the decoder expects says so in every message: once is enough.
    if (warned.contains(text) || warned.size() >= kMaxWarnings)
        return;
    warned.insert(text);
    qWarning() << "[Fyers]" << text;
}

void FyersBroker::textFrameReceived(const QString& message)
{
    if (message == QLatin1String("pong"))
        return;
    const QJsonObject o = QJsonDocument::fromJson(message.toUtf8()).object();
    const bool error = o.value(QLatin1String("error")).toBool()
        || o.value(QLatin1String("s")).toString() == QLatin1String("error");
    if (!error) {
        qDebug() << "[Fyers] Text message:" << ConnectorText::clipped(message);
        return;
    }
    QString text = o.value(QLatin1String("msg")).toString();
    if (text.isEmpty())
        text = o.value(QLatin1String("message")).toString();
    reportError(QStringLiteral("Fyers stream error: %1").arg(ConnectorText::clipped(text.isEmpty() ? message : text)));
}

void FyersBroker::binaryFrameReceived(const QByteArray& data)
{
    const DecodedFrame frame = decoder.decode(data, TickClock::nowMSecs());
    for (const DecoderEvent& e : frame.events) {
        switch (e.kind) {
        case DecoderEvent::ServerError:
            reportError(QStringLiteral("Fyers stream error: %1").arg(ConnectorText::clipped(e.text)));
            break;
        case DecoderEvent::Acknowledged:
            qDebug() << "[Fyers] Server response:" << ConnectorText::clipped(e.text);
            break;
        case DecoderEvent::Skipped:
        case DecoderEvent::UnknownPacket:
        case DecoderEvent::Malformed:
            warnOnce(e.text);
            break;
        default:
            break;
        }
    }
    for (TickData tick : frame.ticks) {
        tickers.name(tick);
        emit tickReceived(tick);
    }
}

// ---------------------------------------------------------------------------------------------
// History

void FyersBroker::setHistoryRate(int perWindow, int windowMs)
{
    pacer->setRate(perWindow, windowMs);
}

void FyersBroker::setHistoryBounds(int timeoutMs, qint64 maxBytes)
{
    historyTimeoutMs = timeoutMs;
    historyMaxBytes = maxBytes;
}

QString FyersBroker::resolutionFor(const QString& interval)
{
    static const QHash<QString, QString> map{
        {QStringLiteral("minute"), QStringLiteral("1")},     {QStringLiteral("1minute"), QStringLiteral("1")},
        {QStringLiteral("3minute"), QStringLiteral("3")},    {QStringLiteral("5minute"), QStringLiteral("5")},
        {QStringLiteral("10minute"), QStringLiteral("10")},  {QStringLiteral("15minute"), QStringLiteral("15")},
        {QStringLiteral("30minute"), QStringLiteral("30")},  {QStringLiteral("60minute"), QStringLiteral("60")},
        {QStringLiteral("day"), QStringLiteral("D")},
    };
    return map.value(interval);
}

void FyersBroker::requestIntradayData(const QString& symbol, const QString& interval)
{
    const QDate today = QDate::currentDate();
    requestHistoricalData(symbol, today, today, interval);
}

void FyersBroker::requestHistoricalData(const QString& symbol, const QDate& from, const QDate& to,
                                        const QString& interval)
{
    const quint64 tag = takeHistoryTag();
    QString failure;
    const QString resolution = resolutionFor(interval);
    if (accessToken.isEmpty())
        failure = QStringLiteral("Fyers access token not configured. Please authenticate first.");
    else if (resolution.isEmpty())
        failure = QStringLiteral("Fyers history has no %1 candles").arg(interval);
    else if (!from.isValid() || !to.isValid() || to < from)
        failure = QStringLiteral("Invalid history range for %1").arg(symbol);
    if (!failure.isEmpty()) {
        lastErrorText = failure;
        qWarning() << "[Fyers]" << failure;
        // Queued, so a caller that is still inside its request call sees the failure afterwards.
        QMetaObject::invokeMethod(
            this, [this, tag, symbol, failure] { failHistory(tag, symbol, failure); }, Qt::QueuedConnection);
        return;
    }

    const QString ticker = FyersSymbols::tickerForItem(symbol, tickers.lookups(), tickers.settingsManager());
    // The bars carry the name the live ticks are exported under, so both land in one file.
    QString name = symbol;
    if (SettingsManager* s = tickers.settingsManager())
        name = s->symbolDisplayName(symbol);
    if ((name.isEmpty() || name == symbol) && tickers.lookups() && FyersSymbols::isNumber(symbol)) {
        const QString known = tickers.lookups()->symbolByToken(symbol).symbol;
        name = known.isEmpty() ? symbol : known;
    }
    if (name.isEmpty())
        name = symbol;

    const auto ranges = HistoryBatch::splitRange(from, to, resolution == QLatin1String("D") ? kDailyDays : kIntradayDays);
    qDebug() << "[Fyers] History for" << symbol << "as" << ticker << "resolution" << resolution << "from"
             << from.toString(Qt::ISODate) << "to" << to.toString(Qt::ISODate) << "in" << ranges.size() << "requests";
    QPointer<FyersBroker> self(this);
    const auto batch = HistoryBatch::create(
        ranges.size(), symbol,
        [self, name, tag](const QString& requested, QList<OHLCData> bars) {
            if (!self)
                return;
            for (OHLCData& b : bars)
                b.symbol = name;
            self->answerHistory(tag, requested, bars);
        },
        [self, tag, symbol](const QString& message) {
            if (!self)
                return;
            self->lastErrorText = message;
            self->failHistory(tag, symbol, message);
        });
    for (int i = 0; i < ranges.size(); ++i) {
        const QDate partFrom = ranges[i].first;
        const QDate partTo = ranges[i].second;
        pacer->enqueue([self, symbol, ticker, resolution, partFrom, partTo, batch, i] {
            if (self)
                self->requestHistoryPart(symbol, ticker, resolution, partFrom, partTo, batch, i);
        });
    }
}

void FyersBroker::requestHistoryPart(const QString& symbol, const QString& ticker, const QString& resolution,
                                     const QDate& from, const QDate& to, const std::shared_ptr<HistoryBatch>& batch,
                                     int part)
{
    QUrl url(dataUrl + QLatin1String("/history"));
    QUrlQuery q;
    // Whole days (date_format 1), both ends included.
    q.addQueryItem(QStringLiteral("symbol"), QString::fromLatin1(QUrl::toPercentEncoding(ticker)));
    q.addQueryItem(QStringLiteral("resolution"), resolution);
    q.addQueryItem(QStringLiteral("date_format"), QStringLiteral("1"));
    q.addQueryItem(QStringLiteral("range_from"), from.toString(Qt::ISODate));
    q.addQueryItem(QStringLiteral("range_to"), to.toString(Qt::ISODate));
    q.addQueryItem(QStringLiteral("cont_flag"), QStringLiteral("1"));
    url.setQuery(q);
    QNetworkRequest request(url);
    request.setRawHeader("Authorization", authorization().toUtf8());
    QNetworkReply* reply = BoundedRequest::get(network, request, historyTimeoutMs, historyMaxBytes);
    reply->setProperty("symbol", symbol);
    qDebug() << "[Fyers] History request" << part + 1 << "of" << batch->size() << "for" << ticker << from.toString(Qt::ISODate)
             << "to" << to.toString(Qt::ISODate);
    connect(reply, &QNetworkReply::finished, this, [this, reply, batch, part] { onHistoryReply(reply, batch, part); });
}

void FyersBroker::onHistoryReply(QNetworkReply* reply, const std::shared_ptr<HistoryBatch>& batch, int part)
{
    reply->deleteLater();
    const QString symbol = reply->property("symbol").toString();
    const QString bound = BoundedRequest::boundReached(reply);
    if (!bound.isEmpty()) {
        batch->partFailed(part, QStringLiteral("Fyers history request failed for %1: %2").arg(symbol, bound));
        return;
    }
    const QByteArray body = reply->readAll();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
        // A proxy's HTML page or a dropped connection: the transport's own words.
        const QString why = reply->error() != QNetworkReply::NoError ? reply->errorString()
                                                                    : QStringLiteral("reply is not JSON (HTTP %1)").arg(status);
        batch->partFailed(part, QStringLiteral("Fyers history request failed for %1: %2").arg(symbol, why));
        return;
    }
    const QJsonObject root = doc.object();
    const QString s = root.value(QLatin1String("s")).toString();
    if (s != QLatin1String("ok") && s != QLatin1String("no_data")) {
        QString message = ConnectorText::clipped(root.value(QLatin1String("message")).toString());
        if (message.isEmpty())
            message = reply->error() != QNetworkReply::NoError ? reply->errorString() : QStringLiteral("no message");
        const int code = root.value(QLatin1String("code")).toInt();
        qWarning() << "[Fyers] History error for" << symbol << "- code" << code << "message" << message;
        batch->partFailed(part, QStringLiteral("Fyers history error for %1: %2 (code %3)").arg(symbol, message).arg(code));
        return;
    }
    QList<OHLCData> bars;
    int rejected = 0;
    const QJsonArray candles = root.value(QLatin1String("candles")).toArray();
    bars.reserve(candles.size());
    for (const QJsonValue& v : candles) {
        const QJsonArray c = v.toArray();
        bool ok = c.size() >= 6;
        for (int i = 0; ok && i < 6; ++i)
            ok = c.at(i).isDouble();
        // Epoch seconds: a value past any real date is rejected before it is made an integer.
        const double secs = ok ? c.at(0).toDouble() : 0.0;
        if (!ok || !(secs > 0 && secs < kLastEpochSecs)) {
            ++rejected;
            continue;
        }
        OHLCData b;
        b.timestamp = TickClock::fromSecs(qint64(secs));
        CandleRowParser::readPrices(c, b);
        b.adjustedClose = b.close;
        if (c.size() > 6 && c.at(6).isDouble())
            b.openInterest = c.at(6).toDouble();
        bars.append(b);
    }
    if (rejected > 0)
        qWarning() << "[Fyers] History for" << symbol << "- skipped" << rejected << "candles that are not six numbers";
    qDebug() << "[Fyers] History part" << part + 1 << "for" << symbol << ":" << bars.size() << "candles";
    batch->partArrived(part, bars);
}
