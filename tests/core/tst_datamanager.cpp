// Tests of the tick and bar store: limits, ordering, ranges, lookups by date, cleanup and concurrent use.
#include <QAtomicInt>
#include <QSignalSpy>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <cmath>
#include <limits>

#include "core/DataManager.h"

namespace {

const QDateTime kBase(QDate(2026, 3, 2), QTime(9, 15), Qt::LocalTime);

TickData tick(const QString& symbol, double ltp, const QDateTime& when)
{
    TickData t;
    t.symbol = symbol;
    t.token = "2885";
    t.exchange = "NSE";
    t.ltp = ltp;
    t.volume = 100;
    t.timestamp = when;
    return t;
}

OHLCData bar(const QString& symbol, const QDateTime& when, double close = 100.0)
{
    OHLCData b;
    b.symbol = symbol;
    b.timestamp = when;
    b.open = b.high = b.low = b.close = b.adjustedClose = close;
    b.volume = 10;
    return b;
}

QList<QDateTime> times(const QList<OHLCData>& bars)
{
    QList<QDateTime> out;
    for (const OHLCData& b : bars)
        out.append(b.timestamp);
    return out;
}

} // namespace

class TestDataManager : public QObject {
    Q_OBJECT
private slots:
    void invalidTicksAreDropped_data()
    {
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<double>("ltp");
        QTest::addColumn<QDateTime>("when");
        QTest::newRow("empty symbol") << QString() << 10.0 << kBase;
        QTest::newRow("zero price") << "INFY" << 0.0 << kBase;
        QTest::newRow("NaN price") << "INFY" << std::numeric_limits<double>::quiet_NaN() << kBase;
        QTest::newRow("invalid time") << "INFY" << 10.0 << QDateTime();
    }

    void invalidTicksAreDropped()
    {
        QFETCH(QString, symbol);
        QFETCH(double, ltp);
        QFETCH(QDateTime, when);
        DataManager dm;
        QSignalSpy spy(&dm, &DataManager::newTickStored);
        dm.storeTick(tick(symbol, ltp, when));
        QCOMPARE(spy.count(), 0);
        QVERIFY(dm.availableSymbols().isEmpty());
        QCOMPARE(dm.tickCount(symbol), 0);
        QVERIFY(!dm.latestTick(symbol).isValid());
    }

    void tickHistoryIsCappedOldestFirst()
    {
        DataManager dm;
        QCOMPARE(dm.maxTicksPerSymbol(), 10000);
        QSignalSpy spy(&dm, &DataManager::newTickStored);
        const int total = dm.maxTicksPerSymbol() + 1;
        for (int i = 0; i < total; ++i)
            dm.storeTick(tick("INFY", 1000.0 + i, kBase.addMSecs(i)));
        // A second symbol interleaved must not disturb the first one's ring.
        dm.storeTick(tick("TCS", 3500.0, kBase));

        QCOMPARE(spy.count(), total + 1);
        QCOMPARE(dm.tickCount("INFY"), 10000);
        QCOMPARE(dm.tickCount("TCS"), 1);
        // The first tick is gone: the oldest kept is the second one.
        QCOMPARE(dm.firstUpdateTime("INFY"), kBase.addMSecs(1));
        QCOMPARE(dm.lastUpdateTime("INFY"), kBase.addMSecs(total - 1));
        QCOMPARE(dm.latestTick("INFY").ltp, 1000.0 + total - 1);

        const QList<QVariant> last = spy.at(total - 1);
        QCOMPARE(last.at(0).toString(), QString("INFY"));
        QCOMPARE(last.at(1).value<TickData>().ltp, 1000.0 + total - 1);

        // Identical ticks are both kept: no de-duplication.
        dm.storeTick(tick("TCS", 3500.0, kBase));
        QCOMPARE(dm.tickCount("TCS"), 2);
    }

    void tickTimestampsKeepTheirTimeSpec_data()
    {
        QTest::addColumn<QDateTime>("when");
        QTest::newRow("local") << kBase;
        QTest::newRow("utc") << QDateTime(QDate(2026, 3, 2), QTime(3, 45, 1, 250), Qt::UTC);
        QTest::newRow("+05:30") << QDateTime(QDate(2026, 3, 2), QTime(9, 15, 0, 5), Qt::OffsetFromUTC, 19800);
    }

    // The history keeps ticks in a compact form; what comes back out must be the same date-time,
    // not just the same instant, or CSV and log text built from it would shift.
    void tickTimestampsKeepTheirTimeSpec()
    {
        QFETCH(QDateTime, when);
        DataManager dm;
        dm.storeTick(tick("INFY", 1500.0, when));
        const QDateTime back = dm.firstUpdateTime("INFY");
        QCOMPARE(back, when);
        QCOMPARE(back.timeSpec(), when.timeSpec());
        QCOMPARE(back.offsetFromUtc(), when.offsetFromUtc());
        QCOMPARE(back.toString(Qt::ISODateWithMs), when.toString(Qt::ISODateWithMs));
    }

    void barsAreReplacedAndSorted()
    {
        DataManager dm;
        QSignalSpy spy(&dm, &DataManager::historicalDataStored);

        QList<OHLCData> descending;
        for (int i = 4; i >= 0; --i)
            descending.append(bar("NIFTY", kBase.addDays(i), 100 + i));
        dm.storeHistoricalData("NIFTY", descending);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), QString("NIFTY"));
        QCOMPARE(spy.at(0).at(1).toInt(), 5);
        const QList<OHLCData> stored = dm.historicalData("NIFTY", QDateTime(), QDateTime());
        QCOMPARE(stored.size(), 5);
        for (int i = 0; i < stored.size(); ++i) {
            QCOMPARE(stored.at(i).timestamp, kBase.addDays(i));
            QCOMPARE(stored.at(i).close, 100.0 + i);  // prices travel with their timestamps
        }

        // An empty list keeps what was there and says nothing.
        dm.storeHistoricalData("NIFTY", {});
        QCOMPARE(spy.count(), 1);
        QCOMPARE(dm.barCount("NIFTY"), 5);

        // A new list replaces the old one as a whole, no merge.
        dm.storeHistoricalData("NIFTY", {bar("NIFTY", kBase.addDays(10)), bar("NIFTY", kBase.addDays(-10))});
        QCOMPARE(spy.count(), 2);
        QCOMPARE(times(dm.historicalData("NIFTY", QDateTime(), QDateTime())),
                 (QList<QDateTime>{kBase.addDays(-10), kBase.addDays(10)}));

        // Order follows the instant, not the text of the time: 04:00 UTC is after 09:00 at +05:30.
        const QDateTime utc(QDate(2026, 3, 2), QTime(4, 0), Qt::UTC);
        const QDateTime ist(QDate(2026, 3, 2), QTime(9, 0), Qt::OffsetFromUTC, 19800);
        dm.storeHistoricalData("MIX", {bar("MIX", utc), bar("MIX", ist)});
        QCOMPARE(times(dm.historicalData("MIX", QDateTime(), QDateTime())), (QList<QDateTime>{ist, utc}));
    }

    void historicalDataBoundsAreInclusive_data()
    {
        QTest::addColumn<QDateTime>("from");
        QTest::addColumn<QDateTime>("to");
        QTest::addColumn<QList<int>>("days");  // offsets from kBase of the bars expected
        QTest::newRow("both open") << QDateTime() << QDateTime() << QList<int>{0, 1, 2, 3};
        QTest::newRow("exact ends") << kBase.addDays(1) << kBase.addDays(2) << QList<int>{1, 2};
        QTest::newRow("from open") << QDateTime() << kBase.addDays(1) << QList<int>{0, 1};
        QTest::newRow("to open") << kBase.addDays(2) << QDateTime() << QList<int>{2, 3};
        QTest::newRow("one msec past") << kBase.addDays(1).addMSecs(1) << kBase.addDays(2).addMSecs(-1)
                                       << QList<int>{};
        QTest::newRow("reversed") << kBase.addDays(3) << kBase << QList<int>{};
    }

    void historicalDataBoundsAreInclusive()
    {
        QFETCH(QDateTime, from);
        QFETCH(QDateTime, to);
        QFETCH(QList<int>, days);
        DataManager dm;
        dm.storeHistoricalData("SBIN", {bar("SBIN", kBase.addDays(3)), bar("SBIN", kBase), bar("SBIN", kBase.addDays(2)),
                                        bar("SBIN", kBase.addDays(1))});
        QList<QDateTime> expected;
        for (int d : days)
            expected.append(kBase.addDays(d));
        QCOMPARE(times(dm.historicalData("SBIN", from, to)), expected);
        QVERIFY(dm.historicalData("OTHER", from, to).isEmpty());
    }

    void barForDate_data()
    {
        QTest::addColumn<QDateTime>("when");
        QTest::addColumn<QDateTime>("expected");  // invalid: no bar
        QTest::addColumn<double>("close");
        const QDateTime day1 = QDateTime(QDate(2026, 3, 2), QTime(9, 15));
        const QDateTime day1b = QDateTime(QDate(2026, 3, 2), QTime(15, 0));
        const QDateTime day3 = QDateTime(QDate(2026, 3, 4), QTime(9, 15));
        // Stored bars: day1 (close 1), day1b (close 2), day3 (close 3), day3 again (close 4).
        QTest::newRow("same date, first of two") << QDateTime(QDate(2026, 3, 2), QTime(23, 0)) << day1 << 1.0;
        QTest::newRow("same date before its bars") << QDateTime(QDate(2026, 3, 2), QTime(0, 0)) << day1 << 1.0;
        QTest::newRow("gap day takes latest earlier") << QDateTime(QDate(2026, 3, 3), QTime(12, 0)) << day1b << 2.0;
        QTest::newRow("after all, equal stamps: first wins") << QDateTime(QDate(2026, 3, 9), QTime(12, 0)) << day3 << 3.0;
        QTest::newRow("before first bar") << QDateTime(QDate(2026, 3, 1), QTime(12, 0)) << QDateTime() << 0.0;
    }

    void barForDate()
    {
        QFETCH(QDateTime, when);
        QFETCH(QDateTime, expected);
        QFETCH(double, close);
        DataManager dm;
        QVERIFY(!dm.barForDate("RELIANCE", when).isValid());
        const QDateTime day1 = QDateTime(QDate(2026, 3, 2), QTime(9, 15));
        const QDateTime day1b = QDateTime(QDate(2026, 3, 2), QTime(15, 0));
        const QDateTime day3 = QDateTime(QDate(2026, 3, 4), QTime(9, 15));
        dm.storeHistoricalData("RELIANCE", {bar("RELIANCE", day3, 3), bar("RELIANCE", day1b, 2),
                                            bar("RELIANCE", day1, 1), bar("RELIANCE", day3, 4)});
        // Equal timestamps keep their input order, so the "first" of two equal bars is well defined.
        const OHLCData got = dm.barForDate("RELIANCE", when);
        QCOMPARE(got.isValid(), expected.isValid());
        QCOMPARE(got.timestamp, expected);
        QCOMPARE(got.close, close);
    }

    void availableSymbolsAreUniqueAndCodeUnitSorted()
    {
        DataManager dm;
        dm.storeTick(tick("nifty", 1.0, kBase));
        dm.storeTick(tick("Nifty", 1.0, kBase));
        dm.storeTick(tick("BANKNIFTY", 1.0, kBase));
        dm.storeHistoricalData("BANKNIFTY", {bar("BANKNIFTY", kBase)});
        dm.storeHistoricalData("ACC", {bar("ACC", kBase)});
        dm.storeHistoricalData("EMPTY", {});  // no list given, so no entry
        QCOMPARE(dm.availableSymbols(), (QStringList{"ACC", "BANKNIFTY", "Nifty", "nifty"}));
        QVERIFY(dm.hasSymbol("ACC"));
        QVERIFY(!dm.hasSymbol("NIFTY"));  // keys are case-sensitive
        QVERIFY(!dm.hasSymbol("EMPTY"));
    }

    void cleanupDropsOldDataButKeepsKeys()
    {
        DataManager dm;
        const QDateTime now = QDateTime::currentDateTime();
        const QDateTime old = now.addDays(-400);
        const QDateTime young = now.addDays(-300);
        dm.storeTick(tick("OLD", 10.0, old.addSecs(-1)));
        dm.storeTick(tick("OLD", 11.0, old));
        dm.storeTick(tick("MIXED", 20.0, old));
        dm.storeTick(tick("MIXED", 21.0, young));
        dm.storeTick(tick("MIXED", 22.0, old.addSecs(5)));  // out of time order, must still go
        dm.storeTick(tick("MIXED", 23.0, young.addSecs(5)));
        dm.storeHistoricalData("BARS", {bar("BARS", old), bar("BARS", young), bar("BARS", now)});
        dm.storeHistoricalData("OLDBARS", {bar("OLDBARS", old)});

        QVERIFY(QMetaObject::invokeMethod(&dm, "cleanupOldData"));

        QCOMPARE(dm.tickCount("OLD"), 0);
        QCOMPARE(dm.latestTick("OLD").ltp, 11.0);  // the latest tick stays
        QCOMPARE(dm.tickCount("MIXED"), 2);
        QCOMPARE(dm.firstUpdateTime("MIXED"), young);  // order of the survivors kept
        QCOMPARE(dm.barCount("BARS"), 2);
        QCOMPARE(times(dm.historicalData("BARS", QDateTime(), QDateTime())), (QList<QDateTime>{young, now}));
        QCOMPARE(dm.barCount("OLDBARS"), 0);
        QCOMPARE(dm.availableSymbols(), (QStringList{"BARS", "MIXED", "OLD", "OLDBARS"}));
        QVERIFY(dm.hasSymbol("OLDBARS"));

        // The ring keeps working after holes were closed in it.
        for (int i = 0; i < dm.maxTicksPerSymbol() + 5; ++i)
            dm.storeTick(tick("MIXED", 30.0 + i, now.addMSecs(i)));
        QCOMPARE(dm.tickCount("MIXED"), 10000);
        // Two survivors plus 10005 new ticks: the seven oldest went, the first kept is now + 5 ms.
        QCOMPARE(dm.firstUpdateTime("MIXED"), now.addMSecs(5));
        // First and last update combine bars and ticks, whichever is further out.
        dm.storeHistoricalData("MIXED", {bar("MIXED", young.addDays(-1))});
        QCOMPARE(dm.lastUpdateTime("MIXED"), now.addMSecs(dm.maxTicksPerSymbol() + 4));
        QCOMPARE(dm.firstUpdateTime("MIXED"), young.addDays(-1));
        dm.removeSymbol("MIXED");
        QVERIFY(!dm.hasSymbol("MIXED"));
        QCOMPARE(dm.tickCount("MIXED"), 0);
        dm.clearAll();
        QVERIFY(dm.availableSymbols().isEmpty());
    }

    void cleanupTimerRunsEveryFiveMinutes()
    {
        DataManager dm;
        const QList<QTimer*> timers = dm.findChildren<QTimer*>();
        QCOMPARE(timers.size(), 1);
        QVERIFY(timers.first()->isActive());
        QVERIFY(!timers.first()->isSingleShot());
        QCOMPARE(timers.first()->interval(), 300000);

        const QDateTime old = QDateTime::currentDateTime().addDays(-366);
        dm.storeHistoricalData("A", {bar("A", old)});
        timers.first()->setInterval(0);  // let the real connection fire now
        QTRY_COMPARE_WITH_TIMEOUT(dm.barCount("A"), 0, 5000);
    }

    // One thread stores while this one reads and cleans up, as the AmiBroker host does from its own
    // thread. Run under the sanitizers this catches unguarded access; the checks catch torn state.
    void concurrentReaderSeesConsistentState()
    {
        DataManager dm;
        const QStringList symbols{"INFY", "TCS", "SBIN", "HDFC"};
        const int perSymbol = 15000;  // past the cap, so the ring wraps while being read
        QAtomicInt done(0);

        // A queued receiver may call back into the store; count what it sees.
        int queuedSeen = 0;
        connect(&dm, &DataManager::newTickStored, this,
                [&](const QString& symbol, const TickData&) {
                    if (dm.latestTick(symbol).isValid())
                        ++queuedSeen;
                },
                Qt::QueuedConnection);

        QThread* writer = QThread::create([&] {
            for (int i = 0; i < perSymbol; ++i) {
                for (const QString& s : symbols)
                    dm.storeTick(tick(s, 1.0 + i, kBase.addMSecs(i)));
                if (i % 1000 == 0) {
                    QList<OHLCData> bars;
                    for (int b = 50; b >= 0; --b)
                        bars.append(bar("INFY", kBase.addDays(-b).addSecs(i)));
                    dm.storeHistoricalData("INFY", bars);
                }
            }
            done.storeRelease(1);
        });
        writer->start();

        // No QVERIFY inside the loop: a failure must not leave the writer running on freed locals.
        QString failure;
        double lastLtp = 0;
        int reads = 0;
        while ((!done.loadAcquire() || reads == 0) && failure.isEmpty()) {
            const TickData t = dm.latestTick("INFY");
            if (t.isValid()) {
                if (t.ltp < lastLtp)
                    failure = QString("latest tick went back from %1 to %2").arg(lastLtp).arg(t.ltp);
                else if (t.timestamp != kBase.addMSecs(qRound(t.ltp) - 1))
                    failure = "latest tick with a torn timestamp";
                lastLtp = t.ltp;
            }
            if (dm.tickCount("TCS") > 10000)
                failure = "tick history above the cap";
            const QList<OHLCData> bars = dm.historicalData("INFY", QDateTime(), QDateTime());
            for (int i = 1; i < bars.size(); ++i)
                if (bars.at(i - 1).timestamp > bars.at(i).timestamp)
                    failure = "bars seen out of order";
            dm.barForDate("INFY", kBase);
            dm.availableSymbols();
            if (++reads % 64 == 0)
                QMetaObject::invokeMethod(&dm, "cleanupOldData");
        }
        QVERIFY(writer->wait(120000));
        delete writer;
        QVERIFY2(failure.isEmpty(), qPrintable(failure));

        for (const QString& s : symbols) {
            QCOMPARE(dm.tickCount(s), 10000);
            QCOMPARE(dm.latestTick(s).ltp, double(perSymbol));
        }
        QTRY_COMPARE_WITH_TIMEOUT(queuedSeen, perSymbol * symbols.size(), 30000);
    }
};

QTEST_GUILESS_MAIN(TestDataManager)
#include "tst_datamanager.moc"
