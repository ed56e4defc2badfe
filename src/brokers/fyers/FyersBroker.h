// Fyers connector: its own stream socket, symbol subscriptions on channel 1 and the 5 s keep-alive.
#pragma once

#include "brokers/IBroker.h"

#include <QPointer>
#include <QStringList>

class SettingsManager;
class StreamSocketClient;

class FyersBroker : public IBroker {
    Q_OBJECT
public:
    explicit FyersBroker(QObject* parent = nullptr);
    ~FyersBroker() override;

    // The settings store the market-hours filter reads.
    void setSettingsManager(SettingsManager* settings);

    // The stream address; initialize sets it from "ws_url", tests use ws://127.0.0.1.
    void setStreamUrl(const QString& url) { wsUrl = url; }
    QString streamUrl() const { return wsUrl; }
    // Keep-alive period, 5000 ms unless a test shortens it.
    void setPingInterval(int ms);
    bool isPingActive() const;
    QString subscribeMode() const { return mode; }

    void initialize(const QMap<QString, QString>& config) override;
    void connectToBroker() override;
    void disconnectFromBroker() override;
    void startLiveData() override;
    void stopLiveData() override;
    void subscribeLiveData(const QString& symbol) override;
    void subscribeLiveData(const QStringList& symbols) override;
    void unsubscribeLiveData(const QString& symbol) override;
    void requestHistoricalData(const QString& symbol, const QDate& from, const QDate& to,
                               const QString& interval) override;
    void requestIntradayData(const QString& symbol, const QString& interval) override;
    bool isConnected() const override { return connected; }
    QString lastError() const override { return lastErrorText; }

    QStringList subscribedKeys() const { return subscriptions; }

private:
    void onStreamConnected();
    void onStreamDisconnected();
    void onStreamText(const QString& message);
    void onStreamBinary(const QByteArray& data);
    void onStreamFailed(const QString& errorText);
    void sendSubscription(const QStringList& symbols);
    void reportError(const QString& text);

    StreamSocketClient* stream;
    QString accessToken;
    QString clientId;
    QString appId;
    QString wsUrl;
    QString mode;
    bool connected = false;
    bool liveRequested = false;  // startLiveData came before the stream was up
    QString lastErrorText;
    QStringList subscriptions;
    QPointer<SettingsManager> settingsManager;
};
