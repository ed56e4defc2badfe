// Queue of history backfills sent one at a time through the facade, matching replies to requests.
#pragma once

#include <QDate>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include "core/MarketData.h"

class BrokerAPI;
class DataManager;
class SettingsManager;
class ISymbolLookup;
class QTimer;

struct HistoricalRequestRecord {
    QString symbol;  // exactly as the caller gave it; sent unchanged and used as the store key
    QDate from;
    QDate to;
    QString requestId;
    QString interval = QStringLiteral("day");
    quint64 tag = 0;  // the facade's tag of the request once it is sent; its answer carries it
};

class HistoricalDownloader : public QObject {
    Q_OBJECT
public:
    HistoricalDownloader(BrokerAPI* api, DataManager* dataManager, SettingsManager* settings,
                         ISymbolLookup* symbolProvider, QObject* parent = nullptr);

    QString downloadHistoricalData(const QString& symbol, const QDate& from, const QDate& to,
                                   const QString& interval);
    QString downloadLastDays(const QString& symbol, int days, const QString& interval);
    QString downloadLastWeeks(const QString& symbol, int weeks, const QString& interval);
    QString downloadLastMonths(const QString& symbol, int months, const QString& interval);
    void downloadWatchlist(const QDate& from, const QDate& to, const QString& interval);
    void downloadWatchlistLastDays(int days, const QString& interval);
    void cancelDownload(const QString& requestId);
    void cancelAllDownloads();

    bool isDownloading() const { return downloading; }
    int pendingCount() const { return requestQueue.size() + activeRequests.size(); }
    int completedCount() const { return completed; }
    QStringList activeSymbols() const;
    // Whether the request is still waiting or running: one that failed (or was answered) within
    // the call that queued it is not.
    bool isPending(const QString& requestId) const;

    // The symbol manager dialog lends its lookups once it exists. When the provider is also a
    // QObject it is tracked, so a destroyed dialog simply means "no service".
    void setSymbolProvider(ISymbolLookup* provider);
    // Seams for tests; defaults 2000 ms between requests and 120 s for a reply.
    void setPacingInterval(int ms);
    void setRequestTimeout(int ms);

    static QString normalizeSymbol(const QString& text);

signals:
    void downloadStarted(QString requestId, QString symbol);
    void downloadCompleted(QString requestId, QString symbol, int recordCount);
    // The bars of a completed request, under the symbol the request named, with its interval.
    void historyDownloaded(QString symbol, QString interval, QList<OHLCData> bars);
    void downloadFailed(QString requestId, QString symbol, QString error);
    // The request had no reply in time; downloadFailed came just before. The other failures
    // were the facade's errors, told by whoever listens to it; this one only the queue sees.
    void downloadTimedOut(QString requestId, QString symbol, QString error);
    void downloadProgress(int completed, int total);
    void allDownloadsCompleted();

private slots:
    // Every history answer of the facade: a tagged one belongs to the request with its tag (or to
    // none, when that request has ended); an untagged one is matched by its symbol.
    void onHistoryAnswered(quint64 tag, QString symbol, QList<OHLCData> data);
    void onHistoricalDataReceived(QString symbol, QList<OHLCData> data);
    // A failed tagged request fails that request alone; an untagged failure is left to the error
    // that follows it.
    void onHistoryFailed(quint64 tag, QString symbol, QString reason, QString message);
    // Any other error of the facade fails the running request.
    void onApiError(QString error);
    void processNextDownload();

private:
    QString generateRequestId();
    void enqueueRequest(const HistoricalRequestRecord& record);
    void finishRequest(const QString& requestId, bool success, const QString& error);
    void completeRequest(const QString& requestId, const QList<OHLCData>& data, const char* logTail);
    // Fails the running request; returns it (empty when none ran).
    HistoricalRequestRecord failActive(const QString& error);
    void startPacing();
    ISymbolLookup* symbolService() const;
    void dumpUnmatched(const QString& reply) const;
    void failRequest(const QString& requestId, const QString& error);

    BrokerAPI* api;
    DataManager* dataManager;
    SettingsManager* settings;
    QList<HistoricalRequestRecord> requestQueue;
    QHash<QString, HistoricalRequestRecord> activeRequests;
    QTimer* pacingTimer;
    QTimer* replyTimer;  // fails a request whose reply never comes
    QHash<QString, QString> variantToRequest;
    // The text of the tagged failure just handled: the errorOccurred that repeats it fails nothing.
    QString handledFailure;
    int requestCounter = 0;
    int completed = 0;
    bool downloading = false;
    ISymbolLookup* provider = nullptr;
    QPointer<QObject> providerGuard;  // set when the provider is a QObject
    bool providerTracked = false;
};
