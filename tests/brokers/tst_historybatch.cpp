#include "brokers/HistoryBatch.h"
#include "brokers/RequestPacer.h"

#include <QtTest>

namespace {

OHLCData bar(qint64 secs, double close)
{
    OHLCData b;
    b.symbol = QStringLiteral("NSE:TEST");
    b.timestamp = QDateTime::fromSecsSinceEpoch(secs, Qt::UTC);
    b.open = b.high = b.low = b.close = close;
    return b;
}

}  // namespace

class TstHistoryBatch : public QObject {
    Q_OBJECT
private slots:
    void splitRange_data()
    {
        QTest::addColumn<QDate>("from");
        QTest::addColumn<QDate>("to");
        QTest::addColumn<int>("maxDays");
        QTest::addColumn<QString>("expected");
        const QDate d(2024, 1, 1);
        QTest::newRow("fits") << d << d.addDays(29) << 30 << "2024-01-01..2024-01-30";
        QTest::newRow("one day over") << d << d.addDays(30) << 30 << "2024-01-01..2024-01-30 2024-01-31..2024-01-31";
        QTest::newRow("single day") << d << d << 1 << "2024-01-01..2024-01-01";
        QTest::newRow("reversed") << d.addDays(1) << d << 30 << "";
        QTest::newRow("no limit") << d << d << 0 << "";
    }

    void splitRange()
    {
        QFETCH(QDate, from);
        QFETCH(QDate, to);
        QFETCH(int, maxDays);
        QStringList got;
        for (const auto& r : HistoryBatch::splitRange(from, to, maxDays))
            got << r.first.toString(Qt::ISODate) + ".." + r.second.toString(Qt::ISODate);
        QTEST(got.join(' '), "expected");
    }

    void gathersPartsInAnyOrder()
    {
        QList<OHLCData> received;
        int calls = 0;
        auto batch = HistoryBatch::create(
            2, QStringLiteral("NSE:TEST"),
            [&](const QString&, const QList<OHLCData>& bars) {
                received = bars;
                ++calls;
            },
            [](const QString&) { QFAIL("no error expected"); });
        batch->partArrived(1, {bar(300, 3), bar(200, 9)});
        QCOMPARE(calls, 0);
        batch->partArrived(0, {bar(100, 1), bar(200, 2)});
        batch->partArrived(0, {bar(50, 1)});  // a part answers once
        QCOMPARE(calls, 1);
        QStringList closes;
        for (const OHLCData& b : received)
            closes << QString::number(b.timestamp.toSecsSinceEpoch()) + "=" + QString::number(b.close);
        // Oldest first, one bar per time: of the two bars at 200 the earlier part's stays.
        QCOMPARE(closes.join(' '), QStringLiteral("100=1 200=2 300=3"));
    }

    void partialFailureHandsOnBarsThenError()
    {
        QStringList order;
        auto batch = HistoryBatch::create(
            3, QStringLiteral("NSE:TEST"),
            [&](const QString&, const QList<OHLCData>& bars) { order << QStringLiteral("bars %1").arg(bars.size()); },
            [&](const QString& e) { order << e; });
        batch->partFailed(0, QStringLiteral("first"));
        batch->partArrived(1, {bar(100, 1)});
        batch->partFailed(2, QStringLiteral("second"));
        QCOMPARE(order.join('|'), QStringLiteral("bars 1|first"));

        order.clear();
        auto allFail = HistoryBatch::create(
            2, QStringLiteral("NSE:TEST"), [&](const QString&, const QList<OHLCData>&) { order << "bars"; },
            [&](const QString& e) { order << e; });
        allFail->partFailed(0, QStringLiteral("down"));
        allFail->partFailed(1, QStringLiteral("still down"));
        QCOMPARE(order.join('|'), QStringLiteral("down"));
    }

    void pacerKeepsToItsRate()
    {
        // Two starts per 200 ms on a clock the test moves: one request queued at 0, three at 100.
        qint64 now = 0;
        RequestPacer pacer(2);
        pacer.setRate(2, 200);
        pacer.setClock([&] { return now; });
        QVector<qint64> starts;
        const auto request = [&] { starts << now; };
        pacer.enqueue(request);
        now = 100;
        for (int i = 0; i < 3; ++i)
            pacer.enqueue(request);
        while (pacer.pending() > 0) {
            now = pacer.nextStartAt();
            QTRY_VERIFY_WITH_TIMEOUT(starts.last() == now, 5000);  // the pacer's own timer starts it
        }
        // Idle past the window: the next two go at once.
        now = 520;
        pacer.enqueue(request);
        pacer.enqueue(request);
        // Each start waits for the one two places before it to leave the window, and not longer.
        QCOMPARE(starts, (QVector<qint64>{0, 100, 200, 300, 520, 520}));
    }
};

QTEST_GUILESS_MAIN(TstHistoryBatch)
#include "tst_historybatch.moc"
