// Stream life cycle, status signals and log lines shared by the stream-only connectors.
#include "brokers/StreamBroker.h"

#include "brokers/ConnectorText.h"
#include "brokers/StreamSocketClient.h"
#include "core/SettingsManager.h"

#include <QDebug>
#include <QNetworkRequest>

StreamBroker::StreamBroker(const char* logTag, const QString& name, QObject* parent)
    : IBroker(parent),
      stream(new StreamSocketClient(this)),
      tag(logTag),
      subscriptions(new SubscriptionBatch([this] { return connected && stream->isOpen(); },
                                          [this](const SubscriptionBatch::Change& c) { sendSubscriptionChange(c); },
                                          this)),
      brokerName(name)
{
    connect(stream, &StreamSocketClient::connected, this, &StreamBroker::onStreamConnected);
    connect(stream, &StreamSocketClient::disconnected, this, &StreamBroker::onStreamDisconnected);
    // Through virtual hooks, so each connector decodes its own service's frames.
    connect(stream, &StreamSocketClient::failed, this, [this](const QString& text) { streamFailed(text); });
    connect(stream, &StreamSocketClient::textMessageReceived, this,
            [this](const QString& message) { textFrameReceived(message); });
    connect(stream, &StreamSocketClient::binaryMessageReceived, this,
            [this](const QByteArray& data) { binaryFrameReceived(data); });
}

StreamBroker::~StreamBroker()
{
    // The stream goes down silently with the broker: no signal reaches a half-destroyed listener.
    stream->close();
}

void StreamBroker::setSettingsManager(SettingsManager* settings)
{
    settingsManager = settings;
}

void StreamBroker::setPingInterval(int ms)
{
    stream->setPingInterval(ms);
}

void StreamBroker::setLinkTimeouts(int handshakeMs, int silenceMs)
{
    stream->setLinkTimeouts(handshakeMs, silenceMs);
}

bool StreamBroker::isPingActive() const
{
    return stream->isPinging();
}

void StreamBroker::reportError(const QString& text)
{
    lastErrorText = text;
    qWarning() << tag.constData() << text;
    emit errorOccurred(text);
}

bool StreamBroker::checkStreamUrl()
{
    if (!wsUrl.isEmpty())
        return true;
    reportError(QStringLiteral("WebSocket URL not configured"));
    return false;
}

void StreamBroker::holdKeys(const QStringList& keys)
{
    subscriptions->add(keys);
    if (!connected || !stream->isOpen())
        qDebug() << tag.constData() << "Queued batch subscriptions (not connected):" << keys;
}

void StreamBroker::openStream(const QNetworkRequest& request)
{
    const bool wasConnected = connected;
    connected = false;
    if (wasConnected)
        emit connectionStatusChanged(false);
    qDebug() << tag.constData() << "Connecting to" << ConnectorText::withoutQuery(request.url().toString());
    stream->open(request);
}

void StreamBroker::closeStream()
{
    stream->close();
    connected = false;
    qDebug() << tag.constData() << "Disconnected";
}

void StreamBroker::streamFailed(const QString& text)
{
    reportError(QStringLiteral("WebSocket error: %1").arg(text));
}

void StreamBroker::textFrameReceived(const QString& message)
{
    qDebug() << tag.constData() << "Text message:" << ConnectorText::clipped(message);
}

void StreamBroker::binaryFrameReceived(const QByteArray& data)
{
    qDebug() << tag.constData() << "Binary message not decoded, bytes:" << data.size();
}

void StreamBroker::onStreamConnected()
{
    qDebug() << tag.constData() << "WebSocket connected";
    startSession();
}

void StreamBroker::acceptSession()
{
    connected = true;
    if (keepAliveOnConnect())
        stream->startPing();
    emit connectionStatusChanged(true);
    // A listener may have closed the stream in the meantime.
    if (connected)
        streamOpened();
    // The new stream carries nothing yet.
    if (connected)
        subscriptions->streamReplaced();
}

void StreamBroker::onStreamDisconnected()
{
    connected = false;
    qDebug() << tag.constData() << "WebSocket disconnected";
    emit connectionStatusChanged(false);
}

void StreamBroker::requestHistoricalData(const QString& symbol, const QDate&, const QDate&, const QString&)
{
    lastErrorText = QStringLiteral("Historical data is not available from the %1 connector").arg(brokerName);
    qWarning() << tag.constData() << lastErrorText << "- requested for" << symbol;
    // Queued, so a caller that is still inside its request call sees the failure afterwards.
    QMetaObject::invokeMethod(this, [this, text = lastErrorText] { emit errorOccurred(text); }, Qt::QueuedConnection);
}

void StreamBroker::requestIntradayData(const QString& symbol, const QString& interval)
{
    const QDate today = QDate::currentDate();
    requestHistoricalData(symbol, today, today, interval);
}
