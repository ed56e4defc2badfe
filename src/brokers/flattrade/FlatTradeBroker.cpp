// FlatTrade connector: stream life cycle, pending and sent keys, touchline subscribe messages.
#include "brokers/flattrade/FlatTradeBroker.h"

#include "brokers/ConnectorText.h"
#include "brokers/StreamSocketClient.h"
#include "core/SettingsManager.h"
#include "symbols/SymbolRepository.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QUrl>

namespace {

QString compact(const QJsonObject& o)
{
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

}  // namespace

FlatTradeBroker::FlatTradeBroker(QObject* parent) : IBroker(parent), stream(new StreamSocketClient(this))
{
    connect(stream, &StreamSocketClient::connected, this, &FlatTradeBroker::onStreamConnected);
    connect(stream, &StreamSocketClient::disconnected, this, &FlatTradeBroker::onStreamDisconnected);
    connect(stream, &StreamSocketClient::textMessageReceived, this, &FlatTradeBroker::onStreamText);
    connect(stream, &StreamSocketClient::binaryMessageReceived, this, &FlatTradeBroker::onStreamBinary);
    connect(stream, &StreamSocketClient::failed, this, &FlatTradeBroker::onStreamFailed);
}

FlatTradeBroker::~FlatTradeBroker()
{
    stream->close();
}

void FlatTradeBroker::setSymbolRepository(SymbolRepository* repository)
{
    symbolRepository = repository;
}

void FlatTradeBroker::setSettingsManager(SettingsManager* settings)
{
    settingsManager = settings;
}

void FlatTradeBroker::setPingInterval(int ms)
{
    stream->setPingInterval(ms);
}

bool FlatTradeBroker::isPingActive() const
{
    return stream->isPinging();
}

void FlatTradeBroker::initialize(const QMap<QString, QString>& config)
{
    accessToken = config.value(QStringLiteral("access_token"));
    clientId = config.value(QStringLiteral("client_id"));
    wsUrl = config.value(QStringLiteral("ws_url"));
    qDebug() << "[FlatTradeBroker] Initialized - client id:" << clientId
             << "access token:" << (accessToken.isEmpty() ? "Empty" : "Set")
             << "stream:" << ConnectorText::withoutQuery(wsUrl);
}

void FlatTradeBroker::reportError(const QString& text)
{
    lastErrorText = text;
    qWarning() << "[FlatTradeBroker]" << text;
    emit errorOccurred(text);
}

// ---- stream life cycle ---------------------------------------------------------------------

void FlatTradeBroker::connectToBroker()
{
    if (wsUrl.isEmpty()) {
        reportError(QStringLiteral("WebSocket URL not configured"));
        return;
    }
    const bool wasConnected = connected;
    connected = false;
    // A new stream carries none of the old one's subscriptions.
    for (const QString& key : qAsConst(keys)) {
        if (!pending.contains(key))
            pending.append(key);
    }
    sent.clear();
    if (wasConnected)
        emit connectionStatusChanged(false);
    qDebug() << "[FlatTradeBroker] Connecting to" << ConnectorText::withoutQuery(wsUrl);
    stream->open(QNetworkRequest(QUrl(wsUrl)));
}

void FlatTradeBroker::disconnectFromBroker()
{
    stream->close();
    connected = false;
    qDebug() << "[FlatTradeBroker] Disconnected";
    emit connectionStatusChanged(false);
}

void FlatTradeBroker::onStreamConnected()
{
    connected = true;
    qDebug() << "[FlatTradeBroker] WebSocket connected";
    stream->startPing();
    emit connectionStatusChanged(true);
    flushPending();
}

void FlatTradeBroker::onStreamDisconnected()
{
    connected = false;
    qDebug() << "[FlatTradeBroker] WebSocket disconnected";
    emit connectionStatusChanged(false);
}

void FlatTradeBroker::onStreamFailed(const QString& errorText)
{
    reportError(QStringLiteral("WebSocket error: %1").arg(errorText));
}

void FlatTradeBroker::onStreamText(const QString& message)
{
    // Touchline and acknowledgement layouts are not decoded by this connector.
    qDebug() << "[FlatTradeBroker] Text message:" << ConnectorText::clipped(message);
}

void FlatTradeBroker::onStreamBinary(const QByteArray& data)
{
    qDebug() << "[FlatTradeBroker] Binary message not decoded, bytes:" << data.size();
}

// ---- subscriptions -------------------------------------------------------------------------

void FlatTradeBroker::startLiveData()
{
    if (!connected && stream->state() == QAbstractSocket::UnconnectedState)
        connectToBroker();
    qDebug() << "[FlatTradeBroker] subscribing when start live";
    sent.clear();
    subscribeLiveData(keys);
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

void FlatTradeBroker::subscribeLiveData(const QString& symbol)
{
    subscribeLiveData(QStringList{symbol});
}

void FlatTradeBroker::subscribeLiveData(const QStringList& symbols)
{
    for (const QString& item : symbols) {
        const QString key = keyFor(item);
        if (key.isEmpty()) {
            qDebug() << "[FlatTradeBroker] No token found for symbol:" << item;
            continue;
        }
        if (!keys.contains(key))
            keys.append(key);
        if (!sent.contains(key) && !pending.contains(key))
            pending.append(key);
    }
    if (!stream->isOpen()) {
        if (!pending.isEmpty())
            qDebug() << "[FlatTradeBroker] Queued batch subscriptions (not connected):" << pending;
        return;
    }
    flushPending();
}

void FlatTradeBroker::flushPending()
{
    if (pending.isEmpty() || !stream->isOpen())
        return;
    const QString message = compact(QJsonObject{{QStringLiteral("t"), QStringLiteral("d")},
                                                {QStringLiteral("k"), pending.join(QLatin1Char('#'))}});
    stream->sendText(message);
    qDebug() << "[FlatTradeBroker] Subscribed" << pending.size() << "keys:" << message;
    for (const QString& key : qAsConst(pending))
        sent.insert(key);
    pending.clear();
}

void FlatTradeBroker::unsubscribeLiveData(const QString& symbol)
{
    const QString key = keyFor(symbol);
    if (key.isEmpty() || !keys.contains(key))
        return;
    keys.removeAll(key);
    pending.removeAll(key);
    const bool onStream = sent.remove(key);
    if (connected && onStream) {
        stream->sendText(compact(QJsonObject{{QStringLiteral("t"), QStringLiteral("u")},
                                             {QStringLiteral("k"), QJsonArray{key}}}));
        qDebug() << "[FlatTradeBroker] Unsubscribed" << key;
    }
}

// ---- history -------------------------------------------------------------------------------

void FlatTradeBroker::requestHistoricalData(const QString& symbol, const QDate&, const QDate&, const QString&)
{
    lastErrorText = QStringLiteral("Historical data is not available from the FlatTrade connector");
    qWarning() << "[FlatTradeBroker]" << lastErrorText << "- requested for" << symbol;
    QMetaObject::invokeMethod(this, [this, text = lastErrorText] { emit errorOccurred(text); }, Qt::QueuedConnection);
}

void FlatTradeBroker::requestIntradayData(const QString& symbol, const QString& interval)
{
    const QDate today = QDate::currentDate();
    requestHistoricalData(symbol, today, today, interval);
}
