// FlatTrade connector: its own stream socket, exchange|token subscriptions and the keep-alive.
#pragma once

#include "brokers/IBroker.h"

#include <QPointer>
#include <QSet>
#include <QStringList>

class SettingsManager;
class StreamSocketClient;
class SymbolRepository;

class FlatTradeBroker : public IBroker {
    Q_OBJECT
public:
    explicit FlatTradeBroker(QObject* parent = nullptr);
    ~FlatTradeBroker() override;

    // The repository turns bare symbols into tokens.
    void setSymbolRepository(SymbolRepository* repository);
    void setSettingsManager(SettingsManager* settings);

    // The stream address ("wss://host/PiConnectWSTp/"); initialize sets it from "ws_url".
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

    // Every "exchange|token" key held, in the order first subscribed.
    QStringList subscribedKeys() const { return keys; }
    // Keys waiting to go out on the stream.
    QStringList pendingKeys() const { return pending; }

private:
    void onStreamConnected();
    void onStreamDisconnected();
    void onStreamText(const QString& message);
    void onStreamBinary(const QByteArray& data);
    void onStreamFailed(const QString& errorText);
    QString keyFor(const QString& item) const;
    void flushPending();
    void reportError(const QString& text);

    StreamSocketClient* stream;
    QString accessToken;
    QString clientId;
    QString wsUrl;
    bool connected = false;
    QString lastErrorText;
    QStringList keys;     // everything subscribed
    QStringList pending;  // subscribed but not yet sent on the current stream
    QSet<QString> sent;   // sent on the current stream
    QPointer<SymbolRepository> symbolRepository;
    QPointer<SettingsManager> settingsManager;
};
