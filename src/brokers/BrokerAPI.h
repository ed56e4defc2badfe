// The one facade to market data: forwards to the current broker connector, or serves the
// "Custom API" (and bare Zerodha/Fyers REST) itself with a rate-limited quote poll.
#pragma once

#include "brokers/FixedWindowRateLimiter.h"
#include "brokers/IBroker.h"
#include "core/MarketData.h"

#include <QDate>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;
struct QuoteOutcome;
class FyersAuth;
class ZerodhaAuth;
class TradeJiniAuth;
class UpstoxAuth;

class BrokerAPI : public QObject {
    Q_OBJECT
public:
    enum class RequestKind { Quote, History };

    explicit BrokerAPI(QObject* parent = nullptr);
    ~BrokerAPI() override;

    void setImplementation(IBroker* impl);
    IBroker* implementation() const { return currentBroker; }
    // Without a connector: the quote poll runs and its latest reply succeeded.
    bool isConnected() const { return connected && failure.isEmpty(); }
    // The quote poll runs (started and not stopped), whatever its replies say.
    bool isPolling() const { return connected; }
    // Why the latest quote reply failed ("HTTP 503", "timed out", ...); empty once one succeeds.
    // A failure of one symbol alone (unknown to the service, answered for another) is not the poll's.
    QString pollFailure() const { return failure; }
    // Polled symbols whose latest quote failed on their own, with the reason ("unknown symbol", ...),
    // while the service may answer for the others.
    QMap<QString, QString> failingSymbols() const { return symbolFailures; }

    void setProvider(int index);
    // Blanks around a pasted key or address (in settings saved before they were trimmed) are
    // never part of them: the request would fail or be refused.
    void setApiKey(const QString& key) { apiKey = key.trimmed(); }
    void setCustomUrl(const QString& url) { baseUrl = url.trimmed(); }
    void setRateLimit(int perMinute) { limiter.setLimit(perMinute); }
    // Every request is given up after this long without its reply.
    void setRequestTimeout(int ms) { requestTimeoutMs = ms; }
    int requestTimeout() const { return requestTimeoutMs; }
    void setFyersClientId(const QString& id) { fyersClientId = id; }
    void setFyersAccessToken(const QString& token) { fyersAccessToken = token; }
    void setFyersAppId(const QString& id) { fyersAppId = id; }

    void setZerodhaApiKey(const QString& key);
    void setZerodhaAccessToken(const QString& token);
    void setZerodhaApiSecret(const QString& secret) { zerodhaApiSecret = secret; }
    void setUpstoxApiKey(const QString& key);
    void setUpstoxApiSecret(const QString& secret);
    void setUpstoxAccessToken(const QString& token) { upstoxAccessToken = token; }

    void startLiveData();
    void stopLiveData();
    void subscribeLiveData(const QString& symbol);
    void unsubscribeLiveData(const QString& symbol);
    // `tag` (from newHistoryTag, or 0) comes back with the answer in historyAnswered. A tagged
    // request is open from here until its answer comes or endHistoryRequest ends it; an answer
    // that comes after that reaches no listener.
    void requestHistoricalData(const QString& symbol, const QDate& from, const QDate& to, const QString& interval,
                               quint64 tag = 0);
    quint64 newHistoryTag() { return ++historyTags; }
    // The tagged request was given up (no answer in time, failed, cancelled).
    void endHistoryRequest(quint64 tag) { openHistoryTags.remove(tag); }
    bool isHistoryRequestOpen(quint64 tag) const { return openHistoryTags.contains(tag); }
    void requestIntradayData(const QString& symbol, const QString& interval);

    int provider() const { return providerIndex; }
    QString currentBaseUrl() const { return baseUrl; }
    int rateLimit() const { return limiter.limit(); }
    QString lastErrorText() const { return lastError; }
    QStringList subscribed() const { return subscribedSymbols; }
    int queuedRequestCount() const { return requestQueue.size(); }
    int requestsInWindow() const { return limiter.count(); }

    QString buildRequestUrl(const QString& endpoint, const QMap<QString, QString>& params) const;

    // Seams for tests: the wall clock of the rate window and the two timer periods.
    void setClock(std::function<QDateTime()> clock);
    void setPollInterval(int ms);
    void setQueueDrainInterval(int ms);

    void parseTickData(const QByteArray& body, const QString& symbol);
    void handleHistoricalReply(const QByteArray& body, const QString& symbol, quint64 tag = 0);

signals:
    void tickReceived(TickData tick);
    void historicalDataReceived(QString symbol, QList<OHLCData> data);
    // Every history answer once more, with the tag of the request it answers (0: untagged),
    // just before historicalDataReceived. Neither carries the answer of a tagged request that has
    // ended; an untagged one answers a request that named no tag, which nothing ends, and goes on.
    void historyAnswered(quint64 tag, QString symbol, QList<OHLCData> data);
    void connectionStatusChanged(bool connected);
    void errorOccurred(QString error);
    // A quote request of the poll failed: `reason` in a few words, `message` says what to check.
    void quoteFailed(QString symbol, QString reason, QString message);
    // The set of failingSymbols() changed: a symbol failed on its own, or answers again.
    void symbolFailuresChanged();
    // A history request failed, with the tag of the request (0: untagged); errorOccurred follows
    // with `message` for those that listen to every error. The own REST path says `reason` in a
    // few words, to be told like a quote failure; a connector's failure has no `reason`, its
    // `message` says it all. The failure of a tagged request that has ended reaches no listener.
    void historyFailed(quint64 tag, QString symbol, QString reason, QString message);

private slots:
    void onNetworkReplyFinished();
    void onLiveDataTimer();
    void processRequestQueue();

private:
    struct PendingRequest {
        QString url;
        QString symbol;
        RequestKind kind;
        quint64 tag;  // of a history request
    };

    void updateBaseUrl();
    void makeRequest(const QString& url, const QString& symbol, RequestKind kind, quint64 tag = 0);
    void handleReply(QNetworkReply* reply);
    void forwardTick(const TickData& tick);
    // Whether an answer (bars or a failure) with this tag belongs to a request still open; it ends
    // that request.
    bool takeHistoryAnswer(quint64 tag);
    void forwardHistory(quint64 tag, const QString& symbol, const QList<OHLCData>& bars);
    void forwardHistoryFailure(quint64 tag, const QString& symbol, const QString& error);
    void reportQuoteFailure(const QuoteOutcome& outcome);
    void reportHistoryFailure(const QuoteOutcome& outcome, quint64 tag);
    void clearSymbolFailure(const QString& symbol);
    // Ends the poll's quote requests for `symbol` (null: every symbol), queued or on their way.
    void dropQuotes(const QString& symbol);
    QDateTime now() const;

    QNetworkAccessManager* networkManager;
    QTimer* liveDataTimer;
    QTimer* requestQueueTimer;
    int providerIndex = 0;
    QString apiKey;
    QString baseUrl;
    QString lastError;
    bool connected = false;
    QString fyersClientId;
    QString fyersAccessToken;
    QString fyersAppId;
    QString zerodhaApiKey;
    QString zerodhaAccessToken;
    QString zerodhaApiSecret;
    QString upstoxApiKey;
    QString upstoxApiSecret;
    QString upstoxAccessToken;
    FyersAuth* fyersAuth;
    ZerodhaAuth* zerodhaAuth;
    TradeJiniAuth* tradeJiniAuth;
    UpstoxAuth* upstoxAuth;
    QStringList subscribedSymbols;
    // Symbols whose quote request is queued or on its way: the next waits for its reply.
    QSet<QString> quotesPending;
    int requestTimeoutMs = 15000;
    QString failure;
    QMap<QString, QString> symbolFailures;  // symbol -> reason
    QList<PendingRequest> requestQueue;
    FixedWindowRateLimiter limiter;
    // Guarded: a connector destroyed before the facade must not leave a dangling pointer.
    QPointer<IBroker> currentBroker;
    std::function<QDateTime()> clock;
    quint64 historyTags = 0;
    QSet<quint64> openHistoryTags;  // tagged history requests sent and neither answered nor ended
};
