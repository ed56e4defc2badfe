// Takes backtest jobs, runs their symbols one agent at a time, and reports status, progress and results.
#pragma once

#include "backtest/BacktestRecords.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QMap>
#include <QNetworkAccessManager>
#include <QObject>
#include <QStringList>

#include <functional>

class BacktestAgent;
class CallbackClient;
class IOHLCStore;

class BacktestController : public QObject {
    Q_OBJECT
public:
    // A non-empty callbackBase (or apiKey) is used for every job; when empty, each accepted job's
    // "callback_base" ("api_key") is used, or the last accepted job's when a job gives none.
    BacktestController(IOHLCStore* store, const QString& callbackBase, const QString& apiKey,
                       std::function<void(const QString&)> sendCallback, QObject* parent = nullptr);
    ~BacktestController() override;

    // Starts the job and returns true, or refuses it through the send callback and returns false.
    bool handleJob(const QJsonObject& job);
    void cancel();
    bool waitForAgent(unsigned long ms);

    bool isRunning() const { return running; }
    QString currentCallbackBase() const { return callbackBase; }
    QString currentApiKey() const { return apiKey; }
    // Bound on each whole post, reply included (30 s); a post that takes longer fails like any other.
    void setPostTimeout(int ms) { postTimeoutMs = ms; }

    QString callbackUrl(const QString& path) const;
    QByteArray buildResultsPayload(const QString& symbol, const BacktestSummary& summary,
                                   const QVector<TradeRecord>& trades) const;

signals:
    void jobProgress(QString jobId, int done, int total);
    void jobFinished(QString jobId);
    void jobError(QString jobId, QString msg);

private slots:
    void onAgentProgress(int daysDone, int daysTotal, int tradesTotal);
    void onAgentFinished(QString symbol, BacktestSummary summary, QVector<TradeRecord> trades);
    void onAgentCancelled(QString symbol);
    void onAgentError(QString symbol, QString msg);

private:
    void startNextSymbol();
    void sendStatus(const QString& status, const QString& message);
    // At most one progress post a second; `force` sends it regardless (the job's last one).
    void sendProgress(bool force = false);
    void flushProgress();
    void endJobPosts();
    void sendResults(const QString& symbol, const BacktestSummary& summary, const QVector<TradeRecord>& trades);
    void postJson(const QString& url, const QByteArray& body);
    void send(const QJsonObject& message);
    QString progressUrl() const;
    QString ingestUrl() const;

    IOHLCStore* store = nullptr;
    QString callbackBase;
    QString apiKey;
    std::function<void(const QString&)> sendCallback;
    bool running = false;
    QString jobId;
    QJsonObject strategy;
    QStringList symbols;
    QString from;
    QString to;
    QString interval = QStringLiteral("day");
    qint32 qty = 1;
    bool intraday = false;
    qint32 currentIndex = 0;
    qint32 doneCount = 0;
    qint32 tradesTotal = 0;
    BacktestAgent* agent = nullptr;
    QNetworkAccessManager network;

    QString configuredBase;  // from the settings; wins over every job's own
    QString configuredKey;
    qint32 finishedTrades = 0;       // trades of the job's finished symbols
    QMap<QString, QString> failures;  // symbol -> error of the symbols that failed in this job
    int failedCount = 0;
    int postTimeoutMs = 30000;
    CallbackClient* posts = nullptr;  // the current job's posts, in order
    QElapsedTimer sinceProgressPost;
    bool progressHeld = false;  // a progress post was skipped since the last one sent
};
