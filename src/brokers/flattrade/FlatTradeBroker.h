// FlatTrade connector: its own stream socket with the session handshake, exchange|token
// subscriptions, decoded ticks, the text heartbeat, and candle history over REST.
#pragma once

#include "brokers/HistoryBatch.h"
#include "brokers/StreamBroker.h"
#include "brokers/flattrade/FlatTradeDecoder.h"

#include <QPointer>
#include <QSet>
#include <QStringList>

#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;
class RequestPacer;
class SymbolRepository;

class FlatTradeBroker : public StreamBroker {
    Q_OBJECT
public:
    explicit FlatTradeBroker(QObject* parent = nullptr);

    // The stream address the broker serves today, and the older generation it has retired.
    static QString defaultStreamUrl();
    static bool isOlderStreamGeneration(const QString& url);

    // The repository turns bare symbols into tokens and names ticks by exchange and token.
    void setSymbolRepository(SymbolRepository* repository);
    // REST host ("https://host"); the history routes live under "/PiConnectAPI" on it.
    void setRestBaseUrl(const QString& url) { restBaseUrl = url; }
    // How long the broker may take to answer the session message (5 s by default).
    void setSessionTimeout(int ms);
    // History requests started per second at most (3 by default, inside the published limit).
    void setHistoryRate(int perSecond);
    // How long a history request may go without a byte of its reply (60 s by default).
    void setHistoryTimeout(int ms) { historyTimeoutMs = ms; }

    void initialize(const QMap<QString, QString>& config) override;
    void connectToBroker() override;
    void disconnectFromBroker() override;
    void startLiveData() override;
    void stopLiveData() override;
    using StreamBroker::subscribeLiveData;
    void subscribeLiveData(const QStringList& symbols) override;
    void unsubscribeLiveData(const QString& symbol) override;
    void requestHistoricalData(const QString& symbol, const QDate& from, const QDate& to,
                               const QString& interval) override;

    // Every "exchange|token" key held, in the order first subscribed.
    QStringList subscribedKeys() const { return subscriptions->wanted(); }
    // Keys waiting to go out on the stream.
    QStringList pendingKeys() const { return subscriptions->waiting(); }
    // True between the session message and the broker's answer to it.
    bool isAwaitingSession() const { return awaitingSession; }

private:
    struct Instrument {
        QString exchange;
        QString token;
        QString tradingSymbol;  // empty when the repository does not know it
        QString error;          // why the instrument could not be resolved
    };

    void startSession() override;
    void textFrameReceived(const QString& message) override;
    void streamFailed(const QString& text) override;
    void refuseSession(const QString& why);
    QString keyFor(const QString& item) const;
    void sendSubscriptionChange(const SubscriptionBatch::Change& change) override;
    QString tickName(const QString& exchange, const QString& token) const;

    Instrument resolve(const QString& symbol) const;
    void startHistoryPart(const QString& route, const QByteArray& body, bool daily, const QString& symbol,
                          const QString& tradingSymbol, const std::shared_ptr<HistoryBatch>& batch, int part);
    void onHistoryReply(QNetworkReply* reply, bool daily, const QString& tradingSymbol,
                        const std::shared_ptr<HistoryBatch>& batch, int part);
    void reportHistoryFailure(quint64 tag, const QString& symbol, const QString& message);

    QString accessToken;
    QString clientId;
    QString restBaseUrl;
    QPointer<SymbolRepository> symbolRepository;
    FlatTradeDecoder decoder;
    QTimer* sessionTimer;
    bool awaitingSession = false;
    QNetworkAccessManager* networkManager;
    RequestPacer* historyPacer;
    int historyTimeoutMs;
};
