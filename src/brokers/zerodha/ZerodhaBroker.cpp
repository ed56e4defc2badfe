// Zerodha connector: opening address, subscription set and mode messages.
#include "brokers/zerodha/ZerodhaBroker.h"

#include "brokers/ConnectorText.h"
#include "brokers/StreamSocketClient.h"
#include "symbols/SymbolRepository.h"

#include <QDebug>
#include <QNetworkRequest>
#include <QUrl>

ZerodhaBroker::ZerodhaBroker(QObject* parent) : StreamBroker("[ZerodhaBroker]", QStringLiteral("Zerodha"), parent)
{
    // Keep-alive as WebSocket ping frames: the service defines no text ping of its own here.
    stream->setPingInterval(30000);
}

void ZerodhaBroker::setSymbolRepository(SymbolRepository* repository)
{
    symbolRepository = repository;
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
    openStream(QNetworkRequest(QUrl(url)));
}

void ZerodhaBroker::disconnectFromBroker()
{
    closeStream();
    emit connectionStatusChanged(false);
}

void ZerodhaBroker::streamOpened()
{
    // Keys taken while the stream was down go out now, in one message.
    if (!subscriptions.isEmpty())
        sendModeMessage(subscriptions);
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
    if (holdKeys(symbols))
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
    // The service keeps streaming the token; only the set sent on the next connection changes.
    subscriptions.removeAll(symbol);
}
