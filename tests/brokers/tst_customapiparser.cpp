// "Custom API" reply readers: every history shape, quote shapes and the flat records.
#include "brokers/CustomApiParser.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

class TestCustomApiParser : public QObject {
    Q_OBJECT

private slots:
    void history_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QStringList>("symbols");  // symbols of the bars, in order

        const QByteArray bar = R"({"symbol":"A","open":1,"high":2,"low":0.5,"close":1.5,"date":"2024-03-15"})";
        const QByteArray barB = R"({"symbol":"B","open":1,"high":2,"low":0.5,"close":1.5,"date":"2024-03-15T09:15:00"})";
        QTest::newRow("data") << QByteArray("{\"data\":[" + bar + "," + barB + "]}") << QStringList{"A", "B"};
        QTest::newRow("results") << QByteArray("{\"results\":[" + barB + "]}") << QStringList{"B"};
        QTest::newRow("root array keeps order and duplicates") << QByteArray("[" + barB + "," + bar + "," + barB + "]")
                                                               << QStringList{"B", "A", "B"};
        QTest::newRow("data wins over results") << QByteArray("{\"data\":[],\"results\":[" + bar + "]}") << QStringList();
        QTest::newRow("data not an array") << QByteArray("{\"data\":{\"x\":1},\"results\":[" + bar + "]}") << QStringList();
        QTest::newRow("non-objects skipped") << QByteArray("{\"data\":[1,\"x\",[1,2]," + bar + ",null]}") << QStringList{"A"};
        QTest::newRow("bar without symbol is the requested one")
            << QByteArray(R"({"data":[{"open":1,"high":1,"low":1,"close":1,"date":"2024-03-15"},)" + bar + "]}")
            << QStringList{"REQ", "A"};
        QTest::newRow("price as string dropped")
            << QByteArray(R"([{"symbol":"A","open":"1","high":1,"low":1,"close":1,"date":"2024-03-15"}])") << QStringList();
        QTest::newRow("zero price dropped")
            << QByteArray(R"([{"symbol":"A","open":1,"high":1,"low":0,"close":1,"date":"2024-03-15"}])") << QStringList();
        QTest::newRow("unreadable date dropped")
            << QByteArray(R"([{"symbol":"A","open":1,"high":1,"low":1,"close":1,"date":"15/03/2024"}])") << QStringList();
        QTest::newRow("candles rows take the requested symbol")
            << QByteArray(R"({"candles":[[1710474300,1,2,0.5,1.5,100],[1710474360,1,2,0.5],[1710474420,1,2,0.5,1.5,9]]})")
            << QStringList{"REQ", "REQ"};
        QTest::newRow("candles with absurd epoch dropped")
            << QByteArray(R"({"candles":[[1e300,1,2,0.5,1.5,100]]})") << QStringList();
        QTest::newRow("success rows with text times")
            << QByteArray(R"({"status":"success","data":[["2024-03-15T09:15:00Z",1,2,0.5,1.5,1],["2024-03-15 09:16:00",1,2,0.5,1.5,1]]})")
            << QStringList{"REQ", "REQ"};
        QTest::newRow("rows without success status skipped")
            << QByteArray(R"({"data":[["2024-03-15 09:16:00",1,2,0.5,1.5,1]]})") << QStringList();
        QTest::newRow("not json") << QByteArray("<html>") << QStringList();
        QTest::newRow("no known shape") << QByteArray(R"({"bars":[]})") << QStringList();
        QTest::newRow("scalar document") << QByteArray("42") << QStringList();
    }

    void history()
    {
        QFETCH(QByteArray, body);
        const QList<OHLCData> bars = parseHistoricalResponse(body, "REQ");
        QStringList got;
        for (const OHLCData& b : bars) {
            got << b.symbol;
            QVERIFY(b.isValid());
            QCOMPARE(b.openInterest, 0.0);
        }
        QTEST(got, "symbols");
    }

    void barFields()
    {
        const auto bar = [](const char* json) {
            return CustomApiParser::barFromJson(QJsonDocument::fromJson(json).object());
        };
        const OHLCData a = bar(R"({"symbol":"A","open":1,"high":2,"low":0.5,"close":1.5,"volume":10,"date":"2024-03-15"})");
        QCOMPARE(a.adjustedClose, 1.5);
        QCOMPARE(a.volume, 10.0);
        QCOMPARE(a.timestamp, QDateTime(QDate(2024, 3, 15), QTime(0, 0)));
        const OHLCData b = bar(R"({"symbol":"A","close":1.5,"adjusted_close":12.5,"date":"2024-03-15T09:15:00"})");
        QCOMPARE(b.adjustedClose, 12.5);
        QCOMPARE(b.timestamp, QDateTime(QDate(2024, 3, 15), QTime(9, 15)));
        QVERIFY(!bar(R"({"symbol":"A","close":1,"date":""})").timestamp.isValid());
    }

    void quote_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("fyers");
        QTest::addColumn<bool>("parsed");
        QTest::addColumn<double>("ltp");
        QTest::addColumn<double>("high");

        QTest::newRow("flat") << QByteArray(R"({"price":101.5,"open":100,"high":102,"low":99,"volume":5})") << false << true << 101.5 << 102.0;
        QTest::newRow("flat price only") << QByteArray(R"({"price":7})") << false << true << 7.0 << 0.0;
        QTest::newRow("flat empty") << QByteArray("{}") << false << true << 0.0 << 0.0;
        QTest::newRow("flat string price") << QByteArray(R"({"price":"101"})") << false << true << 0.0 << 0.0;
        QTest::newRow("fyers first quote only")
            << QByteArray(R"({"d":{"quotes":[{"lp":5,"h":6},{"lp":9,"h":10}]}})") << true << true << 5.0 << 6.0;
        QTest::newRow("fyers lp as string") << QByteArray(R"({"d":{"quotes":[{"lp":"5"}]}})") << true << true << 0.0 << 0.0;
        QTest::newRow("fyers empty quotes") << QByteArray(R"({"d":{"quotes":[]}})") << true << true << 0.0 << 0.0;
        QTest::newRow("fyers flat body ignored") << QByteArray(R"({"price":3})") << true << true << 0.0 << 0.0;
        QTest::newRow("not json") << QByteArray("{price:") << false << false << 0.0 << 0.0;
    }

    void quote()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, fyers);
        const CustomApiParser::QuoteResult r = CustomApiParser::parseQuote(body, fyers);
        QTEST(r.parsed, "parsed");
        QCOMPARE(r.error.isEmpty(), r.parsed);
        QTEST(r.tick.ltp, "ltp");
        QTEST(r.tick.high, "high");
    }

    void tickTimestamp_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QDateTime>("expected");  // invalid: "now"
        QTest::newRow("iso") << QByteArray(R"({"timestamp":"2024-03-15T09:15:00"})")
                             << QDateTime(QDate(2024, 3, 15), QTime(9, 15));
        QTest::newRow("epoch text") << QByteArray(R"({"timestamp":"1710474300"})") << QDateTime::fromSecsSinceEpoch(1710474300);
        QTest::newRow("epoch number gives now") << QByteArray(R"({"timestamp":1710474300})") << QDateTime();
        QTest::newRow("garbage gives now") << QByteArray(R"({"timestamp":"soon"})") << QDateTime();
        QTest::newRow("overflowing epoch gives now") << QByteArray(R"({"timestamp":"9223372036854775807"})") << QDateTime();
        QTest::newRow("absent gives now") << QByteArray("{}") << QDateTime();
    }

    void tickTimestamp()
    {
        QFETCH(QByteArray, json);
        QFETCH(QDateTime, expected);
        const QDateTime now(QDate(2030, 1, 2), QTime(3, 4));
        const TickData t = CustomApiParser::tickFromJson(QJsonDocument::fromJson(json).object(), now);
        QCOMPARE(t.timestamp, expected.isValid() ? expected : now);
    }
};

QTEST_GUILESS_MAIN(TestCustomApiParser)
#include "tst_customapiparser.moc"
