// Zerodha connector: its own stream socket, token subscriptions in full mode and the keep-alive.
#pragma once

#include "brokers/IBroker.h"

#include <QPointer>
#include <QStringList>

class SettingsManager;
class StreamSocketClient;
class SymbolRepository;

class ZerodhaBroker : public IBroker {
    Q_OBJECT
public:
    explicit ZerodhaBroker(QObject* parent = nullptr);
    ~ZerodhaBroker() override;

    // Kept for token and name lookups.
    void setSymbolRepository(SymbolRepository* repository);
    void setSettingsManager(SettingsManager* settings);

    // The stream address ("wss://host/"); initialize sets it from "ws_url", tests use ws://127.0.0.1.
    void setStreamUrl(const QString& url) { wsUrl = url; }
    QString streamUrl() const { return wsUrl; }
    // Keep-alive period (WebSocket ping frames while the stream is open).
    void setPingInterval(int ms);
    bool isPingActive() const;

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

    // Keys of the subscription set, in the order they were first subscribed.
    QStringList subscribedKeys() const { return subscriptions; }

private:
    void onStreamConnected();
    void onStreamDisconnected();
    void onStreamText(const QString& message);
    void onStreamBinary(const QByteArray& data);
    void onStreamFailed(const QString& errorText);
    void sendModeMessage(const QStringList& keys);
    void reportError(const QString& text);

    StreamSocketClient* stream;
    QString apiKey;
    QString apiSecret;
    QString accessToken;
    QString wsUrl;
    bool connected = false;
    QString lastErrorText;
    QStringList subscriptions;
    QPointer<SymbolRepository> symbolRepository;
    QPointer<SettingsManager> settingsManager;
};
