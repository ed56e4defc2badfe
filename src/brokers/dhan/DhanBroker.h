// Dhan connector: the threaded market feed with its subscriptions and ticks, chart history and
// the instrument master.
#pragma once

#include "brokers/IBroker.h"
#include "brokers/SubscriptionBatch.h"
#include "brokers/dhan/DhanDecoder.h"
#include "symbols/IndianSymbolData.h"

#include <QPointer>
#include <QSet>
#include <QStringList>

#include <functional>
#include <memory>

class DhanAuth;
class DhanFeedClient;
struct DhanFeedEvent;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;
class SettingsManager;
class SymbolRepository;

class DhanBroker : public IBroker {
    Q_OBJECT
public:
    // Dhan takes at most this many instruments in one subscription request.
    static constexpr int kMaxInstrumentsPerRequest = 100;

    explicit DhanBroker(QObject* parent = nullptr);
    ~DhanBroker() override;

    Q_INVOKABLE void setSymbolRepository(SymbolRepository* repository);
    Q_INVOKABLE void setSettingsManager(SettingsManager* settings);

    // Hosts in one place: REST and scrip master ("https://host"), feed ("wss://host"); tests use
    // 127.0.0.1. The feed's reconnect waits and the keep-alive interval are shortened by tests.
    void setRestBaseUrl(const QString& url) { restBaseUrl = url; }
    void setScripMasterBaseUrl(const QString& url) { scripMasterBaseUrl = url; }
    void setFeedBaseUrl(const QString& url) { feedBaseUrl = url; }
    void setReconnectWaitRange(int minMs, int maxMs);
    void setPingIntervalMs(int ms);
    // How long the handshake may take and an open feed may stay silent (15 s and 90 s).
    void setLinkTimeouts(int handshakeMs, int silenceMs);
    // Reconnects since the feed's last link that lasted.
    int reconnectAttempts() const;
    void setClock(std::function<QDateTime()> clock) { clockFn = std::move(clock); }
    DhanAuth* authClient() const { return auth; }

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

    // The window starts this by name, like the other brokers' master downloads.
    Q_INVOKABLE void downloadInstrumentList();

    // Symbols the feed carries (also those still waiting for the feed to open), in order.
    QStringList subscribedSymbols() const { return subscriptions->wanted(); }
    QStringList pendingSubscriptions() const { return subscriptions->waiting(); }
    bool pingTimerActive() const;

    // Subscription requests for (segment, security id) pairs, at most 100 instruments each; one
    // request with an empty list when there are none.
    static QStringList subscriptionMessages(const QList<QPair<QString, QString>>& instruments);

    // One feed frame as it arrived (binary packet or UTF-8 JSON text), on the GUI thread.
    void parseBinaryPacket(const QByteArray& data);
    void parseTextMessage(const QByteArray& utf8);

signals:
    void instrumentListDownloaded();

private slots:
    void onAuthSuccessful(QString token);
    void onAuthFailed(QString err);
    void onPingTimer();
    void onInstrumentListReplyFinished();

private:
    void setupWebSocketCallbacks();
    void onFeedEvent(quint64 generation, const DhanFeedEvent& event);
    void handleDecoded(const DecodedFrame& frame, bool logFilter);
    void nameTick(TickData& tick) const;
    bool emitTick(const TickData& tick, bool logFilter);
    // The master's record for a watchlist item (symbol text or security id); empty when unknown.
    IndianSymbolData recordFor(const QString& symbol) const;
    void sendSubscriptions(const QStringList& symbols);
    void releaseFeed();
    bool feedOpen() const;
    void onHistoricalReplyFinished(QNetworkReply* reply);
    QDateTime now() const;
    qint64 nowMSecs() const;

    DhanAuth* auth;
    std::unique_ptr<DhanFeedClient> feed;
    QTimer* pingTimer;
    QString accessToken;
    QString clientId;
    QString feedBaseUrl;
    bool connected = false;
    QString lastErrorText;
    // The feed has no unsubscribe request: a symbol dropped from the set is only not sent again
    // on the next connection.
    SubscriptionBatch* subscriptions;
    QNetworkAccessManager* networkManager;
    QPointer<SymbolRepository> symbolRepository;
    QPointer<SettingsManager> settingsManager;
    QString restBaseUrl;
    QString scripMasterBaseUrl;
    int reconnectMinMs = 1;
    int reconnectMaxMs = 10000;
    int handshakeTimeoutMs = 15000;
    int silenceTimeoutMs = 90000;
    // Events of a replaced or stopped feed may still wait in the queue; they carry an older number.
    quint64 feedGeneration = 0;
    std::function<QDateTime()> clockFn;
    DhanDecoder decoder;  // GUI thread only; reset for every new feed
};
