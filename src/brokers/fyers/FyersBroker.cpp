// Fyers connector: opening request, subscription and resume messages, keep-alive.
#include "brokers/fyers/FyersBroker.h"

#include "brokers/ConnectorText.h"
#include "brokers/StreamSocketClient.h"

#include <QDebug>
#include <QNetworkRequest>
#include <QUrl>

namespace {

const char kPing[] = "{\"type\":\"ping\"}";
const char kResume[] = "{\"type\":2,\"data\":{\"resumeChannels\":[\"1\"],\"pauseChannels\":[]}}";
constexpr int kPingIntervalMs = 5000;

}  // namespace

FyersBroker::FyersBroker(QObject* parent)
    : StreamBroker("[Fyers]", QStringLiteral("Fyers"), parent), mode(QStringLiteral("depth"))
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
    qDebug() << "[Fyers] Initialized - client id:" << clientId << "app id:" << appId
             << "access token:" << (accessToken.isEmpty() ? "Empty" : "Set") << "mode:" << mode
             << "stream:" << ConnectorText::withoutQuery(wsUrl);
}

void FyersBroker::connectToBroker()
{
    if (!checkStreamUrl())
        return;
    QNetworkRequest request{QUrl(wsUrl)};
    // The first stream address takes "id:token" in the Authorization header of the opening request.
    if (!accessToken.isEmpty()) {
        const QString id = appId.isEmpty() ? clientId : appId;
        request.setRawHeader("Authorization", (id + QLatin1Char(':') + accessToken).toUtf8());
    }
    openStream(request);
}

void FyersBroker::disconnectFromBroker()
{
    // No status signal from here: the window treats a Fyers disconnect as its own doing.
    closeStream();
    liveRequested = false;
}

void FyersBroker::streamOpened()
{
    if (!subscriptions.isEmpty())
        sendSubscription(subscriptions);
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
    if (holdKeys(symbols))
        sendSubscription(symbols);
}

void FyersBroker::sendSubscription(const QStringList& symbols)
{
    if (symbols.isEmpty())
        return;
    const QString message = QStringLiteral("{\"type\":1,\"data\":{\"subs\":1,\"mode\":%1,\"channel\":\"1\",\"symbols\":%2}}")
                                .arg(ConnectorText::jsonString(mode), ConnectorText::jsonStringArray(symbols));
    stream->sendText(message);
    stream->sendText(QString::fromLatin1(kResume));
    qDebug() << "[Fyers] Sent subscription:" << ConnectorText::clipped(message);
}

void FyersBroker::unsubscribeLiveData(const QString& symbol)
{
    // Only the set sent on the next connection changes; no unsubscribe frame is defined here.
    subscriptions.removeAll(symbol);
}
