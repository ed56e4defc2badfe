// AngelOne history and scrip-master parsing: interval and exchange names, candle rows, the
// open-interest merge by instant, and the instrument array.
#include "brokers/angelone/AngelOneHistory.h"
#include "brokers/angelone/AngelOneScripMaster.h"
#include "support/BarText.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

class TestAngelOneHistory : public QObject {
    Q_OBJECT
private slots:
    void intervals_data()
    {
        QTest::addColumn<QString>("in");
        QTest::addColumn<QString>("out");
        QTest::addColumn<bool>("known");
        const QList<QStringList> rows{{"minute", "ONE_MINUTE"}, {"3min", "THREE_MINUTE"}, {"15Min", "FIFTEEN_MINUTE"},
                                      {"60minute", "ONE_HOUR"},  {"DAY", "ONE_DAY"}};
        for (const QStringList& r : rows)
            QTest::newRow(qPrintable(r.at(0))) << r.at(0) << r.at(1) << true;
        QTest::newRow("1d") << "1d" << "ONE_MINUTE" << false;
        QTest::newRow("week") << "week" << "ONE_MINUTE" << false;
        QTest::newRow("empty") << "" << "ONE_MINUTE" << false;
    }

    void intervals()
    {
        QFETCH(QString, in);
        QFETCH(bool, known);
        bool k = !known;
        QTEST(AngelOneHistory::mapInterval(in, &k), "out");
        QCOMPARE(k, known);
    }

    void bodyExchangeNames_data()
    {
        QTest::addColumn<QString>("exchange");
        QTest::addColumn<QString>("body");
        QTest::addColumn<bool>("openInterest");
        QTest::newRow("NSE") << "NSE" << "NSE" << false;
        QTest::newRow("NSE_EQ") << "NSE_EQ" << "NSE" << false;
        QTest::newRow("NFO") << "NFO" << "NFO" << true;
        QTest::newRow("NSE_FNO") << "NSE_FNO" << "NFO" << false;
        QTest::newRow("BSE_EQ") << "BSE_EQ" << "BSE" << false;
        QTest::newRow("MCX") << "MCX" << "MCX" << true;
        // Tokens belong to one exchange: these must not be asked of NSE.
        QTest::newRow("BFO") << "BFO" << "BFO" << true;
        QTest::newRow("CDS") << "CDS" << "CDS" << true;
        QTest::newRow("NCX") << "NCX" << "NCDEX" << true;
        QTest::newRow("unknown") << "XYZ" << "NSE" << false;
        QTest::newRow("lower case") << "nfo" << "NSE" << false;
    }

    void bodyExchangeNames()
    {
        QFETCH(QString, exchange);
        QTEST(AngelOneHistory::exchangeSegmentName(exchange), "body");
        QTEST(AngelOneHistory::hasOpenInterest(exchange), "openInterest");
    }

    void candleRows_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QStringList>("bars");
        QTest::addColumn<int>("badTimes");
        const QString bar = "NFO:X %1 1 2 0.5 1.5 0 100 0";
        QTest::newRow("empty") << QByteArray("[]") << QStringList{} << 0;
        QTest::newRow("five elements skipped") << QByteArray(R"([["2024-03-15T09:15:00+05:30",1,2,3,4]])") << QStringList{}
                                               << 0;
        QTest::newRow("seven elements used") << QByteArray(R"([["2024-03-15T09:15:00+05:30",1,2,0.5,1.5,100,7]])")
                                             << QStringList{bar.arg(1710474300)} << 0;
        QTest::newRow("time that does not parse dropped")
            << QByteArray(R"([["yesterday",1,2,0.5,1.5,100],["2024-03-15T09:16:00+05:30",1,2,0.5,1.5,100]])")
            << QStringList{bar.arg(1710474360)} << 1;
        QTest::newRow("not an array") << QByteArray(R"({"x":1})") << QStringList{} << 0;
    }

    void candleRows()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, badTimes);
        const AngelOneHistory::Candles c =
            AngelOneHistory::parseCandles(R"({"status":true,"message":"SUCCESS","data":)" + data + "}", "NFO:X");
        QVERIFY(c.ok);
        QTEST(BarText::of(c.bars), "bars");
        QCOMPARE(c.badTimes, badTimes);
    }

    void candleReplyFailures_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("message");
        QTest::newRow("status false") << QByteArray(R"({"status":false,"message":"Invalid token"})") << "Invalid token";
        QTest::newRow("status as text") << QByteArray(R"({"status":"true","data":[]})") << "";
        QTest::newRow("no status") << QByteArray(R"({"data":[]})") << "";
        QTest::newRow("not JSON") << QByteArray("<html>bad gateway</html>") << "";
        QTest::newRow("array") << QByteArray("[1,2]") << "";
    }

    void candleReplyFailures()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, message);
        const AngelOneHistory::Candles c = AngelOneHistory::parseCandles(body, "X");
        QVERIFY(!c.ok);
        QCOMPARE(c.message, message);
        QVERIFY(c.bars.isEmpty());
        QVERIFY(!AngelOneHistory::parseOpenInterest(body).ok);
    }

    void openInterestMergesByInstant()
    {
        AngelOneHistory::Candles c = AngelOneHistory::parseCandles(
            R"({"status":true,"data":[["2024-03-15T03:45:00Z",1,1,1,1,1],["2024-03-15T09:16:00+05:30",1,1,1,1,1],["2024-03-15T09:17:00+05:30",1,1,1,1,1]]})",
            "X");
        QCOMPARE(c.bars.size(), 3);
        const AngelOneHistory::OpenInterest oi = AngelOneHistory::parseOpenInterest(
            R"({"status":true,"data":[{"time":"2024-03-15T09:15:00+05:30","oi":100},{"time":"2024-03-15T09:16:00+05:30","oi":200},{"time":"2024-03-15T09:16:00+05:30","oi":250},{"time":"2024-03-15T10:00:00+05:30","oi":999},{"time":"2024-03-15T09:17:00+05:30"}]})");
        QVERIFY(oi.ok);
        QCOMPARE(oi.byTime.size(), 4);
        QCOMPARE(AngelOneHistory::mergeOpenInterest(c.bars, oi.byTime), 3);
        QCOMPARE(c.bars.at(0).openInterest, 100.0);  // 09:15 IST is 03:45 UTC
        QCOMPARE(c.bars.at(1).openInterest, 250.0);  // the later record for the same time wins
        QCOMPARE(c.bars.at(2).openInterest, 0.0);    // a record without "oi" counts as 0
    }

    void scripMasterEntries()
    {
        const QByteArray body = R"([
        {"token":"2885","symbol":"RELIANCE-EQ","exch_seg":"nse_cm","instrumenttype":""},
        {"token":"500325","symbol":"RELIANCE","exch_seg":"bse_cm","instrumenttype":""},
        {"token":"43210","symbol":"NIFTY24MARFUT","exch_seg":"nse_fo","instrumenttype":"FUTIDX"},
        {"token":"1111","symbol":"SENSEX24MARFUT","exch_seg":"bse_fo","instrumenttype":"FUTIDX"},
        {"token":"2222","symbol":"GOLD24APRFUT","exch_seg":"mcx_fo","instrumenttype":"FUTCOM"},
        {"token":"3333","symbol":"GUARSEED","exch_seg":"ncx_fo","instrumenttype":"FUTCOM"},
        {"token":"4444","symbol":"USDINR24MARFUT","exch_seg":"cds_fo","instrumenttype":"FUTCUR"},
        {"token":"5555","symbol":"TCS-EQ","exch_seg":"NSE"},
        {"token":"3334","symbol":"DHANIYA","exch_seg":"NCDEX"},
        {"token":"","symbol":"NOTOKEN"},
        {"token":"6666"},
        {"token":7777,"symbol":"NUMERICTOKEN","exch_seg":"nse_cm"},
        "not an object",
        42
    ])";
        const AngelOneScripMaster::Result r = AngelOneScripMaster::parse(body);
        QVERIFY(r.error.isEmpty());
        QCOMPARE(r.elements, 14);
        const QStringList expected{"RELIANCE-EQ|2885|NSE|",      "BSE:RELIANCE|500325|BSE|",
                                   "NFO:NIFTY24MARFUT|43210|NFO|FUTIDX", "BFO:SENSEX24MARFUT|1111|BFO|FUTIDX",
                                   "MCX:GOLD24APRFUT|2222|MCX|FUTCOM",   "NCX:GUARSEED|3333|NCX|FUTCOM",
                                   "CDS_FO:USDINR24MARFUT|4444|CDS_FO|FUTCUR", "TCS-EQ|5555|NSE|",
                                   "NCX:DHANIYA|3334|NCX|"};
        QStringList got;
        for (const AngelOneScripMaster::Entry& e : r.entries)
            got << QStringList{e.key, e.token, e.exchange, e.instrumentType}.join('|');
        QCOMPARE(got, expected);
    }

    void scripMasterFailures_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        QTest::newRow("object") << QByteArray(R"({"data":[]})") << "Instrument list response is not an array";
        QTest::newRow("truncated") << QByteArray(R"([{"token":"1")") << "Failed to parse instrument list: ";
        QTest::newRow("empty body") << QByteArray() << "Failed to parse instrument list: ";
    }

    void scripMasterFailures()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        const AngelOneScripMaster::Result r = AngelOneScripMaster::parse(body);
        QVERIFY2(r.error.startsWith(error), qPrintable(r.error));
        QVERIFY(r.entries.isEmpty());
        // An empty array is a valid, empty master.
        QVERIFY(AngelOneScripMaster::parse("[]").error.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestAngelOneHistory)
#include "tst_angelonehistory.moc"
