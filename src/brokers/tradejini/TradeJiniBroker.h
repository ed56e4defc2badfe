// TradeJini connector: stream connection and subscriptions, JSON and binary ticks, 1-minute
// history in chunks and the symbol-store download.
#pragma once

#include "brokers/HistoryBatch.h"
#include "brokers/IBroker.h"
#include "brokers/SubscriptionBatch.h"
#include "brokers/tradejini/TradeJiniDecoder.h"

#include <QAbstractSocket>
#include <QJsonArray>
#include <QJsonObject>
#include <QPointer>
#include <QSet>
#include <QStringList>

#include <functional>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;
class QWebSocket;
class StreamLinkWatch;
class SettingsManager;
class SymbolRepository;

class TradeJiniBroker : public IBroker {
    Q_OBJECT
public:
    explicit TradeJiniBroker(QObject* parent = nullptr);
    ~TradeJiniBroker() override;

    void setSymbolRepository(SymbolRepository* repository);
    void setSettingsManager(SettingsManager* settings);

    // Hosts in one place: REST ("https://host") and stream ("wss://host"); tests use 127.0.0.1.
    void setRestBaseUrl(const QString& url) { restBaseUrl = url; }
    void setStreamBaseUrl(const QString& url) { streamBaseUrl = url; }
    QString streamUrl() const { return wsUrl; }
    // Test seam: how long the handshake may take and an open stream may stay silent.
    void setLinkTimeouts(int handshakeMs, int silenceMs);
    // Clock for "today" (history expiry years) and tick times.
    void setClock(std::function<QDateTime()> clock);

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

    // Subscription keys ("token_exchange") the stream currently carries, in subscription order.
    QStringList subscribedKeys() const { return subscriptions->wanted(); }
    int pendingCount() const { return pending.size(); }

    void loadSymbolGroups();
    void loadSymbolData(const QString& scripGroup);

signals:
    void symbolGroupsLoaded(QJsonArray groups, int version);
    void symbolDataLoaded(QString group, QStringList symbols);
    void symbolLoadError(QString error);

private slots:
    void onWsConnected();
    void onWsDisconnected();
    void onWsTextMessage(const QString& message);
    void onWsBinaryMessage(const QByteArray& message);
    void onWsError(QAbstractSocket::SocketError error);
    void onPingTimer();
    void onSymbolGroupsReplyFinished();
    void onSymbolDataReplyFinished();

private:
    void processJsonMessage(const QJsonObject& object);
    void logL1Packet(const DecoderNote& note);
    // A range over 30 days goes out as several requests; their bars are gathered in a batch and
    // handed on once, so a receiver that replaces a symbol's bars keeps the whole range.
    void requestHistoryRange(const QString& symbol, const QDate& from, const QDate& to, const QString& interval,
                             const std::shared_ptr<HistoryBatch>& batch, int part);
    void onHistoricalReplyFinished(QNetworkReply* reply, const std::shared_ptr<HistoryBatch>& batch, int part);
    // A part of a batch fails within it; a single request fails as the request tagged `tag`.
    void failHistoryPart(const std::shared_ptr<HistoryBatch>& batch, int part, quint64 tag, const QString& symbol,
                         const QString& message);
    // The name history bars are reported under: the caller's text, or the trading symbol of a
    // numeric token.
    QString reportedSymbol(const QString& symbol) const;
    static QString symbolFor(const QString& token, const QString& exchange);
    bool streamOpen() const;
    void sendText(const QString& text);
    void sendSubscriptionChange(const SubscriptionBatch::Change& change);
    void releaseSocket();
    void onLinkExpired(const QString& reason);
    QDateTime now() const;
    QString credential() const;

    QWebSocket* socket = nullptr;
    QTimer* pingTimer = nullptr;
    StreamLinkWatch* linkWatch;
    QString accessToken;
    QString clientId;
    QString apiKey;
    QString wsUrl;
    bool connected = false;
    QString lastErrorText;
    QNetworkAccessManager* networkManager;
    // Every "sub" request replaces the server's whole L1 list, so the full set goes out each time.
    SubscriptionBatch* subscriptions;
    QSet<QString> pending;  // subscribe arguments taken while the stream was not open
    TradeJiniDecoder decoder;
    QPointer<SymbolRepository> symbolRepository;
    QPointer<SettingsManager> settingsManager;
    QString restBaseUrl;
    QString streamBaseUrl;
    std::function<QDateTime()> clock;
};
