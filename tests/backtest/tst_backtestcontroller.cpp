// Backtest jobs end to end: intake and refusals, posts to a loopback callback server, byte-exact messages.
#include "backtest/BacktestController.h"
#include "backtest/BacktestMessages.h"
#include "backtest/SQLiteOHLCStore.h"
#include "support/CandleFixture.h"
#include "support/ClosedPort.h"
#include "support/HttpTestServer.h"
#include "support/LogCapture.h"
#include "support/StrategyGraph.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <cmath>
#include <limits>

namespace {

QJsonObject thresholdStrategy()
{
    using StrategyGraph::block;
    using StrategyGraph::edge;
    // Buy when the 1-minute close crosses above its 9-bar EMA; a 0.2 % target and stop.
    return QJsonObject{
        {"strategyTimeframe", 2},
        {"blocks", QJsonArray{block(1, "CandleClose"), block(2, "EMA", {{"period", 9}}), block(3, "CrossedAbove"),
                              block(4, "BuyEntry"), block(5, "StopLoss", {{"percent", 0.2}}),
                              block(6, "Target", {{"percent", 0.2}})}},
        {"connections", QJsonArray{edge(1, 2, 0), edge(1, 3, 0), edge(2, 3, 1), edge(3, 4, 0)}}};
}

QJsonObject job(const QString& id, const QJsonArray& symbols, const QString& from, const QString& to,
                const QJsonObject& extra = {})
{
    QJsonObject j{{"type", "backtest_job"}, {"job_id", id},       {"from", from},   {"to", to},
                  {"interval", "1m"},        {"strategy", thresholdStrategy()}, {"symbols", symbols}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        j.insert(it.key(), it.value());
    return j;
}

QList<QJsonObject> ndjson(const QByteArray& body)
{
    QList<QJsonObject> out;
    for (const QByteArray& line : body.split('\n')) {
        if (!line.isEmpty())
            out.append(QJsonDocument::fromJson(line).object());
    }
    return out;
}

// Hands the job to the controller and waits until it has finished.
bool runJob(BacktestController& c, const QJsonObject& j)
{
    QSignalSpy finished(&c, &BacktestController::jobFinished);
    return c.handleJob(j) && finished.wait(30000);
}

// A trade of two shares from 101; the payload writes the finished symbol, not the record's "OTHER".
TradeRecord trade(double points, int side = 1, int reason = 0)
{
    return {"OTHER", side, "2024-03-04", "10:00:00", 101, "2024-03-04", "10:30:00", 101 + points, reason, 97.97, 111.1,
            2, points, points * 2, "D-RSI(14):61.3"};
}

}  // namespace

class TestBacktestController : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        log = new LogCapture;
        sent.clear();
        dir = new QTemporaryDir;
        store = new SQLiteOHLCStore;
        QVERIFY(store->open(dir->path()));
        server = new HttpTestServer;
        QVERIFY(server->listen());
    }

    void cleanup()
    {
        delete server;
        delete store;
        delete dir;
        delete log;
    }

    void resultsPayloadIsByteExact()
    {
        // Trades, wins, losses, win rate, points, money, drawdown, average win and loss, profit factor; a NaN
        // expectancy; an equity curve that is never written, as equity comes from the trades' points.
        const BacktestSummary s{{}, {}, {}, 3, 2, 1, 200.0 / 3, 7, 14, 2, 4.5, 2, 4.5,
                                std::numeric_limits<double>::quiet_NaN(), {100, 200, 300}};
        const QByteArray payload =
            BacktestMessages::resultsPayload("SYM", s, {trade(5), trade(-2, 3, 9), trade(4, 2, 6)});
        const QByteArray expected =
            R"({"entry_date":"2024-03-04","entry_price":101,"entry_time":"10:00:00","exit_date":"2024-03-04",)"
            R"("exit_price":106,"exit_reason":"Target Hit","exit_time":"10:30:00","notes":"D-RSI(14):61.3","pnl":10,)"
            R"("points":5,"qty":2,"side":"BUY","sl":97.97,"symbol":"SYM","target":111.1,"type":"trade"})" "\n"
            R"({"entry_date":"2024-03-04","entry_price":101,"entry_time":"10:00:00","exit_date":"2024-03-04",)"
            R"("exit_price":99,"exit_reason":"Unknown","exit_time":"10:30:00","notes":"D-RSI(14):61.3","pnl":-4,)"
            R"("points":-2,"qty":2,"side":"","sl":97.97,"symbol":"SYM","target":111.1,"type":"trade"})" "\n"
            R"({"entry_date":"2024-03-04","entry_price":101,"entry_time":"10:00:00","exit_date":"2024-03-04",)"
            R"("exit_price":105,"exit_reason":"Max Bars Exit","exit_time":"10:30:00","notes":"D-RSI(14):61.3","pnl":8,)"
            R"("points":4,"qty":2,"side":"SELL","sl":97.97,"symbol":"SYM","target":111.1,"type":"trade"})" "\n"
            R"({"idx":0,"symbol":"SYM","type":"equity","value":5})" "\n"
            R"({"idx":1,"symbol":"SYM","type":"equity","value":3})" "\n"
            R"({"idx":2,"symbol":"SYM","type":"equity","value":7})" "\n"
            R"({"avg_loss":2,"avg_win":4.5,"expectancy":null,"losses":1,"max_drawdown":2,"net_pnl":14,)"
            R"("profit_factor":4.5,"symbol":"SYM","total_points":7,"total_trades":3,"type":"stats",)"
            R"("win_rate":66.66666666666667,"wins":2})" "\n";
        QCOMPARE(payload, expected);

        const QByteArray none = BacktestMessages::resultsPayload("X", BacktestSummary(), {});
        QCOMPARE(none, QByteArray(R"({"avg_loss":0,"avg_win":0,"expectancy":0,"losses":0,"max_drawdown":0,"net_pnl":0,)"
                                  R"("profit_factor":0,"symbol":"X","total_points":0,"total_trades":0,"type":"stats",)"
                                  R"("win_rate":0,"wins":0})" "\n"));
    }

    void endpointUrls()
    {
        // One pass over the table: each row of a data-driven test would pay for the store and server of init().
        const struct {
            const char* base;
            const char* jobId;
            const char* url;
        } rows[] = {{"http://h", "job-2024_03.1~x", "http://h/api/backtest/progress/job-2024_03.1~x"},
                    {"http://h/", "J", "http://h//api/backtest/progress/J"},  // a trailing slash is kept
                    {"http://h", "a/b?c#d", "http://h/api/backtest/progress/a%2Fb%3Fc%23d"},
                    {"http://h", "..", ""},  // a dot segment would climb out of the endpoint
                    {"http://h", ".", ""},
                    {"", "J1", ""}};
        for (const auto& r : rows)
            QCOMPARE(BacktestMessages::endpointUrl(r.base, "/api/backtest/progress/", r.jobId), QString(r.url));
    }

    void jobRunsAndPostsEverything()
    {
        const QStringList days = tradingDaysBetween("2024-03-04", "2024-03-05");
        for (int i = 0; i < days.size(); ++i) {
            CandleFixture::fill(*store, "AAA", CandleFixture::randomDay(days[i], 500, quint32(10 + i)));
            CandleFixture::fill(*store, "BBB", CandleFixture::randomDay(days[i], 200, quint32(20 + i)));
        }
        server->setReply("POST", "/api/backtest/progress/J1", HttpTestServer::Reply::json("{}"));
        server->setReply("POST", "/api/backtest/ingest/J1", HttpTestServer::Reply::json("{}"));
        BacktestController controller(store, QString(), QString(), [this](const QString& m) { sent.append(m); });
        QSignalSpy finished(&controller, &BacktestController::jobFinished);
        QSignalSpy progress(&controller, &BacktestController::jobProgress);
        const QJsonObject j = job("J1", {"AAA", "BBB"}, days.first(), days.last(),
                                  {{"callback_base", server->baseUrl()}, {"api_key", "k1"}, {"qty", 2.5}});
        QVERIFY(controller.handleJob(j));
        QCOMPARE(sent, QStringList{R"({"job_id":"J1","status":"running","total":2,"type":"backtest_status"})"});
        QVERIFY(finished.wait(30000));
        QCOMPARE(finished.first().first().toString(), QString("J1"));
        QCOMPARE(sent.mid(1), QStringList{R"({"job_id":"J1","status":"done","type":"backtest_status"})"});
        QVERIFY(!controller.isRunning());
        // Progress posts at most once a second, each symbol's results, then the last progress post and the
        // status post, in that order.
        QTRY_VERIFY_WITH_TIMEOUT(server->requestCount() >= 4 && server->lastRequest().body.contains(R"("status":"done")"), 10000);
        QCOMPARE(progress.last(), (QList<QVariant>{"J1", 2, 2}));
        const QList<HttpTestServer::Request> all = server->requests();
        QCOMPARE(all[all.size() - 2].path, QString("/api/backtest/progress/J1"));
        QVERIFY(all[all.size() - 2].body.contains(R"("done":2)"));

        int totalTrades = 0;
        QStringList ingested;
        for (const auto& r : server->requestsTo("/api/backtest/ingest/J1")) {
            const QList<QJsonObject> lines = ndjson(r.body);
            QVERIFY(r.body.endsWith('\n'));
            const QString symbol = lines.last().value("symbol").toString();
            ingested.append(symbol);
            const int n = lines.last().value("total_trades").toInt();
            QCOMPARE(lines.size(), 2 * n + 1);
            for (int i = 0; i < lines.size(); ++i) {
                QCOMPARE(lines[i].value("type").toString(), QString(i < n ? "trade" : i < 2 * n ? "equity" : "stats"));
                QCOMPARE(lines[i].value("symbol").toString(), symbol);
                if (i < n)
                    QCOMPARE(lines[i].value("qty").toInt(), 1);  // a fractional qty gives 1
            }
            totalTrades += n;
        }
        ingested.sort();
        QCOMPARE(ingested, QStringList({"AAA", "BBB"}));
        QVERIFY(totalTrades > 0);

        int maxTrades = -1;
        QByteArray statusPost;
        for (const auto& r : server->requestsTo("/api/backtest/progress/J1")) {
            QCOMPARE(r.method, QByteArray("POST"));
            QCOMPARE(r.header("content-type"), QByteArray("application/json"));
            QCOMPARE(r.header("x-api-key"), QByteArray("k1"));
            const QJsonObject o = QJsonDocument::fromJson(r.body).object();
            if (o.value("type").toString() == "backtest_progress") {
                QVERIFY(o.value("trades").toInt() <= totalTrades);  // never counted twice
                maxTrades = std::max(maxTrades, o.value("trades").toInt());
                QCOMPARE(o.value("total").toInt(), 2);
            } else {
                statusPost = r.body;
            }
        }
        QCOMPARE(maxTrades, totalTrades);
        QCOMPARE(statusPost, QByteArray(R"({"done":2,"status":"done","total":2})"));
        QCOMPARE(server->requestsTo("/api/backtest/ingest/J1").first().header("x-api-key"), QByteArray("k1"));
        QCOMPARE(log->count(QtWarningMsg, "HTTP POST error"), 0);
    }

    void refusals()
    {
        BacktestController controller(store, QString(), QString(), [this](const QString& m) { sent.append(m); });
        QSignalSpy finished(&controller, &BacktestController::jobFinished);
        const QString malformed = R"({"job_id":"%1","message":"Malformed job: missing job_id, from, to, strategy, or symbols","status":"error","type":"backtest_status"})";
        const QString tooLarge = R"({"job_id":"%1","message":"Malformed job: a strategy may have at most 2000 blocks and 8000 connections","status":"error","type":"backtest_status"})";
        QJsonObject noStrategy = job("M1", {"A"}, "2024-03-04", "2024-03-05", {{"callback_base", "http://refused"}});
        noStrategy.insert("strategy", QJsonObject());
        // The last one spans more than 30 years.
        for (const QJsonObject& j : {noStrategy, job("M2", {}, "2024-03-04", "2024-03-05"), job("", {"A"}, "2024-03-04", "2024-03-05"),
                                     job("M4", {"A"}, "", "2024-03-05"), QJsonObject{{"job_id", 5}},
                                     job("M6", {"A"}, "1994-03-04", "2024-03-05")})
            QVERIFY(!controller.handleJob(j));
        // A graph too large to hold per-block state for.
        QJsonObject huge = job("M7", {"A"}, "2024-03-04", "2024-03-05");
        QJsonArray blocks;
        for (int i = 0; i < 2001; ++i)
            blocks.append(QJsonObject{{"id", i}, {"type", "Number"}});
        huge.insert("strategy", QJsonObject{{"blocks", blocks}});
        QVERIFY(!controller.handleJob(huge));
        // Few blocks, but a chain of connections naming 8001 more.
        QJsonArray chain;
        for (int i = 0; i < 8001; ++i)
            chain.append(QJsonObject{{"fromBlock", i}, {"toBlock", i + 1}});
        huge.insert("strategy", QJsonObject{{"blocks", QJsonArray{QJsonObject{{"id", 0}, {"type", "Number"}}}}, {"connections", chain}});
        huge.insert("job_id", "M8");
        QVERIFY(!controller.handleJob(huge));
        QCOMPARE(sent, QStringList({malformed.arg("M1"), malformed.arg("M2"), malformed.arg(""), malformed.arg("M4"),
                                    malformed.arg(""),
                                    R"({"job_id":"M6","message":"Malformed job: from and to may be at most 30 years apart","status":"error","type":"backtest_status"})",
                                    tooLarge.arg("M7"), tooLarge.arg("M8")}));
        QVERIFY(!controller.isRunning());
        QVERIFY(controller.currentCallbackBase().isEmpty());  // a refused job changes nothing

        sent.clear();
        QVERIFY(controller.handleJob(job("R1", {"A"}, "1994-03-04", "2024-03-04")));  // exactly 30 years
        QVERIFY(!controller.handleJob(job("R2", {"B"}, "2024-03-04", "2024-03-05")));
        QCOMPARE(sent.last(),
                 QString(R"({"message":"A backtest is already running on this client","status":"error","type":"backtest_status"})"));
        QVERIFY(finished.wait(30000));
        QCOMPARE(finished.first().first().toString(), QString("R1"));  // the busy refusal did not touch the job
        QVERIFY(sent.last().contains(R"("job_id":"R1")"));
    }

    void intervalChoosesTheMode_data()
    {
        QTest::addColumn<QJsonValue>("interval");
        QTest::addColumn<bool>("intraday");
        // Any text but "day", in any case, is intraday.
        QTest::newRow("absent") << QJsonValue(QJsonValue::Undefined) << false;
        QTest::newRow("day") << QJsonValue("day") << false;
        QTest::newRow("Day") << QJsonValue("Day") << true;
        QTest::newRow("5m") << QJsonValue("5m") << true;
    }

    void intervalChoosesTheMode()
    {
        QFETCH(QJsonValue, interval);
        // The strategy enters on minute bars only, which the daily mode does not act on.
        CandleFixture::fill(*store, "AAA", CandleFixture::randomDay("2024-03-04", 500, 7));
        server->setReply("POST", "/api/backtest/ingest/I1", HttpTestServer::Reply::json("{}"));
        server->setReply("POST", "/api/backtest/progress/I1", HttpTestServer::Reply::json("{}"));
        BacktestController controller(store, server->baseUrl(), QString(), [this](const QString& m) { sent.append(m); });
        QJsonObject j = job("I1", {"AAA"}, "2024-03-04", "2024-03-04");
        j.remove("interval");
        if (!interval.isUndefined())
            j.insert("interval", interval);
        QVERIFY(runJob(controller, j));
        QTRY_COMPARE_WITH_TIMEOUT(server->requestsTo("/api/backtest/ingest/I1").size(), 1, 10000);
        const QList<QJsonObject> lines = ndjson(server->requestsTo("/api/backtest/ingest/I1").first().body);
        QTEST(lines.last().value("total_trades").toInt() > 0, "intraday");
    }

    void endpointsFollowEachAcceptedJob()
    {
        const QString base = server->baseUrl();
        auto weekend = [&](BacktestController& c, const QString& id, const QJsonObject& extra) {
            QVERIFY(runJob(c, job(id, {"A"}, "2024-03-09", "2024-03-10", extra)));  // fails at once
        };
        auto statusPostTo = [&](const QString& path) {
            QTRY_COMPARE_WITH_TIMEOUT(server->requestsTo(path).size(), 1, 10000);
        };
        {
            BacktestController c(store, QString(), QString(), [this](const QString& m) { sent.append(m); });
            weekend(c, "J1", {{"callback_base", base + "/a"}, {"api_key", "k1"}});
            statusPostTo("/a/api/backtest/progress/J1");
            QCOMPARE(server->requestsTo("/a/api/backtest/progress/J1").first().header("x-api-key"), QByteArray("k1"));
            // Every symbol failed: the status post says so, and there are no results.
            QCOMPARE(server->requestsTo("/a/api/backtest/progress/J1").first().body,
                     QByteArray(R"({"done":1,"errors":{"A":"No trading days in range"},"failed":1,"status":"done","total":1})"));
            QVERIFY(server->requestsTo("/a/api/backtest/ingest/J1").isEmpty());
            weekend(c, "J2", {{"callback_base", base + "/b"}, {"api_key", "k2"}});
            statusPostTo("/b/api/backtest/progress/J2");
            QCOMPARE(server->requestsTo("/b/api/backtest/progress/J2").first().header("x-api-key"), QByteArray("k2"));
            // A refused job names another endpoint; it is not used.
            QVERIFY(!c.handleJob(job("", {"A"}, "x", "y", {{"callback_base", base + "/c"}, {"api_key", "k3"}})));
            weekend(c, "J3", {});  // no endpoint of its own: the last accepted job's
            statusPostTo("/b/api/backtest/progress/J3");
            QCOMPARE(server->requestsTo("/b/api/backtest/progress/J3").first().header("x-api-key"), QByteArray("k2"));
            weekend(c, "a/b?c", {});
            QTRY_COMPARE_WITH_TIMEOUT(server->requestCount(), 4, 10000);
            QCOMPARE(server->lastRequest().rawTarget, QByteArray("/b/api/backtest/progress/a%2Fb%3Fc"));
            // A dot segment would climb out of the endpoint: such an id is refused.
            QVERIFY(!c.handleJob(job("..", {"A"}, "2024-03-09", "2024-03-10")));
            QVERIFY(sent.last().contains("Malformed job"));
        }
        {
            // A configured address and key win over every job's.
            BacktestController c(store, base + "/set", "kset", [this](const QString& m) { sent.append(m); });
            weekend(c, "J4", {{"callback_base", base + "/a"}, {"api_key", "k1"}});
            statusPostTo("/set/api/backtest/progress/J4");
            QCOMPARE(server->requestsTo("/set/api/backtest/progress/J4").first().header("x-api-key"), QByteArray("kset"));
        }
        {
            // No address anywhere: nothing is posted, the status still goes to the job source.
            BacktestController c(store, QString(), QString(), [this](const QString& m) { sent.append(m); });
            sent.clear();
            weekend(c, "J5", {});
            QCOMPARE(sent.size(), 2);
            QCOMPARE(server->requestCount(), 5);
        }
    }

    void failedSymbolsAreReported()
    {
        CandleFixture::fill(*store, "GOOD", CandleFixture::randomDay("2024-03-04", 100, 3));
        server->setReply("POST", "/api/backtest/progress/F1", HttpTestServer::Reply::json("{}"));
        server->setReply("POST", "/api/backtest/ingest/F1", HttpTestServer::Reply::json("{}"));
        BacktestController controller(store, server->baseUrl(), QString(), [this](const QString& m) { sent.append(m); });
        // "NONE" has no candles; the number 5 becomes an empty symbol, which has none either.
        QVERIFY(runJob(controller, job("F1", {"NONE", "GOOD", 5}, "2024-03-04", "2024-03-04")));
        const QString done = R"({"errors":{"":"No stored candles in range","NONE":"No stored candles in range"},)"
                             R"("failed":2,"job_id":"F1","status":"done","type":"backtest_status"})";
        QCOMPARE(sent.last(), done);
        QCOMPARE(log->count(QtWarningMsg, R"([BacktestController] Agent error for "NONE" : "No stored candles in range")"), 1);
        // Progress, GOOD's results, the last progress post and the status post.
        QTRY_VERIFY_WITH_TIMEOUT(server->lastRequest().body.contains(R"("status":"done")"), 10000);
        QCOMPARE(server->requestsTo("/api/backtest/ingest/F1").size(), 1);
        QVERIFY(server->lastRequest().headers.contains("x-api-key"));  // sent although empty
        QByteArray statusPost;
        for (const auto& r : server->requestsTo("/api/backtest/progress/F1")) {
            if (!r.body.contains("backtest_progress"))
                statusPost = r.body;
        }
        QCOMPARE(statusPost, QByteArray(R"({"done":3,"errors":{"":"No stored candles in range","NONE":"No stored candles in range"},"failed":2,"status":"done","total":3})"));
    }

    void cancelStopsTheJob()
    {
        const QStringList days = tradingDaysBetween("2024-03-04", "2024-03-29");
        for (int i = 0; i < days.size(); ++i)
            CandleFixture::fill(*store, "AAA", CandleFixture::randomDay(days[i], 100, quint32(i)));
        server->setReply("POST", "/api/backtest/progress/C1", HttpTestServer::Reply::json("{}"));
        BacktestController controller(store, server->baseUrl(), "key", [this](const QString& m) { sent.append(m); });
        QSignalSpy finished(&controller, &BacktestController::jobFinished);
        QVERIFY(controller.handleJob(job("C1", {"AAA", "BBB"}, days.first(), days.last())));
        controller.cancel();
        QVERIFY(finished.wait(30000));
        QCOMPARE(sent.last(), QString(R"({"job_id":"C1","status":"cancelled","type":"backtest_status"})"));
        QTRY_VERIFY_WITH_TIMEOUT(!server->requestsTo("/api/backtest/progress/C1").isEmpty(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(server->requestsTo("/api/backtest/progress/C1").last().body,
                                  QByteArray(R"({"done":2,"status":"cancelled","total":2})"), 10000);
        QVERIFY(!controller.isRunning());
        QVERIFY(server->requestsTo("/api/backtest/ingest/C1").isEmpty());
    }

    void postsOfOneJobGoOutInOrder()
    {
        // The results post gets no answer until its time-out: the posts after it, "done" included, wait.
        CandleFixture::fill(*store, "AAA", CandleFixture::randomDay("2024-03-04", 500, 7));
        server->setReply("POST", "/api/backtest/progress/O1", HttpTestServer::Reply::json("{}"));
        server->setReply("POST", "/api/backtest/ingest/O1", HttpTestServer::Reply::silent());
        BacktestController controller(store, server->baseUrl(), QString(), [this](const QString& m) { sent.append(m); });
        controller.setPostTimeout(500);
        int failuresBeforeDone = -1;
        connect(server, &HttpTestServer::requestReceived, this, [&](int index) {
            if (server->requests().at(index).body.contains(R"("status":"done")"))
                failuresBeforeDone = log->count(QtWarningMsg, "[BacktestController] HTTP POST error:");
        });
        QVERIFY(runJob(controller, job("O1", {"AAA"}, "2024-03-04", "2024-03-04")));
        QTRY_VERIFY_WITH_TIMEOUT(failuresBeforeDone >= 0, 10000);
        QCOMPARE(failuresBeforeDone, 1);  // the results post had failed before "done" was sent
        QStringList order;
        for (const auto& r : server->requests())
            order << (r.path.contains("ingest") ? "results" : r.body.contains("backtest_progress") ? "progress" : "status");
        QCOMPARE(order, (QStringList{"progress", "results", "progress", "status"}));
    }

    void failedPostsAreLoggedAndTheJobGoesOn_data()
    {
        QTest::addColumn<QString>("peer");
        QTest::addColumn<QString>("error");
        QTest::newRow("nothing listens") << "gone" << "Connection refused";
        QTest::newRow("never answers") << "silent" << "no complete reply within 300 ms";
        // Never quiet for long and never done: only a bound on the whole post ends it.
        QTest::newRow("trickles a byte at a time") << "trickling" << "no complete reply within 300 ms";
    }

    // Each failed post is logged and the next one goes out: progress, results, progress and "done".
    void failedPostsAreLoggedAndTheJobGoesOn()
    {
        QFETCH(QString, peer);
        QFETCH(QString, error);
        QTcpServer callback;
        ClosedPort gone;
        quint16 port = gone.port();
        if (peer == "gone") {
            QVERIFY(gone.isValid());
        } else {
            QVERIFY(callback.listen(QHostAddress::LocalHost));
            port = callback.serverPort();
        }
        const QString base = QString("http://127.0.0.1:%1").arg(port);
        QList<QTcpSocket*> peers;
        connect(&callback, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket* s = callback.nextPendingConnection())
                peers.append(s);
        });
        QTimer drip;
        connect(&drip, &QTimer::timeout, this, [&] {
            for (QTcpSocket* s : qAsConst(peers))
                s->write(s->property("begun").toBool() ? "x" : "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
            for (QTcpSocket* s : qAsConst(peers))
                s->setProperty("begun", true);
        });
        if (peer == "trickling")
            drip.start(20);
        CandleFixture::fill(*store, "AAA", CandleFixture::randomDay("2024-03-04", 500, 7));
        BacktestController controller(store, base, QString(), [this](const QString& m) { sent.append(m); });
        controller.setPostTimeout(300);
        QVERIFY(runJob(controller, job("P1", {"AAA"}, "2024-03-04", "2024-03-04")));
        QVERIFY(sent.last().contains(R"("status":"done")"));
        QTRY_COMPARE_WITH_TIMEOUT(log->count(QtWarningMsg, "[BacktestController] HTTP POST error: \"" + error), 4, 10000);
    }

    void destructionWhileRunningDoesNotHang()
    {
        CandleFixture::fill(*store, "AAA", CandleFixture::randomDay("2024-03-04", 100, 1));
        auto* controller = new BacktestController(store, server->baseUrl(), QString(),
                                                  [this](const QString& m) { sent.append(m); });
        // Thirty years of weekdays: the agent is still replaying when the controller goes.
        QVERIFY(controller->handleJob(job("D1", {"AAA"}, "1996-01-01", "2025-12-31")));
        QCOMPARE(sent.size(), 1);
        delete controller;  // cancels the agent and waits for its thread
        QCoreApplication::processEvents();
        QCOMPARE(sent.size(), 1);  // nothing is sent while going away
        QCOMPARE(server->requestCount(), 0);
    }

private:
    QTemporaryDir* dir = nullptr;
    SQLiteOHLCStore* store = nullptr;
    HttpTestServer* server = nullptr;
    LogCapture* log = nullptr;  // messages of the running test, worker threads included
    QStringList sent;
};

QTEST_GUILESS_MAIN(TestBacktestController)
#include "tst_backtestcontroller.moc"
