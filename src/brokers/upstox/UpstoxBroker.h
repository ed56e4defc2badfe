// Upstox connector: feed authorization and stream life cycle with reconnect back-off,
// subscriptions, protocol-buffers and JSON ticks, and candle history.
#pragma once

#include "brokers/HistoryBatch.h"
#include "brokers/IBroker.h"
#include "brokers/SubscriptionBatch.h"
#include "brokers/upstox/UpstoxDecoder.h"

#include <QAbstractSocket>
#include <QMap>
#include <QPointer>
#include <QSet>

#include <functional>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;
class QWebSocket;
class StreamLinkWatch;
class SymbolRepository;

class UpstoxBroker : public IBroker {
    Q_OBJECT
public:
    static constexpr int kPingIntervalMs = 55000;
    static constexpr int kMaxReconnectAttempts = 10;
    static constexpr int kAuthorizeTimeoutMs = 30000;

    explicit UpstoxBroker(QObject* parent = nullptr);
    ~UpstoxBroker() override;

    void setSymbolRepository(SymbolRepository* repository);
    // The API host ("https://host"): feed authorization and history. Tests use http://127.0.0.1.
    void setRestBaseUrl(const QString& url);
    QString restBaseUrl() const { return m_restBaseUrl; }
    // Test seams: the keep-alive interval, the unit of the reconnect back-off (1000 ms: delays of
    // 2, 4, 8 ... 120 units) and the clock that says which date is today.
    void setPingInterval(int ms);
    void setReconnectUnit(int ms) { m_reconnectUnitMs = ms; }
    // How long the handshake may take and an open stream may stay silent (15 s and 90 s).
    void setLinkTimeouts(int handshakeMs, int silenceMs);
    void setToday(std::function<QDate()> today) { m_today = std::move(today); }

    QString findInstrumentKey(const QString& symbol);

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
    bool isConnected() const override { return m_connected; }
    QString lastError() const override { return m_lastError; }

    QSet<QString> subscribedSymbols() const { return m_subscribedSymbols; }
    QSet<QString> pendingSubscriptions() const { return m_pendingSubscriptions; }
    int reconnectAttempts() const { return m_reconnectAttempts; }

public slots:
    // Takes a new token; an open feed is closed and authorized again with it a second later.
    // A slot so that the settings' token signal can be connected by name.
    void updateAccessToken(const QString& token);

private slots:
    void onWsConnected();
    void onWsDisconnected();
    void onWsTextMessage(const QString& message);
    void onWsBinaryMessage(const QByteArray& message);
    void onWsError(QAbstractSocket::SocketError error);
    void onPingTimer();
    void onReconnectTimer();

private:
    void onAuthorizeFinished(QNetworkReply* reply);
    void onHistoricalReplyFinished(QNetworkReply* reply, const std::shared_ptr<HistoryBatch>& batch, int part);
    void openSocket(const QUrl& url);
    void releaseSocket();
    void scheduleReconnect();
    void onLinkExpired(const QString& reason);
    void fail(const QString& error, const char* logPrefix = "[UpstoxBroker]");
    void sendFrame(const char* method, const QStringList& keys, bool withMode);

    QPointer<SymbolRepository> m_symbolRepository;
    QNetworkAccessManager* m_networkManager;
    QWebSocket* m_webSocket = nullptr;
    QTimer* m_pingTimer;
    QTimer* m_reconnectTimer;
    QTimer* m_tokenReconnectTimer;
    // Runs while the stream is open; the back-off starts afresh only once a link has lasted.
    QTimer* m_stableTimer;
    StreamLinkWatch* m_linkWatch;
    QString m_accessToken;
    QString m_feedAuthorizeUrl;
    bool m_connected = false;
    int m_reconnectAttempts = 0;
    int m_maxReconnectAttempts = kMaxReconnectAttempts;
    QString m_lastError;
    QSet<QString> m_subscribedSymbols;
    QSet<QString> m_pendingSubscriptions;
    // Instrument keys wanted and on the stream; a reopened stream gets them all again.
    SubscriptionBatch* m_subscriptions;
    QMap<QString, QString> m_instrumentKeyCache;

    QString m_restBaseUrl;
    int m_reconnectUnitMs = 1000;
    std::function<QDate()> m_today;
    QPointer<QNetworkReply> m_authorizeReply;
    // Set by disconnectFromBroker until the next connect: a close the user asked for is not a
    // lost connection and is not followed by a reconnect.
    bool m_closingOnRequest = false;
    // The authorization in flight belongs to a reconnect run: a passing failure (no answer,
    // server trouble) schedules the next attempt instead of ending the run.
    bool m_reconnectDue = false;
    bool m_authorizeIsRetry = false;
    UpstoxDecoder m_decoder;
};
