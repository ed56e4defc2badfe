// Zerodha connector: stream life cycle, subscription set and mode messages.
#include "brokers/zerodha/ZerodhaBroker.h"

#include "brokers/ConnectorText.h"
#include "brokers/StreamSocketClient.h"
#include "core/SettingsManager.h"
#include "symbols/SymbolRepository.h"

#include <QDebug>
#include <QNetworkRequest>
#include <QUrl>

ZerodhaBroker::ZerodhaBroker(QObject* parent) : IBroker(parent), stream(new StreamSocketClient(this))
{
    connect(stream, &StreamSocketClient::connected, this, &ZerodhaBroker::onStreamConnected);
    connect(stream, &StreamSocketClient::disconnected, this, &ZerodhaBroker::onStreamDisconnected);
    connect(stream, &StreamSocketClient::textMessageReceived, this, &ZerodhaBroker::onStreamText);
    connect(stream, &StreamSocketClient::binaryMessageReceived, this, &ZerodhaBroker::onStreamBinary);
    connect(stream, &StreamSocketClient::failed, this, &ZerodhaBroker::onStreamFailed);
}

ZerodhaBroker::~ZerodhaBroker()
{
    // The stream goes down silently with the broker: no signal reaches a half-destroyed listener.
    stream->close();
}

void ZerodhaBroker::setSymbolRepository(SymbolRepository* repository)
{
    symbolRepository = repository;
}

void ZerodhaBroker::setSettingsManager(SettingsManager* settings)
{
    settingsManager = settings;
}

void ZerodhaBroker::setPingInterval(int ms)
{
    stream->setPingInterval(ms);
}

bool ZerodhaBroker::isPingActive() const
{
    return stream->isPinging();
}

void ZerodhaBroker::initialize(const QMap<QString, QString>& config)
{
    apiKey = config.value(QStringLiteral("api_key"));
    apiSecret = config.value(QStringLiteral("api_secret"));
    accessToken = config.value(QStringLiteral("access_token"));
    wsUrl = config.value(QStringLiteral("ws_url"));
    qDebug() << "[ZerodhaBroker] Initialized - api key:" << (apiKey.isEmpty() ? "Empty" : "Set")
             << "api secret:" << (apiSecret.isEmpty() ? "Empty" : "Set")
             << "access token:" << (accessToken.isEmpty() ? "Empty" : "Set")
             << "stream:" << ConnectorText::withoutQuery(wsUrl);
}

void ZerodhaBroker::reportError(const QString& text)
{
    lastErrorText = text;
    qWarning() << "[ZerodhaBroker]" << text;
    emit errorOccurred(text);
}

// ---- stream life cycle ---------------------------------------------------------------------

void ZerodhaBroker::connectToBroker()
{
    if (wsUrl.isEmpty()) {
        reportError(QStringLiteral("WebSocket URL not configured"));
        return;
    }
    QString url = wsUrl;
    // An address that already holds a query is taken as complete.
    if (!accessToken.isEmpty() && !url.contains(QLatin1Char('?'))) {
        url += QStringLiteral("?api_key=") + QString::fromLatin1(QUrl::toPercentEncoding(apiKey))
            + QStringLiteral("&access_token=") + QString::fromLatin1(QUrl::toPercentEncoding(accessToken));
    }
    const bool wasConnected = connected;
    connected = false;
    if (wasConnected)
        emit connectionStatusChanged(false);
    qDebug() << "[ZerodhaBroker] Connecting to" << ConnectorText::withoutQuery(url);
    stream->open(QNetworkRequest(QUrl(url)));
}

void ZerodhaBroker::disconnectFromBroker()
{
    stream->close();
    connected = false;
    qDebug() << "[ZerodhaBroker] Disconnected";
    emit connectionStatusChanged(false);
}

void ZerodhaBroker::onStreamConnected()
{
    connected = true;
    qDebug() << "[ZerodhaBroker] WebSocket connected";
    stream->startPing();
    emit connectionStatusChanged(true);
    // Keys taken while the stream was down go out now, in one message.
    if (connected && !subscriptions.isEmpty())
        sendModeMessage(subscriptions);
}

void ZerodhaBroker::onStreamDisconnected()
{
    connected = false;
    qDebug() << "[ZerodhaBroker] WebSocket disconnected";
    emit connectionStatusChanged(false);
}

void ZerodhaBroker::onStreamFailed(const QString& errorText)
{
    reportError(QStringLiteral("WebSocket error: %1").arg(errorText));
}

void ZerodhaBroker::onStreamText(const QString& message)
{
    // Text frames carry the service's notices; their layout is not decoded here.
    qDebug() << "[ZerodhaBroker] Text message:" << ConnectorText::clipped(message);
}

void ZerodhaBroker::onStreamBinary(const QByteArray& data)
{
    // Tick frames are accepted but not decoded: their layout is not available to this connector.
    qDebug() << "[ZerodhaBroker] Binary message not decoded, bytes:" << data.size();
}

// ---- subscriptions -------------------------------------------------------------------------

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

void ZerodhaBroker::subscribeLiveData(const QString& symbol)
{
    subscribeLiveData(QStringList{symbol});
}

void ZerodhaBroker::subscribeLiveData(const QStringList& symbols)
{
    for (const QString& key : symbols) {
        if (!subscriptions.contains(key))
            subscriptions.append(key);
    }
    if (!stream->isOpen()) {
        qDebug() << "[ZerodhaBroker] Queued batch subscriptions (not connected):" << symbols;
        return;
    }
    sendModeMessage(symbols);
}

void ZerodhaBroker::sendModeMessage(const QStringList& keys)
{
    // Written by hand so 64-bit tokens keep every digit (JSON numbers pass through double in Qt).
    QStringList tokens;
    for (const QString& key : keys) {
        bool ok = false;
        const qint64 token = key.toLongLong(&ok, 10);
        if (!ok) {
            qDebug() << "[ZerodhaBroker] Skipping non-numeric token:" << key;
            continue;
        }
        tokens << QString::number(token);
    }
    if (tokens.isEmpty())
        return;
    const QString message = QStringLiteral("{\"a\":\"mode\",\"v\":[\"full\",[%1]]}").arg(tokens.join(QLatin1Char(',')));
    stream->sendText(message);
    qDebug() << "[ZerodhaBroker] Subscribed" << tokens.size() << "tokens in full mode:" << message;
}

void ZerodhaBroker::unsubscribeLiveData(const QString& symbol)
{
    // The service keeps streaming the token; only the set used on the next connection changes.
    subscriptions.removeAll(symbol);
}

// ---- history -------------------------------------------------------------------------------

void ZerodhaBroker::requestHistoricalData(const QString& symbol, const QDate&, const QDate&, const QString&)
{
    lastErrorText = QStringLiteral("Historical data is not available from the Zerodha connector");
    qWarning() << "[ZerodhaBroker]" << lastErrorText << "- requested for" << symbol;
    // Queued, so a caller that is still inside its request call sees the failure afterwards.
    QMetaObject::invokeMethod(this, [this, text = lastErrorText] { emit errorOccurred(text); }, Qt::QueuedConnection);
}

void ZerodhaBroker::requestIntradayData(const QString& symbol, const QString& interval)
{
    const QDate today = QDate::currentDate();
    requestHistoricalData(symbol, today, today, interval);
}
