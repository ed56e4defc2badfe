// FlatTrade connector: its own stream socket, exchange|token subscriptions and the keep-alive.
#pragma once

#include "brokers/StreamBroker.h"

#include <QPointer>
#include <QSet>
#include <QStringList>

class SymbolRepository;

class FlatTradeBroker : public StreamBroker {
    Q_OBJECT
public:
    explicit FlatTradeBroker(QObject* parent = nullptr);

    // The repository turns bare symbols into tokens.
    void setSymbolRepository(SymbolRepository* repository);

    void initialize(const QMap<QString, QString>& config) override;
    void connectToBroker() override;
    void disconnectFromBroker() override;
    void startLiveData() override;
    void stopLiveData() override;
    using StreamBroker::subscribeLiveData;
    void subscribeLiveData(const QStringList& symbols) override;
    void unsubscribeLiveData(const QString& symbol) override;

    // Every "exchange|token" key held, in the order first subscribed.
    QStringList subscribedKeys() const { return subscriptions; }
    // Keys waiting to go out on the stream.
    QStringList pendingKeys() const { return pending; }

private:
    void streamOpened() override;
    QString keyFor(const QString& item) const;
    void flushPending();

    QString accessToken;
    QString clientId;
    QStringList pending;  // subscribed but not yet sent on the current stream
    QSet<QString> sent;   // sent on the current stream
    QPointer<SymbolRepository> symbolRepository;
};
