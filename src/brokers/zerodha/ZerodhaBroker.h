// Zerodha connector: its own stream socket, token subscriptions in full mode, decoded binary
// ticks, the keep-alive, and candle history in paced chunks.
#pragma once

#include "brokers/StreamBroker.h"
#include "brokers/zerodha/ZerodhaDecoder.h"
#include "symbols/IndianSymbolData.h"

#include <QDate>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <QStringList>

#include <functional>
#include <memory>

class HistoryBatch;
class QNetworkAccessManager;
class QNetworkReply;
class RequestPacer;
class SymbolRepository;

class ZerodhaBroker : public StreamBroker {
    Q_OBJECT
public:
    explicit ZerodhaBroker(QObject* parent = nullptr);

    // Kept for token and name lookups.
    void setSymbolRepository(SymbolRepository* repository);

    // Host of the candle service; tests point it at 127.0.0.1.
    void setRestBaseUrl(const QString& url) { restBaseUrl = url; }
    QString restUrl() const { return restBaseUrl; }
    // Candle requests start at most `perSecond` per window (3 a second by default).
    void setHistoryRate(int perSecond, int windowMs = 1000);
    // Candle requests queued and not yet started.
    int pendingHistoryRequests() const;
    // Pause before a candle request refused as too many is asked again (1 s by default, at least
    // what the service asks for); each further retry waits twice as long.
    void setHistoryRetryDelay(int ms) { historyRetryDelayMs = ms; }
    // Starts `retry` after `delayMs`; a single-shot timer unless a test records the pauses.
    using RetryTimer = std::function<void(int delayMs, std::function<void()> retry)>;
    void setHistoryRetryTimer(RetryTimer timer) { retryTimer = std::move(timer); }

    void initialize(const QMap<QString, QString>& config) override;
    void connectToBroker() override;
    void disconnectFromBroker() override;
    void startLiveData() override;
    void stopLiveData() override;
    using StreamBroker::subscribeLiveData;
    void subscribeLiveData(const QStringList& symbols) override;
    void unsubscribeLiveData(const QString& symbol) override;
    // One historicalDataReceived(symbol, bars) per call, every bar of the range oldest first, or
    // the failure "Zerodha history error for <symbol>: <reason>" (failHistory: historyFailed for a
    // tagged request, errorOccurred for an untagged one).
    void requestHistoricalData(const QString& symbol, const QDate& from, const QDate& to,
                               const QString& interval) override;

    // Keys of the subscription set, in the order they were first subscribed.
    QStringList subscribedKeys() const { return subscriptions->wanted(); }

signals:
    // The stream or a candle request was refused with HTTP 403: the access token has expired or
    // is wrong.
    void tokenExpired();

private:
    struct KnownName {
        QString symbol;
        QString exchange;
    };

    void streamOpened() override;
    void streamFailed(const QString& text) override;
    void textFrameReceived(const QString& message) override;
    void binaryFrameReceived(const QByteArray& data) override;

    // The numeric keys as a JSON list body ("1,2"), each once; other keys are logged and left out.
    QString tokenList(const QStringList& keys) const;
    void sendSubscriptionChange(const SubscriptionBatch::Change& change) override;
    void logFault(const DecoderEvent& event);
    // The repository's record of a token on the exchange a packet names (any exchange's index
    // for the index segment); empty when there is none.
    IndianSymbolData recordFor(const QString& exchange, const QString& token) const;
    void nameTick(TickData& tick);

    // One request of a history batch: a range of at most the interval's limit.
    struct HistoryPart {
        quint32 token = 0;
        QString interval;
        QDate from;
        QDate to;
        QString symbol;   // as asked, for the messages
        QString barName;  // the bars' symbol
        std::shared_ptr<HistoryBatch> batch;
        int part = 0;
        int attempt = 0;  // retries after refusals as too many
    };

    void refuseHistory(quint64 tag, const QString& symbol, const QString& reason);
    void startHistoryPart(const HistoryPart& p);
    void onHistoryReply(QNetworkReply* reply, const HistoryPart& p);

    QString apiKey;
    QString apiSecret;
    QString accessToken;
    QString restBaseUrl;
    QPointer<SymbolRepository> symbolRepository;
    QNetworkAccessManager* network;
    RequestPacer* historyPacer;

    ZerodhaDecoder decoder;
    QHash<QString, KnownName> knownNames;  // token -> record found in the repository
    QSet<qint64> loggedFaults;  // (kind, code) of decoder faults already logged on this connection
    bool expiryReported = false;  // the token alert of this connection attempt was raised
    // The token alert of a refused candle request was raised: a batch of symbols refused one by
    // one raises it once, until a new token or an answered request.
    bool historyExpiryReported = false;
    int historyRetryDelayMs = 1000;
    RetryTimer retryTimer;
};
