// Upstox history helpers: interval table, the requests a range needs, the request paths and reply rows.
#include "brokers/upstox/UpstoxHistory.h"
#include "support/BarText.h"

#include <QtTest>

class TestUpstoxHistory : public QObject {
    Q_OBJECT
private slots:
    void intervals_data()
    {
        QTest::addColumn<QString>("interval");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<int>("size");
        QTest::newRow("5min") << "5min" << "minutes" << 5;
        QTest::newRow("30minute") << "30minute" << "minutes" << 30;
        QTest::newRow("1hour") << "1hour" << "hours" << 1;
        QTest::newRow("day") << "day" << "days" << 1;
        QTest::newRow("month") << "month" << "months" << 1;
        QTest::newRow("60min is not in the table") << "60min" << "days" << 1;
        QTest::newRow("upper case is not in the table") << "1MIN" << "days" << 1;
    }

    void intervals()
    {
        QFETCH(QString, interval);
        QFETCH(QString, unit);
        QFETCH(int, size);
        const auto iv = UpstoxHistory::intervalFor(interval);
        QCOMPARE(iv.unit, unit);
        QCOMPARE(iv.size, size);
    }

    void pathCarriesEncodedKeyAndEndBeforeStart()
    {
        const QDate today(2024, 3, 15);
        QCOMPARE(UpstoxHistory::effectiveEndDate(today, today), QDate(2024, 3, 16));
        QCOMPARE(UpstoxHistory::effectiveEndDate(today.addDays(1), today), QDate(2024, 3, 16));
        QCOMPARE(UpstoxHistory::effectiveEndDate(today.addDays(-1), today), QDate(2024, 3, 14));
        QCOMPARE(UpstoxHistory::requestPath("NSE_EQ|INE 002/A", UpstoxHistory::intervalFor("5min"), today,
                                            UpstoxHistory::effectiveEndDate(today, today)),
                 QStringLiteral("/v3/historical-candle/NSE_EQ%7CINE%20002%2FA/minutes/5/2024-03-16/2024-03-15"));
        QCOMPARE(UpstoxHistory::intradayPath("NSE_EQ|INE 002/A", UpstoxHistory::intervalFor("1hour")),
                 QStringLiteral("/v3/historical-candle/intraday/NSE_EQ%7CINE%20002%2FA/hours/1"));
    }

    void plan_data()
    {
        QTest::addColumn<QString>("interval");
        QTest::addColumn<QDate>("from");
        QTest::addColumn<QDate>("to");
        QTest::addColumn<QStringList>("requests");  // "from..to" or "today"
        const QDate today(2024, 3, 15);
        QTest::newRow("one month of 1-minute bars fits")
            << "1minute" << QDate(2024, 2, 1) << QDate(2024, 2, 28) << QStringList{"2024-02-01..2024-02-28"};
        QTest::newRow("1-minute bars split by month")
            << "1minute" << QDate(2024, 1, 1) << QDate(2024, 3, 10)
            << QStringList{"2024-01-01..2024-01-28", "2024-01-29..2024-02-25", "2024-02-26..2024-03-10"};
        QTest::newRow("30-minute bars split by quarter")
            << "30minute" << QDate(2023, 6, 1) << QDate(2023, 12, 31)
            << QStringList{"2023-06-01..2023-08-28", "2023-08-29..2023-11-25", "2023-11-26..2023-12-31"};
        QTest::newRow("reaching today: today from the intraday endpoint")
            << "5min" << QDate(2024, 3, 13) << today << QStringList{"2024-03-13..2024-03-14", "today"};
        QTest::newRow("today alone") << "day" << today << today << QStringList{"today"};
        QTest::newRow("days over a decade") << "day" << QDate(2010, 1, 1) << QDate(2024, 1, 1)
                                            << QStringList{"2010-01-01..2019-12-31", "2020-01-01..2024-01-01"};
        QTest::newRow("weeks in one request, up to tomorrow")
            << "week" << QDate(2000, 1, 1) << today << QStringList{"2000-01-01..2024-03-16"};
    }

    void plan()
    {
        QFETCH(QString, interval);
        QFETCH(QDate, from);
        QFETCH(QDate, to);
        QStringList got;
        for (const UpstoxHistory::Request& r : UpstoxHistory::plan(UpstoxHistory::intervalFor(interval), from, to,
                                                                  QDate(2024, 3, 15)))
            got << (r.intraday ? QStringLiteral("today")
                               : r.from.toString(Qt::ISODate) + ".." + r.to.toString(Qt::ISODate));
        QTEST(got, "requests");
    }

    void replyRows()
    {
        const QByteArray body = R"({"status":"success","data":{"candles":[
        ["2024-03-15T09:15:00+05:30", 100.5, 101, 99.5, 100.75, 12000],
        ["2024-03-15T09:16:00+05:30", 100.75, 102, 100, 101.5, 8000, 345000],
        ["2024-03-15T09:17:00+05:30", 1, 2, 3, 4],
        ["not a time", 1, 2, 3, 4, 5],
        ["2024-03-15T09:14:00+05:30", "x", 1, 1, 1, 1]]}})";
        const auto r = UpstoxHistory::parseCandles(body, "RELIANCE");
        QVERIFY(r.ok);
        QCOMPARE(r.skippedRows, 2);
        // Rows keep the reply's order, even when it is not chronological; text where a number belongs is 0.
        QCOMPARE(BarText::of(r.bars), (QStringList{"RELIANCE 1710474300 100.5 101 99.5 100.75 100.75 12000 0",
                                                   "RELIANCE 1710474360 100.75 102 100 101.5 101.5 8000 345000",
                                                   "RELIANCE 1710474240 0 1 1 1 1 1 0"}));

        const auto empty = UpstoxHistory::parseCandles(R"({"status":"success","data":{}})", "X");
        QVERIFY(empty.ok);
        QVERIFY(empty.bars.isEmpty());
    }

    void failedReplies_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("message");
        QTest::newRow("error status") << QByteArray(R"({"status":"error","message":"Invalid instrument key"})")
                                      << "Invalid instrument key";
        QTest::newRow("status in other case") << QByteArray(R"({"status":"SUCCESS","data":{"candles":[]}})") << "";
        QTest::newRow("not JSON") << QByteArray("<html>502</html>") << "";
        QTest::newRow("array") << QByteArray("[]") << "";
    }

    void failedReplies()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, message);
        const auto r = UpstoxHistory::parseCandles(body, "X");
        QVERIFY(!r.ok);
        QCOMPARE(r.message, message);
        QVERIFY(r.bars.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestUpstoxHistory)
#include "tst_upstoxhistory.moc"
