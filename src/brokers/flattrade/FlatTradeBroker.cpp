// FlatTrade connector: stream life cycle, pending and sent keys, touchline subscribe messages.
#include "brokers/flattrade/FlatTradeBroker.h"

#include "brokers/ConnectorText.h"
#include "brokers/StreamSocketClient.h"
#include "symbols/SymbolRepository.h"

#include <QDebug>
#include <QNetworkRequest>
#include <QUrl>

FlatTradeBroker::FlatTradeBroker(QObject* parent) : StreamBroker("[FlatTradeBroker]", QStringLiteral("FlatTrade"), parent)
{
    // Keep-alive as WebSocket ping frames: the service defines no text ping of its own here.
    stream->setPingInterval(30000);
}

void FlatTradeBroker::setSymbolRepository(SymbolRepository* repository)
{
    symbolRepository = repository;
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

void FlatTradeBroker::connectToBroker()
{
    if (!checkStreamUrl())
        return;
    // A new stream carries none of the old one's subscriptions.
    for (const QString& key : qAsConst(subscriptions)) {
        if (!pending.contains(key))
            pending.append(key);
    }
    sent.clear();
    openStream(QNetworkRequest(QUrl(wsUrl)));
}

void FlatTradeBroker::disconnectFromBroker()
{
    closeStream();
    emit connectionStatusChanged(false);
}

void FlatTradeBroker::streamOpened()
{
    flushPending();
}

void FlatTradeBroker::startLiveData()
{
    if (!connected && stream->state() == QAbstractSocket::UnconnectedState)
        connectToBroker();
    qDebug() << "[FlatTradeBroker] subscribing when start live";
    sent.clear();
    const QStringList all = subscriptions;  // a copy: subscribing walks the list it may extend
    subscribeLiveData(all);
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
    for (const QString& item : symbols) {
        const QString key = keyFor(item);
        if (key.isEmpty()) {
            qDebug() << "[FlatTradeBroker] No token found for symbol:" << item;
            continue;
        }
        if (!subscriptions.contains(key))
            subscriptions.append(key);
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
    const QString message = QStringLiteral("{\"t\":\"d\",\"k\":%1}").arg(ConnectorText::jsonString(pending.join(QLatin1Char('#'))));
    stream->sendText(message);
    qDebug() << "[FlatTradeBroker] Subscribed" << pending.size() << "keys:" << message;
    for (const QString& key : qAsConst(pending))
        sent.insert(key);
    pending.clear();
}

void FlatTradeBroker::unsubscribeLiveData(const QString& symbol)
{
    const QString key = keyFor(symbol);
    if (key.isEmpty() || !subscriptions.contains(key))
        return;
    subscriptions.removeAll(key);
    pending.removeAll(key);
    const bool onStream = sent.remove(key);
    if (connected && onStream) {
        stream->sendText(QStringLiteral("{\"t\":\"u\",\"k\":%1}").arg(ConnectorText::jsonStringArray({key})));
        qDebug() << "[FlatTradeBroker] Unsubscribed" << key;
    }
}
