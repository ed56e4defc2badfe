// Fyers connector: stream life cycle, subscription and resume messages, keep-alive.
#include "brokers/fyers/FyersBroker.h"

#include "brokers/ConnectorText.h"
#include "brokers/StreamSocketClient.h"
#include "core/SettingsManager.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QUrl>

namespace {

const char kPing[] = "{\"type\":\"ping\"}";
const char kResume[] = "{\"type\":2,\"data\":{\"resumeChannels\":[\"1\"],\"pauseChannels\":[]}}";
constexpr int kPingIntervalMs = 5000;

// A JSON string or array as compact text, escaped by Qt.
QString jsonArray(const QStringList& items)
{
    return QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(items)).toJson(QJsonDocument::Compact));
}

QString jsonString(const QString& text)
{
    const QString array = jsonArray(QStringList{text});
    return array.mid(1, array.size() - 2);
}

}  // namespace

FyersBroker::FyersBroker(QObject* parent)
    : IBroker(parent), stream(new StreamSocketClient(this)), mode(QStringLiteral("depth"))
{
    stream->setPingMessage(QString::fromLatin1(kPing));
    stream->setPingInterval(kPingIntervalMs);
    connect(stream, &StreamSocketClient::connected, this, &FyersBroker::onStreamConnected);
    connect(stream, &StreamSocketClient::disconnected, this, &FyersBroker::onStreamDisconnected);
    connect(stream, &StreamSocketClient::textMessageReceived, this, &FyersBroker::onStreamText);
    connect(stream, &StreamSocketClient::binaryMessageReceived, this, &FyersBroker::onStreamBinary);
    connect(stream, &StreamSocketClient::failed, this, &FyersBroker::onStreamFailed);
}

FyersBroker::~FyersBroker()
{
    stream->close();
}

void FyersBroker::setSettingsManager(SettingsManager* settings)
{
    settingsManager = settings;
}

void FyersBroker::setPingInterval(int ms)
{
    stream->setPingInterval(ms);
}

bool FyersBroker::isPingActive() const
{
    return stream->isPinging();
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
    qDebug() << "[Fyers] Initialized - client id:" << clientId << "app id:" << appId
             << "access token:" << (accessToken.isEmpty() ? "Empty" : "Set") << "mode:" << mode
             << "stream:" << ConnectorText::withoutQuery(wsUrl);
}

void FyersBroker::reportError(const QString& text)
{
    lastErrorText = text;
    qWarning() << "[Fyers]" << text;
    emit errorOccurred(text);
}

// ---- stream life cycle ---------------------------------------------------------------------

void FyersBroker::connectToBroker()
{
    if (wsUrl.isEmpty()) {
        reportError(QStringLiteral("WebSocket URL not configured"));
        return;
    }
    QNetworkRequest request{QUrl(wsUrl)};
    // The first stream address takes "id:token" in the Authorization header of the opening request.
    if (!accessToken.isEmpty()) {
        const QString id = appId.isEmpty() ? clientId : appId;
        request.setRawHeader("Authorization", (id + QLatin1Char(':') + accessToken).toUtf8());
    }
    const bool wasConnected = connected;
    connected = false;
    if (wasConnected)
        emit connectionStatusChanged(false);
    qDebug() << "[Fyers] Connecting to" << ConnectorText::withoutQuery(wsUrl);
    stream->open(request);
}

void FyersBroker::disconnectFromBroker()
{
    // No status signal from here: the window treats a Fyers disconnect as its own doing.
    stream->close();
    connected = false;
    liveRequested = false;
    qDebug() << "[Fyers] Disconnected";
}

void FyersBroker::onStreamConnected()
{
    connected = true;
    qDebug() << "[Fyers] WebSocket connected";
    // Live data asked for while the stream was still opening gets its keep-alive now.
    if (liveRequested)
        stream->startPing();
    emit connectionStatusChanged(true);
    if (connected && !subscriptions.isEmpty())
        sendSubscription(subscriptions);
}

void FyersBroker::onStreamDisconnected()
{
    connected = false;
    qDebug() << "[Fyers] WebSocket disconnected";
    emit connectionStatusChanged(false);
}

void FyersBroker::onStreamFailed(const QString& errorText)
{
    reportError(QStringLiteral("WebSocket error: %1").arg(errorText));
}

void FyersBroker::onStreamText(const QString& message)
{
    // Replies and quotes in JSON are decoded by the window's own stream handling, not here.
    qDebug() << "[Fyers] Text message:" << ConnectorText::clipped(message);
}

void FyersBroker::onStreamBinary(const QByteArray& data)
{
    // The binary market feed is accepted but not decoded: its layout is not available here.
    qDebug() << "[Fyers] Binary message not decoded, bytes:" << data.size();
}

// ---- subscriptions -------------------------------------------------------------------------

void FyersBroker::startLiveData()
{
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

void FyersBroker::subscribeLiveData(const QString& symbol)
{
    subscribeLiveData(QStringList{symbol});
}

void FyersBroker::subscribeLiveData(const QStringList& symbols)
{
    for (const QString& key : symbols) {
        if (!subscriptions.contains(key))
            subscriptions.append(key);
    }
    if (!connected) {
        qDebug() << "[Fyers] Queued batch subscriptions (not connected):" << symbols;
        return;
    }
    sendSubscription(symbols);
}

void FyersBroker::sendSubscription(const QStringList& symbols)
{
    if (symbols.isEmpty())
        return;
    // Field order as the service documents it, so the frame reads the same in a capture.
    const QString message = QStringLiteral("{\"type\":1,\"data\":{\"subs\":1,\"mode\":%1,\"channel\":\"1\",\"symbols\":%2}}")
                                .arg(jsonString(mode), jsonArray(symbols));
    stream->sendText(message);
    stream->sendText(QString::fromLatin1(kResume));
    qDebug() << "[Fyers] Sent subscription:" << ConnectorText::clipped(message);
}

void FyersBroker::unsubscribeLiveData(const QString& symbol)
{
    // Only the set used on the next connection changes; no unsubscribe frame is defined here.
    subscriptions.removeAll(symbol);
}

// ---- history -------------------------------------------------------------------------------

void FyersBroker::requestHistoricalData(const QString& symbol, const QDate&, const QDate&, const QString&)
{
    lastErrorText = QStringLiteral("Historical data is not available from the Fyers connector");
    qWarning() << "[Fyers]" << lastErrorText << "- requested for" << symbol;
    QMetaObject::invokeMethod(this, [this, text = lastErrorText] { emit errorOccurred(text); }, Qt::QueuedConnection);
}

void FyersBroker::requestIntradayData(const QString& symbol, const QString& interval)
{
    const QDate today = QDate::currentDate();
    requestHistoricalData(symbol, today, today, interval);
}
