// AngelOne connector: smart-stream connection with heartbeat, subscriptions by exchange type,
// binary tick records, candle history merged with open interest, and the scrip master.
#pragma once

#include "brokers/IBroker.h"
#include "brokers/SubscriptionBatch.h"
#include "brokers/angelone/AngelOneDecoder.h"

#include <QAbstractSocket>
#include <QDateTime>
#include <QJsonObject>
#include <QPointer>

#include <functional>

class AngelOneAuth;
class QNetworkAccessManager;
class QNetworkRequest;
class QTimer;
class QWebSocket;
class StreamLinkWatch;
class SettingsManager;
class SymbolRepository;

class AngelOneBroker : public IBroker {
    Q_OBJECT
public:
    explicit AngelOneBroker(QObject* parent = nullptr);
    ~AngelOneBroker() override;

    // Invokable so the window can hand them over through the meta-object, by name.
    Q_INVOKABLE void setSymbolRepository(SymbolRepository* repository);
    Q_INVOKABLE void setSettingsManager(SettingsManager* settings);
    AngelOneAuth* auth() const { return m_auth; }

    // Hosts in one place: REST and scrip master ("https://host"), stream ("wss://host"); tests
    // use 127.0.0.1 with http:// and ws://.
    void setRestBaseUrl(const QString& url) { m_restBaseUrl = url; }
    void setStreamBaseUrl(const QString& url) { m_streamBaseUrl = url; }
    void setScripMasterBaseUrl(const QString& url) { m_scripMasterBaseUrl = url; }
    void setHeartbeatInterval(int ms) { m_heartbeatIntervalMs = ms; }
    // Test seam: how long the handshake may take and an open stream may stay silent.
    void setLinkTimeouts(int handshakeMs, int silenceMs);
    // Limit on each REST transfer; a reply that never finishes would hold the history queue.
    void setTransferTimeout(int ms) { m_transferTimeoutMs = ms; }
    // Clock for the correlation ID and "today".
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }

    void initialize(const QMap<QString, QString>& config) override;
    void connectToBroker() override;
    void disconnectFromBroker() override;
    void startLiveData() override;
    void stopLiveData() override;
    void subscribeLiveData(const QString& symbol) override;
    void subscribeLiveData(const QStringList& symbols) override;
    void unsubscribeLiveData(const QString& symbol) override;
    // One answer per call: the bars of the range (none when it holds no candles), or the failure
    // "AngelOne history error for <symbol>: <reason>" (failHistory: historyFailed for a tagged
    // request, errorOccurred for an untagged one). A symbol without a token fails within the call.
    void requestHistoricalData(const QString& symbol, const QDate& from, const QDate& to,
                               const QString& interval) override;
    void requestIntradayData(const QString& symbol, const QString& interval) override;
    bool isConnected() const override { return m_connected; }
    QString lastError() const override { return m_lastError; }

    QString exchangeSegmentName(const QString& exchange) const;
    QString mapInterval(const QString& interval) const;
    Q_INVOKABLE void downloadInstrumentList();

    // Last ten digits of the time in milliseconds (leading zeros kept).
    static QString correlationId(qint64 epochMs);

signals:
    void instrumentListDownloaded();

private slots:
    void onWebSocketConnected();
    void onWebSocketDisconnected();
    void onWebSocketError(QAbstractSocket::SocketError error);
    void onWebSocketTextMessageReceived(const QString& message);
    void onWebSocketBinaryMessageReceived(const QByteArray& message);
    void sendHeartbeat();
    void onHistoricalDataReplyFinished();
    void onOIDataReplyFinished();
    void onInstrumentListReplyFinished();

private:
    void handleTextMessage(const QJsonObject& message);
    void requestOIData(const QString& symbol, const QString& displaySymbol, const QString& token,
                       const QString& exchange, const QString& interval, const QString& fromDate,
                       const QString& toDate, const QList<OHLCData>& candles, quint64 tag);
    void failHistoryRequest(quint64 tag, const QString& symbol, const QString& reason);
    QNetworkRequest smartApiRequest(const QString& path) const;
    void releaseSocket();
    void onLinkExpired(const QString& reason);
    bool streamOpen() const;
    QDateTime now() const;
    // The subscription key of a watchlist entry: "<exchange type>|<token>"; empty when unknown.
    QString subscriptionKey(const QString& entry, bool subscribing) const;
    void sendSubscriptionChange(const SubscriptionBatch::Change& change);

    AngelOneAuth* m_auth;
    QWebSocket* m_webSocket = nullptr;
    QTimer* m_heartbeatTimer;
    StreamLinkWatch* m_linkWatch;
    QNetworkAccessManager* m_networkManager;
    QString m_apiKey;
    QString m_clientCode;
    QString m_jwtToken;
    QString m_feedToken;
    QString m_lastError;
    bool m_connected = false;
    // What the open stream carries; a new stream starts empty, and its subscriber sends again.
    SubscriptionBatch* m_subscriptions;
    QPointer<SymbolRepository> m_symbolRepository;
    QPointer<SettingsManager> m_settingsManager;  // kept for the creator; nothing here reads it

    QString m_restBaseUrl;
    QString m_streamBaseUrl;
    QString m_scripMasterBaseUrl;
    int m_heartbeatIntervalMs = 30000;
    int m_transferTimeoutMs = 60000;  // without any bytes moving
    std::function<QDateTime()> m_clock;
    AngelOneDecoder m_decoder;
};
