// Zerodha connector: its own stream socket, token subscriptions in full mode and the keep-alive.
#pragma once

#include "brokers/StreamBroker.h"

#include <QPointer>
#include <QStringList>

class SymbolRepository;

class ZerodhaBroker : public StreamBroker {
    Q_OBJECT
public:
    explicit ZerodhaBroker(QObject* parent = nullptr);

    // Kept for token and name lookups.
    void setSymbolRepository(SymbolRepository* repository);

    void initialize(const QMap<QString, QString>& config) override;
    void connectToBroker() override;
    void disconnectFromBroker() override;
    void startLiveData() override;
    void stopLiveData() override;
    using StreamBroker::subscribeLiveData;
    void subscribeLiveData(const QStringList& symbols) override;
    void unsubscribeLiveData(const QString& symbol) override;

    // Keys of the subscription set, in the order they were first subscribed.
    QStringList subscribedKeys() const { return subscriptions; }

private:
    void streamOpened() override;
    void sendModeMessage(const QStringList& keys);

    QString apiKey;
    QString apiSecret;
    QString accessToken;
    QPointer<SymbolRepository> symbolRepository;
};
