// FlatTrade candle history against a loopback REST peer: the form bodies, long intraday ranges in
// 30-day parts gathered into one reply, newest-first rows turned round, daily rows held in strings,
// and the ways a request ends without bars (the broker's refusal, no data, an unreadable reply).
#include "brokers/flattrade/FlatTradeBroker.h"
#include "brokers/flattrade/FlatTradeHistory.h"
#include "support/BarText.h"
#include "support/HttpTestServer.h"
#include "support/LogCapture.h"
#include "symbols/SymbolRepository.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

qint64 india(const QDate& d, const QTime& t = QTime(0, 0))
{
    return QDateTime(d, t, Qt::OffsetFromUTC, 19800).toSecsSinceEpoch();
}

QByteArray tpBody(const QDate& from, const QDate& to, int minutes)
{
    return QStringLiteral(R"(jData={"uid":"FT1","exch":"NSE","token":"2885","st":"%1","et":"%2","intrv":"%3"}&jKey=TOK)")
        .arg(india(from))
        .arg(india(to.addDays(1)) - 1)
        .arg(minutes)
        .toUtf8();
}

const QByteArray kNoData =
    "{\"stat\":\"Not_Ok\",\"request_time\":\"12:37:44 01-09-2026\",\"emsg\":\"Error Occurred : 5 \\\"no data\\\"\"}";

}  // namespace

class TestFlatTradeHistory : public QObject {
    Q_OBJECT

    struct Rest {
        HttpTestServer server;
        SymbolRepository repo;
        FlatTradeBroker broker;
        QSignalSpy bars{&broker, &IBroker::historicalDataReceived};
        QSignalSpy errors{&broker, &IBroker::errorOccurred};
        Rest()
        {
            QVERIFY(server.listen());
            repo.addSymbol("RELIANCE-EQ", "2885", "NSE", "EQ");
            broker.setSymbolRepository(&repo);
            broker.setRestBaseUrl(server.baseUrl());
            broker.initialize({{"access_token", "TOK"}, {"client_id", "FT1"}});
        }
        QList<OHLCData> received() const { return bars.value(0).value(1).value<QList<OHLCData>>(); }
    };

private slots:
    void initTestCase() { registerMarketDataTypes(); }
    void intradayPartsGathered()
    {
        LogCapture log(false);
        Rest r;
        const QDate from(2026, 7, 1), to(2026, 8, 20);
        // The parts go out together and may arrive in any order: each is answered by its start.
        r.server.setResponder([&](const HttpTestServer::Request& req) {
            if (req.body == tpBody(from, QDate(2026, 7, 30), 5))
                return HttpTestServer::Reply::json(
                    R"([{"stat":"Ok","time":"01-07-2026 09:20:00","ssboe":")" + QByteArray::number(india(from, QTime(9, 20)))
                    + R"(","into":"1306.10","inth":"1308.90","intl":"1305.70","intc":"1308.60","intv":"52310","v":"240877","oi":"0"},)"
                      R"({"stat":"Ok","time":"01-07-2026 09:20:00","into":"0.00","inth":"0.00","intl":"0.00","intc":"0.00","intv":"0"},)"
                      R"({"stat":"Ok","time":"01/07/2026 09:15:00","into":"1301.00","inth":"1306.80","intl":"1299.10","intc":"1306.20","intvwap":"1303.95","intv":"188567","intoi":"0","v":"188567","oi":"12"}])");
            if (req.body == tpBody(QDate(2026, 7, 31), to, 5))
                return HttpTestServer::Reply::json(
                    R"([{"stat":"Ok","time":"20-08-2026 15:25:00","into":"1400","inth":"1401","intl":"1399","intc":"1400.5","intv":"7"}])");
            return HttpTestServer::Reply::json(kNoData);
        });
        r.broker.requestHistoricalData("NSE|2885", from, to, "5minute");
        QVERIFY(r.bars.wait(10000));
        QCOMPARE(r.server.requestsTo("/PiConnectAPI/TPSeries").size(), 2);
        QCOMPARE(r.bars.at(0).at(0).toString(), QString("NSE|2885"));
        // Oldest first, the row of zeros gone, the candle's own volume (not the day's running total).
        QCOMPARE(BarText::of(r.received()),
                 (QStringList{QString("RELIANCE-EQ %1 1301 1306.8 1299.1 1306.2 1306.2 188567 12").arg(india(from, QTime(9, 15))),
                              QString("RELIANCE-EQ %1 1306.1 1308.9 1305.7 1308.6 1308.6 52310 0").arg(india(from, QTime(9, 20))),
                              QString("RELIANCE-EQ %1 1400 1401 1399 1400.5 1400.5 7 0").arg(india(to, QTime(15, 25)))}));
        QVERIFY(r.errors.isEmpty());
    }

    void dailyRowsInStrings();
    void silentServerEndsAtItsBound()
    {
        // A host that takes the request and never answers: the request ends at its own bound,
        // told, instead of waiting on it for ever.
        LogCapture log(false);
        Rest r;
        r.broker.setHistoryTimeout(300);
        r.server.setReply("POST", "/PiConnectAPI/TPSeries", HttpTestServer::Reply::silent());
        const QDate day(2026, 9, 1);
        r.broker.requestHistoricalData("NSE|2885", day, day, "minute");
        QVERIFY(r.errors.wait(10000));
        QCOMPARE(r.errors.at(0).at(0).toString(), QString("FlatTrade history request failed: no answer within 300 ms"));
        QCOMPARE(r.server.requestCount(), 1);
        QVERIFY(r.bars.isEmpty());
    }
    void endsWithoutBars_data()
    {
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<QString>("interval");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("error");

        const QString noData = "FlatTrade has no data for NSE|2885 from 2026-09-01 to 2026-09-01";
        QTest::newRow("session expired") << "NSE|2885" << "minute" << 200
                                         << QByteArray(R"({"stat":"Not_Ok","emsg":"Session Expired : Invalid Session Key"})")
                                         << "Session Expired : Invalid Session Key";
        QTest::newRow("refusal on a failure status") << "NSE|2885" << "day" << 400
                                                     << QByteArray(R"({"stat":"Not_Ok","emsg":"Invalid Input : jData is missing"})")
                                                     << "Invalid Input : jData is missing";
        QTest::newRow("no data") << "NSE|2885" << "minute" << 200 << kNoData << noData;
        QTest::newRow("only rows without trades")
            << "NSE|2885" << "60minute" << 200
            << QByteArray(R"([{"time":"01-09-2026 10:15:00","into":"0.00","inth":"0.00","intl":"0.00","intc":"0.00","intv":"0"},)"
                          R"({"time":"01-09-2026 09:15:00","into":"1.00","inth":"1.00","intl":"0.00","intc":"1.00","intv":"0"}])")
            << noData;
        QTest::newRow("rows without a usable time")
            << "NSE|2885" << "minute" << 200
            << QByteArray(R"([{"time":"bad","ssboe":"1e300","into":"1","inth":"2","intl":"0.5","intc":"1.5","intv":"3"},)"
                          R"({"time":"bad","ssboe":"-1e300","into":"1","inth":"2","intl":"0.5","intc":"1.5","intv":"3"}])")
            << noData;
        QTest::newRow("not JSON") << "NSE|2885" << "minute" << 200 << QByteArray("<html>moved</html>")
                                  << "FlatTrade history reply is not JSON: illegal value";
        QTest::newRow("server failure") << "NSE|2885" << "minute" << 500 << QByteArray("oops")
                                        << "FlatTrade history request failed: Error transferring";
        QTest::newRow("interval not offered") << "NSE|2885" << "25minute" << 0 << QByteArray()
                                              << "FlatTrade has no 25minute candles: it offers 1, 3, 5, 10, 15, 30, 60 and "
                                                 "120 minutes and daily";
        QTest::newRow("daily needs the trading symbol") << "NSE|999" << "day" << 0 << QByteArray()
                                                        << "FlatTrade daily history needs the trading symbol of NSE|999: "
                                                           "load the FlatTrade symbol list first";
    }

    void endsWithoutBars()
    {
        QFETCH(QString, symbol);
        QFETCH(QString, interval);
        QFETCH(int, status);
        QFETCH(QByteArray, reply);
        QFETCH(QString, error);
        LogCapture log(false);
        Rest r;
        for (const char* route : {"/PiConnectAPI/TPSeries", "/PiConnectAPI/EODChartData"})
            r.server.setReply("POST", route, HttpTestServer::Reply::json(reply, status));
        const QDate day(2026, 9, 1);
        r.broker.requestHistoricalData(symbol, day, day, interval);
        QVERIFY(r.errors.wait(10000));
        QVERIFY2(r.errors.at(0).at(0).toString().startsWith(error), qPrintable(r.errors.at(0).at(0).toString()));
        QCOMPARE(r.server.requestCount(), status ? 1 : 0);
        QVERIFY(r.bars.isEmpty());
    }
};

void TestFlatTradeHistory::dailyRowsInStrings()
{
    Rest r;
    r.repo.addSymbol("M&M-EQ", "2031", "NSE", "EQ");
    r.server.setReply(
        "POST", "/PiConnectAPI/EODChartData",
        HttpTestServer::Reply::json(
            R"(["{\"time\":\"01-SEP-2026\", \"into\":\"1285.00\", \"inth\":\"1311.80\", \"intl\":\"1280.00\", \"intc\":\"1309.00\", \"ssboe\":\"1788220800\", \"intv\":\"12617528.00\"}",)"
            R"("{\"time\":\"31-AUG-2026\", \"into\":\"1278.70\", \"inth\":\"1297.60\", \"intl\":\"1271.00\", \"intc\":\"1277.00\", \"ssboe\":\"1788134400\", \"intv\":\"34871137.49\"}",)"
            R"({"time":"bad","ssboe":"1788048000","into":"1","inth":"2","intl":"0.5","intc":"1.5","intv":"3"}])"));
    const QDate from(2026, 8, 25), to(2026, 9, 1);
    r.broker.requestHistoricalData("RELIANCE-EQ", from, to, "day");
    QVERIFY(r.bars.wait(10000));
    QCOMPARE(r.server.lastRequest().body,
             QStringLiteral(R"(jData={"uid":"FT1","sym":"NSE:RELIANCE-EQ","from":"%1","to":"%2"}&jKey=TOK)")
                 .arg(india(from))
                 .arg(india(to.addDays(1)) - 1)
                 .toUtf8());
    // A row whose date text is unreadable falls back to its UTC-midnight epoch.
    auto day = [](int m, int d) { return QDateTime(QDate(2026, m, d), QTime(0, 0)).toSecsSinceEpoch(); };
    QCOMPARE(BarText::of(r.received()), (QStringList{QString("RELIANCE-EQ %1 1 2 0.5 1.5 1.5 3 0").arg(day(8, 30)),
                                                     QString("RELIANCE-EQ %1 1278.7 1297.6 1271 1277 1277 34871137 0").arg(day(8, 31)),
                                                     QString("RELIANCE-EQ %1 1285 1311.8 1280 1309 1309 12617528 0").arg(day(9, 1))}));

    // A symbol holding form characters keeps the body in one piece.
    r.broker.requestHistoricalData("2031", from, to, "day");
    QVERIFY(r.bars.wait(10000));
    QVERIFY(r.server.lastRequest().body.contains(R"("sym":"NSE:M%26M-EQ")"));
    QCOMPARE(r.server.lastRequest().body.count('&'), 1);
}

QTEST_GUILESS_MAIN(TestFlatTradeHistory)
#include "tst_flattradehistory.moc"
