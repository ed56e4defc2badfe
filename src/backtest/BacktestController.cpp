// Backtest job intake, one agent per symbol in job order, and the status, progress and result posts.
#include "backtest/BacktestController.h"

#include "backtest/BacktestAgent.h"
#include "backtest/BacktestMessages.h"
#include "backtest/CallbackClient.h"

#include <QDate>
#include <QDebug>
#include <QJsonArray>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <cmath>
#include <limits>

namespace {

const QString kBusy = QStringLiteral("A backtest is already running on this client");
const QString kMalformed = QStringLiteral("Malformed job: missing job_id, from, to, strategy, or symbols");
const QString kProgressPath = QStringLiteral("/api/backtest/progress/");
const QString kIngestPath = QStringLiteral("/api/backtest/ingest/");
// A job's range may span at most this many years: beyond it the replay (one step per weekday) and its
// progress would run for hours on an untrusted request.
const int kMaxRangeYears = 30;
const QString kRangeTooLong =
    QStringLiteral("Malformed job: from and to may be at most %1 years apart").arg(kMaxRangeYears);
const qint64 kProgressPostIntervalMs = 1000;
// Every block keeps its own history and state for the whole run; an untrusted graph of tens of
// thousands of blocks would take gigabytes. Real strategies use a few dozen. A connection to an id
// that no block has makes an empty block of it, so connections are capped as well.
const int kMaxStrategyBlocks = 2000;
const int kMaxStrategyConnections = 4 * kMaxStrategyBlocks;
const QString kTooManyBlocks = QStringLiteral("Malformed job: a strategy may have at most %1 blocks and %2 connections")
                                   .arg(kMaxStrategyBlocks)
                                   .arg(kMaxStrategyConnections);

// Both dates readable and more than the limit apart. Unreadable dates are left to the agent, which
// reports them as a range without trading days.
bool rangeTooLong(const QString& from, const QString& to)
{
    const QDate first = QDate::fromString(from, Qt::ISODate);
    const QDate last = QDate::fromString(to, Qt::ISODate);
    return first.isValid() && last.isValid() && first.addYears(kMaxRangeYears) < last;
}

}  // namespace

BacktestController::BacktestController(IOHLCStore* s, const QString& base, const QString& key,
                                       std::function<void(const QString&)> sendFn, QObject* parent)
    : QObject(parent)
    , store(s)
    , callbackBase(base)
    , apiKey(key)
    , sendCallback(std::move(sendFn))
    , configuredBase(base)
    , configuredKey(key)
{
    registerBacktestTypes();
}

BacktestController::~BacktestController()
{
    // The clients post through `network`, which goes before the children do.
    qDeleteAll(findChildren<CallbackClient*>(QString(), Qt::FindDirectChildrenOnly));
    // Besides the current agent, one that has just finished may still be leaving its run; both are
    // children, and deleting a thread that still runs aborts the program. So stop and wait for all.
    const QList<BacktestAgent*> agents = findChildren<BacktestAgent*>(QString(), Qt::FindDirectChildrenOnly);
    for (BacktestAgent* a : agents) {
        disconnect(a, &QThread::finished, a, &QObject::deleteLater);
        disconnect(a, nullptr, this, nullptr);
        if (a->isRunning()) {
            // An agent looks at its cancel flag once per trading day, so this wait is short.
            a->cancel();
            a->wait();
        }
    }
}

bool BacktestController::handleJob(const QJsonObject& job)
{
    if (running) {
        send(QJsonObject{{QStringLiteral("message"), kBusy},
                         {QStringLiteral("status"), QStringLiteral("error")},
                         {QStringLiteral("type"), QStringLiteral("backtest_status")}});
        return false;
    }
    // Read into locals: a refused job changes nothing.
    const QString newJobId = job.value(QStringLiteral("job_id")).toString();
    const QString newFrom = job.value(QStringLiteral("from")).toString();
    const QString newTo = job.value(QStringLiteral("to")).toString();
    const QString newInterval = job.value(QStringLiteral("interval")).toString(QStringLiteral("day"));
    int newQty = 1;
    const QJsonValue qtyValue = job.value(QStringLiteral("qty"));
    if (qtyValue.isDouble()) {
        const double d = qtyValue.toDouble();
        if (std::trunc(d) == d && d >= std::numeric_limits<int>::min() && d <= std::numeric_limits<int>::max())
            newQty = static_cast<int>(d);
    }
    const QJsonObject newStrategy = job.value(QStringLiteral("strategy")).toObject();
    const QString jobBase = job.value(QStringLiteral("callback_base")).toString();
    const QString jobKey = job.value(QStringLiteral("api_key")).toString();
    const QJsonArray symbolArray = job.value(QStringLiteral("symbols")).toArray();

    // An id of "." or ".." cannot name its endpoints, so it counts as missing.
    if (!BacktestMessages::isUsableJobId(newJobId) || newFrom.isEmpty() || newTo.isEmpty() || newStrategy.isEmpty()
        || symbolArray.isEmpty()) {
        send(QJsonObject{{QStringLiteral("job_id"), newJobId},
                         {QStringLiteral("message"), kMalformed},
                         {QStringLiteral("status"), QStringLiteral("error")},
                         {QStringLiteral("type"), QStringLiteral("backtest_status")}});
        return false;
    }
    const bool tooManyBlocks = newStrategy.value(QStringLiteral("blocks")).toArray().size() > kMaxStrategyBlocks
        || newStrategy.value(QStringLiteral("connections")).toArray().size() > kMaxStrategyConnections;
    if (rangeTooLong(newFrom, newTo) || tooManyBlocks) {
        send(QJsonObject{{QStringLiteral("job_id"), newJobId},
                         {QStringLiteral("message"), tooManyBlocks ? kTooManyBlocks : kRangeTooLong},
                         {QStringLiteral("status"), QStringLiteral("error")},
                         {QStringLiteral("type"), QStringLiteral("backtest_status")}});
        return false;
    }

    jobId = newJobId;
    from = newFrom;
    to = newTo;
    interval = newInterval;
    qty = newQty;
    strategy = newStrategy;
    if (configuredBase.isEmpty() && !jobBase.isEmpty())
        callbackBase = jobBase;
    if (configuredKey.isEmpty() && !jobKey.isEmpty())
        apiKey = jobKey;
    intraday = interval != QLatin1String("day");
    symbols.clear();
    for (const QJsonValue& v : symbolArray)
        symbols.append(v.toString());

    running = true;
    currentIndex = 0;
    doneCount = 0;
    tradesTotal = 0;
    finishedTrades = 0;
    failures.clear();
    failedCount = 0;
    posts = new CallbackClient(&network, postTimeoutMs, this);
    sinceProgressPost.invalidate();
    progressHeld = false;
    send(QJsonObject{{QStringLiteral("job_id"), jobId},
                     {QStringLiteral("status"), QStringLiteral("running")},
                     {QStringLiteral("total"), symbols.size()},
                     {QStringLiteral("type"), QStringLiteral("backtest_status")}});
    startNextSymbol();
    return true;
}

void BacktestController::cancel()
{
    if (agent)
        agent->cancel();
}

bool BacktestController::waitForAgent(unsigned long ms)
{
    if (agent && agent->isRunning())
        return agent->wait(ms);
    return false;
}

void BacktestController::startNextSymbol()
{
    if (currentIndex >= symbols.size()) {
        flushProgress();
        sendStatus(QStringLiteral("done"), QString());
        endJobPosts();
        running = false;
        emit jobFinished(jobId);
        return;
    }
    agent = new BacktestAgent(this);
    agent->setStore(store);
    agent->setStrategy(strategy);
    agent->setSymbol(symbols[currentIndex]);
    agent->setDateRange(from, to);
    agent->setIntraday(intraday);
    agent->setQty(qty);
    connect(agent, &BacktestAgent::progress, this, &BacktestController::onAgentProgress);
    connect(agent, &BacktestAgent::finished, this, &BacktestController::onAgentFinished);
    connect(agent, &BacktestAgent::cancelled, this, &BacktestController::onAgentCancelled);
    connect(agent, &BacktestAgent::error, this, &BacktestController::onAgentError);
    connect(agent, &QThread::finished, agent, &QObject::deleteLater);
    agent->start();
}

void BacktestController::onAgentProgress(int, int, int agentTrades)
{
    // The agent reports its own running count; the finished symbols' trades are already counted.
    tradesTotal = finishedTrades + agentTrades;
    sendProgress();
}

void BacktestController::onAgentFinished(QString symbol, BacktestSummary summary, QVector<TradeRecord> trades)
{
    ++doneCount;
    agent = nullptr;
    finishedTrades += trades.size();
    tradesTotal = finishedTrades;
    sendResults(symbol, summary, trades);
    sendProgress();
    ++currentIndex;
    startNextSymbol();
}

void BacktestController::onAgentCancelled(QString)
{
    agent = nullptr;
    running = false;
    flushProgress();
    sendStatus(QStringLiteral("cancelled"), QString());
    endJobPosts();
    emit jobFinished(jobId);
}

void BacktestController::onAgentError(QString symbol, QString msg)
{
    agent = nullptr;
    // The symbol comes from the job: quoted and cut, so it cannot forge or flood log lines.
    qWarning() << "[BacktestController] Agent error for" << symbol.left(64) << ":" << msg;
    QString& entry = failures[symbol];
    entry = entry.isEmpty() ? msg : entry + QStringLiteral("; ") + msg;
    ++failedCount;
    ++currentIndex;
    startNextSymbol();
}

// ---- messages ----

void BacktestController::send(const QJsonObject& message)
{
    if (sendCallback)
        sendCallback(QString::fromUtf8(BacktestMessages::compact(message)));
}

void BacktestController::sendStatus(const QString& status, const QString& message)
{
    QJsonObject msg{{QStringLiteral("job_id"), jobId},
                    {QStringLiteral("status"), status},
                    {QStringLiteral("type"), QStringLiteral("backtest_status")}};
    if (!message.isEmpty())
        msg.insert(QStringLiteral("message"), message);
    QJsonObject post{{QStringLiteral("done"), symbols.size()},
                     {QStringLiteral("status"), status},
                     {QStringLiteral("total"), symbols.size()}};
    // A job with failed symbols must not read as a plain success: say which failed and why.
    if (status == QLatin1String("done") && !failures.isEmpty()) {
        QJsonObject errors;
        for (auto it = failures.constBegin(); it != failures.constEnd(); ++it)
            errors.insert(it.key(), it.value());
        for (QJsonObject* o : {&msg, &post}) {
            o->insert(QStringLiteral("errors"), errors);
            o->insert(QStringLiteral("failed"), failedCount);
        }
    }
    send(msg);
    postJson(progressUrl(), BacktestMessages::compact(post));
}

void BacktestController::flushProgress()
{
    if (progressHeld)
        sendProgress(true);
}

void BacktestController::endJobPosts()
{
    if (posts)
        posts->finishWhenIdle();
    posts = nullptr;
}

void BacktestController::sendProgress(bool force)
{
    if (!force && sinceProgressPost.isValid() && sinceProgressPost.elapsed() < kProgressPostIntervalMs) {
        progressHeld = true;
        return;
    }
    progressHeld = false;
    sinceProgressPost.start();
    postJson(progressUrl(), BacktestMessages::compact(QJsonObject{
                                {QStringLiteral("done"), doneCount},
                                {QStringLiteral("job_id"), jobId},
                                {QStringLiteral("total"), symbols.size()},
                                {QStringLiteral("trades"), tradesTotal},
                                {QStringLiteral("type"), QStringLiteral("backtest_progress")},
                            }));
    emit jobProgress(jobId, doneCount, symbols.size());
}

void BacktestController::sendResults(const QString& symbol, const BacktestSummary& summary,
                                     const QVector<TradeRecord>& trades)
{
    postJson(ingestUrl(), buildResultsPayload(symbol, summary, trades));
}

QByteArray BacktestController::buildResultsPayload(const QString& symbol, const BacktestSummary& summary,
                                                   const QVector<TradeRecord>& trades) const
{
    return BacktestMessages::resultsPayload(symbol, summary, trades);
}

QString BacktestController::callbackUrl(const QString& path) const
{
    return callbackBase.isEmpty() ? QString() : callbackBase + path;
}

QString BacktestController::progressUrl() const
{
    return BacktestMessages::endpointUrl(callbackBase, kProgressPath, jobId);
}

QString BacktestController::ingestUrl() const
{
    return BacktestMessages::endpointUrl(callbackBase, kIngestPath, jobId);
}

void BacktestController::postJson(const QString& url, const QByteArray& body)
{
    if (url.isEmpty())
        return;
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    // Sent even when empty; a null value would make Qt drop the header instead.
    QByteArray key = apiKey.toUtf8();
    if (key.isNull())
        key = QByteArray("");
    request.setRawHeader(QByteArrayLiteral("X-API-Key"), key);
    if (!posts)
        posts = new CallbackClient(&network, postTimeoutMs, this);
    posts->post(request, body);
}
