// Fyers connector: its own depth-stream socket (subscriptions on channel 1, the "ping" keep-alive,
// messages decoded into ticks named after the watchlist) and candle history from the data host.
#pragma once

#include "brokers/ISymbolLookup.h"
#include "brokers/StreamBroker.h"
#include "brokers/fyers/FyersDecoder.h"
#include "brokers/fyers/FyersSymbols.h"

#include <QPointer>
#include <QSet>
#include <QStringList>

#include <memory>

class HistoryBatch;
class QNetworkAccessManager;
class QNetworkReply;
class RequestPacer;
class SymbolRepository;

class FyersBroker : public StreamBroker {
    Q_OBJECT
public:
    explicit FyersBroker(QObject* parent = nullptr);

    QString subscribeMode() const { return mode; }

    void initialize(const QMap<QString, QString>& config) override;
    void connectToBroker() override;
    void disconnectFromBroker() override;
    void startLiveData() override;
    void stopLiveData() override;
    using StreamBroker::subscribeLiveData;
    void subscribeLiveData(const QStringList& symbols) override;
    void unsubscribeLiveData(const QString& symbol) override;

    QStringList subscribedKeys() const { return subscriptions->wanted(); }

    // The settings also hold the watchlist the stream's ticks are named after.
    void setSettingsManager(SettingsManager* settings);
    // Instrument records for the token rule of the tickers, as the symbol manager reads them.
    void setSymbolRepository(SymbolRepository* repository);

    // History: the data host ("https://api-t1.fyers.in/data"); tests use http://127.0.0.1.
    void setDataUrl(const QString& url) { dataUrl = url; }
    QString historyDataUrl() const { return dataUrl; }
    // History requests started per window (the service allows far more than the default 3/s).
    void setHistoryRate(int perWindow, int windowMs = 1000);
    // A history reply fails once nothing has arrived for `timeoutMs` or once it grows past
    // `maxBytes` (30 s and 64 MB by default).
    void setHistoryBounds(int timeoutMs, qint64 maxBytes);

    // Candles of one watchlist entry ("3045", "NSE:SBIN-EQ", "SBIN") over whole days; one
    // answer for the whole range, or the failure (failHistory).
    void requestHistoricalData(const QString& symbol, const QDate& from, const QDate& to,
                               const QString& interval) override;
    void requestIntradayData(const QString& symbol, const QString& interval) override;

    // The service's resolution for one of the window's timeframes ("5minute" -> "5", "day" ->
    // "D"); empty when the service has none.
    static QString resolutionFor(const QString& interval);

private:
    bool keepAliveOnConnect() const override { return liveRequested; }
    void textFrameReceived(const QString& message) override;
    void binaryFrameReceived(const QByteArray& data) override;
    QString subscriptionMessage(int subs, const QStringList& symbols) const;
    void sendSubscriptionChange(const SubscriptionBatch::Change& change) override;
    void warnOnce(const QString& text);
    QString authorization() const;
    void requestHistoryPart(const QString& symbol, const QString& ticker, const QString& resolution,
                            const QDate& from, const QDate& to, const std::shared_ptr<HistoryBatch>& batch,
                            int part);
    void onHistoryReply(QNetworkReply* reply, const std::shared_ptr<HistoryBatch>& batch, int part);

    QString accessToken;
    QString clientId;
    QString appId;
    QString mode;
    bool liveRequested = false;  // between startLiveData and stopLiveData
    FyersDecoder decoder;
    FyersTickerMap tickers;
    // The repository seen through the symbol manager's lookups.
    class RepositoryLookups : public ISymbolLookup {
    public:
        QPointer<SymbolRepository> repository;
        QString findSymbol(const QString& text) const override;
        IndianSymbolData symbolByToken(const QString& token) const override;
    };
    RepositoryLookups repositoryLookups;
    QSet<QString> warned;  // decoder complaints already logged on this connection

    QString dataUrl;
    int historyTimeoutMs;
    qint64 historyMaxBytes;
    QNetworkAccessManager* network = nullptr;
    RequestPacer* pacer = nullptr;
};
