// Fyers connector: its own stream socket, symbol subscriptions on channel 1 and the 5 s keep-alive.
#pragma once

#include "brokers/StreamBroker.h"

#include <QStringList>

class FyersBroker : public StreamBroker {
    Q_OBJECT
public:
    explicit FyersBroker(QObject* parent = nullptr);

    QString subscribeMode() const { return mode; }

    void initialize(const QMap<QString, QString>& config) override;
    void connectToBroker() override;
    void disconnectFromBroker() override;
    void startLiveData() override;
    void stopLiveData() override;
    using StreamBroker::subscribeLiveData;
    void subscribeLiveData(const QStringList& symbols) override;
    void unsubscribeLiveData(const QString& symbol) override;

    QStringList subscribedKeys() const { return subscriptions; }

private:
    bool keepAliveOnConnect() const override { return liveRequested; }
    void streamOpened() override;
    void sendSubscription(const QStringList& symbols);

    QString accessToken;
    QString clientId;
    QString appId;
    QString mode;
    bool liveRequested = false;  // between startLiveData and stopLiveData
};
