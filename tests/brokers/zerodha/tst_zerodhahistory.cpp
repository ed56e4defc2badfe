// Zerodha candle history against a loopback HTTP peer: ranges split at each interval's limit,
// the request line and headers, pacing, candles with open interest, and every kind of failure.
#include "brokers/zerodha/ZerodhaBroker.h"
#include "support/BarText.h"
#include "support/ClosedPort.h"
#include "support/HttpTestServer.h"
#include "symbols/SymbolRepository.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

const QString kPath = QStringLiteral("/instruments/historical/408065/");

const QByteArray kCandles = R"({"status":"success","data":{"candles":[
 ["2024-03-01T09:20:00+0530",22470,22472.55,22455,22460.15,98750,10460150],
 ["2024-03-01T09:15:00+0530",22450.05,22478.9,22441.3,22470,152300,10456725],
 ["2024-03-01T09:25:00+0530",22460.15,22465,22430.5,22433.8,121050],
 ["not a time",1,1,1,1,1],
 ["2024-03-01T09:15:00+0530",1,1,1,1,1,1]]}})";

using Ranges = QList<QPair<QString, QString>>;

}  // namespace

class TestZerodhaHistory : public QObject {
    Q_OBJECT

    struct Fixture {
        HttpTestServer server;
        SymbolRepository repository;
        ZerodhaBroker broker;
        QSignalSpy bars{&broker, &IBroker::historicalDataReceived};
        QSignalSpy errors{&broker, &IBroker::errorOccurred};
        explicit Fixture(const QString& token = "TOK")
        {
            QVERIFY(server.listen());
            repository.addSymbol("RELIANCE", "408065", "NSE", "EQ");
            broker.setSymbolRepository(&repository);
            broker.setRestBaseUrl(server.baseUrl());
            broker.setHistoryRetryDelay(5);  // the service asks for 1 s; no test waits that long
            broker.initialize({{"api_key", "KEY"}, {"access_token", token}, {"ws_url", "ws://127.0.0.1:1/"}});
        }
    };

private slots:
    void chunkBoundaries_data()
    {
        QTest::addColumn<QString>("timeframe");
        QTest::addColumn<QDate>("from");
        QTest::addColumn<QDate>("to");
        QTest::addColumn<QString>("interval");
        QTest::addColumn<Ranges>("ranges");

        QTest::newRow("minute: 59 days a request")
            << "minute" << QDate(2024, 1, 1) << QDate(2024, 4, 30) << "minute"
            << Ranges{{"2024-01-01", "2024-02-28"}, {"2024-02-29", "2024-04-27"}, {"2024-04-28", "2024-04-30"}};
        QTest::newRow("5 minutes: 99 days") << "5" << QDate(2024, 1, 1) << QDate(2024, 4, 30) << "5minute"
                                            << Ranges{{"2024-01-01", "2024-04-08"}, {"2024-04-09", "2024-04-30"}};
        QTest::newRow("15 minutes: 199 days") << "15minute" << QDate(2024, 1, 1) << QDate(2024, 7, 18) << "15minute"
                                              << Ranges{{"2024-01-01", "2024-07-17"}, {"2024-07-18", "2024-07-18"}};
        QTest::newRow("1 hour: 399 days") << "1hour" << QDate(2023, 1, 1) << QDate(2024, 2, 10) << "60minute"
                                          << Ranges{{"2023-01-01", "2024-02-03"}, {"2024-02-04", "2024-02-10"}};
        QTest::newRow("day: 1999 days") << "D" << QDate(2015, 1, 1) << QDate(2024, 12, 31) << "day"
                                        << Ranges{{"2015-01-01", "2020-06-21"}, {"2020-06-22", "2024-12-31"}};
        QTest::newRow("one day") << "3minute" << QDate(2024, 3, 1) << QDate(2024, 3, 1) << "3minute"
                                 << Ranges{{"2024-03-01", "2024-03-01"}};
    }

    void chunkBoundaries()
    {
        QFETCH(QString, timeframe);
        QFETCH(QDate, from);
        QFETCH(QDate, to);
        QFETCH(QString, interval);
        Fixture f;
        f.server.setReply("GET", kPath + interval, HttpTestServer::Reply::json(kCandles));
        f.broker.requestHistoricalData("408065", from, to, timeframe);
        QVERIFY(f.bars.wait(10000));
        QCOMPARE(f.errors.count(), 0);
        QCOMPARE(f.bars.count(), 1);  // one answer for the whole range
        QCOMPARE(f.bars.at(0).at(1).value<QList<OHLCData>>().size(), 3);  // the same bars from every part, once

        Ranges sent;
        for (const HttpTestServer::Request& r : f.server.requests()) {
            QCOMPARE(r.path, kPath + interval);
            QVERIFY2(!r.rawTarget.contains(' '), r.rawTarget.constData());
            QCOMPARE(r.header("X-Kite-Version"), QByteArray("3"));
            QCOMPARE(r.header("Authorization"), QByteArray("token KEY:TOK"));
            QCOMPARE(r.query.queryItemValue("continuous"), QString("0"));
            QCOMPARE(r.query.queryItemValue("oi"), QString("1"));
            const QString start = r.query.queryItemValue("from", QUrl::FullyDecoded);
            const QString end = r.query.queryItemValue("to", QUrl::FullyDecoded);
            QVERIFY2(start.endsWith(" 00:00:00") && end.endsWith(" 23:59:59"), qPrintable(start + " / " + end));
            sent.append({start.left(10), end.left(10)});
        }
        std::sort(sent.begin(), sent.end());  // parts may overtake each other on the wire
        QTEST(sent, "ranges");
    }

    void candlesWithOpenInterest()
    {
        Fixture f;
        f.server.setReply("GET", kPath + "5minute", HttpTestServer::Reply::json(kCandles));
        f.server.setReply("GET", kPath + "day", HttpTestServer::Reply::json(R"({"status":"success","data":{"candles":[)"
                                                                            R"(["2015-02-10T00:00:00+0530",10,12,9,11,500]]}})"));
        // Asked by trading symbol and by token: answered under the name asked, the bars named by symbol.
        f.broker.requestHistoricalData("RELIANCE", QDate(2024, 3, 1), QDate(2024, 3, 1), "5minute");
        QVERIFY(f.bars.wait(5000));
        f.broker.requestHistoricalData("408065", QDate(2015, 2, 10), QDate(2015, 2, 10), "day");
        QVERIFY(f.bars.wait(5000));
        QStringList got;
        for (const QList<QVariant>& reply : f.bars) {
            for (const OHLCData& b : reply.at(1).value<QList<OHLCData>>())
                got << reply.at(0).toString() + " " + BarText::of(b);
        }
        // Oldest first, one bar per time (the first of a repeated time stays), open interest when sent.
        QCOMPARE(got, (QStringList{"RELIANCE RELIANCE 1709264700 22450.05 22478.9 22441.3 22470 22470 152300 10456725",
                                   "RELIANCE RELIANCE 1709265000 22470 22472.55 22455 22460.15 22460.15 98750 10460150",
                                   "RELIANCE RELIANCE 1709265300 22460.15 22465 22430.5 22433.8 22433.8 121050 0",
                                   "408065 RELIANCE 1423506600 10 12 9 11 11 500 0"}));
    }

    void pacedAtTheBrokersRate()
    {
        Fixture f;
        f.broker.setHistoryRate(3, 60000);
        f.server.setReply("GET", kPath + "minute", HttpTestServer::Reply::json(kCandles));
        f.broker.requestHistoricalData("408065", QDate(2024, 1, 1), QDate(2024, 10, 31), "minute");  // 6 parts
        QTRY_COMPARE_WITH_TIMEOUT(f.server.requestCount(), 3, 5000);
        QCOMPARE(f.broker.pendingHistoryRequests(), 3);
        QCOMPARE(f.bars.count(), 0);  // nothing handed on before the range is complete
        QCOMPARE(f.errors.count(), 0);
    }

    void failedReplies_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("requests");  // made before giving up
        QTest::addColumn<bool>("expired");  // the token alert is raised

        const QByteArray json = "application/json";
        QTest::newRow("input error") << 400 << json
                                     << QByteArray(R"({"status":"error","message":"interval exceeds max limit: 60 days",)"
                                                   R"("error_type":"InputException"})")
                                     << "interval exceeds max limit: 60 days (InputException, HTTP 400)" << 1 << false;
        QTest::newRow("token expired") << 403 << json
                                       << QByteArray(R"({"status":"error","message":"Incorrect `api_key` or `access_token`.",)"
                                                     R"("error_type":"TokenException","data":null})")
                                       << "Incorrect `api_key` or `access_token`. (TokenException, HTTP 403)" << 1 << true;
        QTest::newRow("gateway page") << 502 << QByteArray("text/html") << QByteArray("<html>Bad Gateway</html>")
                                      << "HTTP 502, reply is not JSON" << 1 << false;
        QTest::newRow("200 but not JSON") << 200 << json << QByteArray("[1,2") << "reply is not JSON" << 1 << false;
        QTest::newRow("no candles") << 200 << json << QByteArray(R"({"status":"success","data":{}})")
                                    << "reply has no data.candles" << 1 << false;
        QTest::newRow("unknown status") << 200 << json << QByteArray(R"({"data":{"candles":[]}})")
                                        << "reply status is \"\"" << 1 << false;
        QTest::newRow("no candle readable")
            << 200 << json << QByteArray(R"({"status":"success","data":{"candles":[[1,2,3,4,5,6],["x","1","1","1","1","1"]]}})")
            << "none of the 2 candles could be read" << 1 << false;
        QTest::newRow("no permission is not the token")
            << 403 << json
            << QByteArray(R"({"status":"error","message":"Insufficient permission","error_type":"PermissionException"})")
            << "Insufficient permission (PermissionException, HTTP 403)" << 1 << false;
        // Asked again after each pause, then the batch fails with the service's words.
        QTest::newRow("too many requests, every time")
            << 429 << json << QByteArray(R"({"status":"error","message":"Too many requests","error_type":"NetworkException"})")
            << "Too many requests (NetworkException, HTTP 429)" << 4 << false;
        QTest::newRow("no answer at all") << 0 << QByteArray() << QByteArray() << "Connection refused" << 0 << false;
    }

    void failedReplies()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QFETCH(QString, reason);
        QFETCH(int, requests);
        QFETCH(bool, expired);
        Fixture f;
        QSignalSpy alerts(&f.broker, &ZerodhaBroker::tokenExpired);
        ClosedPort gone;
        if (status == 0) {
            QVERIFY(gone.isValid());
            f.broker.setRestBaseUrl(QStringLiteral("http://127.0.0.1:%1").arg(gone.port()));
        } else {
            f.server.setReply("GET", kPath + "day", HttpTestServer::Reply{status, {{"Content-Type", contentType}}, body});
        }
        f.broker.requestHistoricalData("408065", QDate(2015, 1, 1), QDate(2015, 1, 1), "day");
        QVERIFY(f.errors.wait(5000));
        QCOMPARE(f.errors.count(), 1);
        QCOMPARE(f.errors.at(0).at(0).toString(), QStringLiteral("Zerodha history error for 408065: %1").arg(reason));
        QCOMPARE(f.broker.lastError(), f.errors.at(0).at(0).toString());
        QCOMPARE(f.bars.count(), 0);
        QCOMPARE(f.server.requestCount(), requests);
        QCOMPARE(alerts.count(), expired ? 1 : 0);

        // The next refused request of the same token raises no second alert.
        f.broker.requestHistoricalData("408065", QDate(2015, 1, 2), QDate(2015, 1, 2), "day");
        QVERIFY(f.errors.wait(5000));
        QCOMPARE(alerts.count(), expired ? 1 : 0);
    }

    void throttledRequestAskedAgain()
    {
        Fixture f;
        f.server.queueReply("GET", kPath + "5minute",
                            HttpTestServer::Reply::json(R"({"status":"error","message":"Too many requests",)"
                                                        R"("error_type":"NetworkException"})",
                                                        429));
        f.server.queueReply("GET", kPath + "5minute", HttpTestServer::Reply::json(kCandles));
        f.broker.requestHistoricalData("408065", QDate(2024, 3, 1), QDate(2024, 3, 1), "5minute");
        QVERIFY(f.bars.wait(5000));
        QCOMPARE(f.errors.count(), 0);
        QCOMPARE(f.bars.at(0).at(1).value<QList<OHLCData>>().size(), 3);
        QCOMPARE(f.server.requestCount(), 2);
        QCOMPARE(f.server.requests().at(1).rawTarget, f.server.requests().at(0).rawTarget);
    }

    void throttlePausesDouble()
    {
        // Three pauses of 1, 2 and 4 s after each refusal as too many, then the service's words.
        Fixture f;
        f.broker.setHistoryRetryDelay(1000);
        QList<int> pauses;
        f.broker.setHistoryRetryTimer([&pauses](int ms, std::function<void()> retry) {
            pauses << ms;
            QTimer::singleShot(0, retry);
        });
        f.server.setReply("GET", kPath + "day",
                          HttpTestServer::Reply::json(R"({"status":"error","message":"Too many requests",)"
                                                      R"("error_type":"NetworkException"})",
                                                      429));
        f.broker.requestHistoricalData("408065", QDate(2024, 3, 1), QDate(2024, 3, 1), "day");
        QVERIFY(f.errors.wait(5000));
        QCOMPARE(pauses, (QList<int>{1000, 2000, 4000}));
        QCOMPARE(f.server.requestCount(), 4);
        QCOMPARE(f.errors.at(0).at(0).toString(),
                 QString("Zerodha history error for 408065: Too many requests (NetworkException, HTTP 429)"));
        QCOMPARE(f.bars.count(), 0);
    }

    void tokenAlertAgainAfterNewLogin()
    {
        // Raised once per token: a new login that is refused as well is told again.
        Fixture f;
        QSignalSpy alerts(&f.broker, &ZerodhaBroker::tokenExpired);
        f.server.setReply("GET", kPath + "day",
                          HttpTestServer::Reply::json(R"({"status":"error","message":"Incorrect `api_key` or `access_token`.",)"
                                                      R"("error_type":"TokenException","data":null})",
                                                      403));
        auto refused = [&f](const QDate& day) {
            const int before = f.errors.count();
            f.broker.requestHistoricalData("408065", day, day, "day");
            return f.errors.wait(5000) && f.errors.count() == before + 1;
        };
        QVERIFY(refused(QDate(2015, 1, 1)));
        QVERIFY(refused(QDate(2015, 1, 2)));
        QCOMPARE(alerts.count(), 1);

        f.broker.initialize({{"api_key", "KEY"}, {"access_token", "NEWTOK"}, {"ws_url", "ws://127.0.0.1:1/"}});
        QVERIFY(refused(QDate(2015, 1, 3)));
        QCOMPARE(alerts.count(), 2);
        QCOMPARE(f.server.lastRequest().headers.value("authorization"), QByteArray("token KEY:NEWTOK"));

        // An answered request ends the refusals too: the next one is a new expiry.
        f.server.setReply("GET", kPath + "day", HttpTestServer::Reply::json(kCandles));
        f.broker.requestHistoricalData("408065", QDate(2024, 3, 1), QDate(2024, 3, 1), "day");
        QVERIFY(f.bars.wait(5000));
        f.server.setReply("GET", kPath + "day",
                          HttpTestServer::Reply::json(R"({"status":"error","message":"Token is invalid or has expired.",)"
                                                      R"("error_type":"TokenException"})",
                                                      403));
        QVERIFY(refused(QDate(2015, 1, 4)));
        QCOMPARE(alerts.count(), 3);
    }

    void refusedBeforeAnyRequest_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<QString>("timeframe");
        QTest::addColumn<QDate>("to");
        QTest::addColumn<QString>("reason");
        const QDate day(2024, 3, 1);
        QTest::newRow("not logged in") << "" << "408065" << "day" << day
                                       << "API key or access token not configured - please log in first";
        QTest::newRow("no such interval") << "TOK" << "408065" << "week" << day << "no candles of the interval \"week\"";
        QTest::newRow("reversed range") << "TOK" << "408065" << "day" << day.addDays(-1) << "invalid date range";
        const QString noToken = "no instrument token - load the Zerodha instrument master";
        QTest::newRow("unknown symbol") << "TOK" << "NOSUCH" << "day" << day << noToken;
    }

    void refusedBeforeAnyRequest()
    {
        QFETCH(QString, token);
        QFETCH(QString, symbol);
        QFETCH(QString, timeframe);
        QFETCH(QDate, to);
        QFETCH(QString, reason);
        Fixture f(token);
        f.broker.requestHistoricalData(symbol, QDate(2024, 3, 1), to, timeframe);
        QCOMPARE(f.errors.count(), 0);  // reported after the caller has returned
        QVERIFY(f.errors.wait(5000));
        QCOMPARE(f.errors.at(0).at(0).toString(), QStringLiteral("Zerodha history error for %1: %2").arg(symbol, reason));
        QCOMPARE(f.server.requestCount(), 0);
    }
};

QTEST_GUILESS_MAIN(TestZerodhaHistory)
#include "tst_zerodhahistory.moc"
