// Candle store over real SQLite files: schema and pragmas, inserts, exact reads, other threads, calendar.
#include "backtest/SQLiteOHLCStore.h"
#include "support/CandleFixture.h"

#include <QDir>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <sqlite3.h>

#include <atomic>
#include <functional>
#include <limits>

using CandleFixture::candle;

namespace {

// Runs `work` on a fresh QThread and waits for it to end.
void runOnThread(const std::function<void()>& work)
{
    QThread* t = QThread::create(work);
    t->start();
    QVERIFY(t->wait(30000));
    delete t;
}

// The system's file layer with its sleep replaced: SQLite's busy wait asks it for every pause, so the
// sum of the pauses is the wait a connection was given, whatever the machine's speed.
std::atomic<qint64> askedSleepUs{0};
sqlite3_vfs sleepCounter{};

int countSleep(sqlite3_vfs*, int microseconds)
{
    askedSleepUs += microseconds;
    return microseconds;
}

// Each candle as "date time open high low close volume", and "+spare" when the spare field is set.
QStringList text(const QVector<StoredCandle>& candles)
{
    QStringList out;
    for (const StoredCandle& c : candles) {
        QString line = c.date + ' ' + c.time;
        for (double v : {c.open, c.high, c.low, c.close, double(c.volume)})
            line += ' ' + QString::number(v, 'g', 12);
        out << (c.spare.isEmpty() ? line : line + " +" + c.spare);
    }
    return out;
}

int connectionsNamed(const QString& prefix)
{
    int n = 0;
    for (const QString& name : QSqlDatabase::connectionNames())
        n += name.startsWith(prefix) ? 1 : 0;
    return n;
}

}  // namespace

class TestSQLiteOHLCStore : public QObject {
    Q_OBJECT

private slots:
    void fileStoreRoundTrip()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        SQLiteOHLCStore store;
        QVERIFY(store.open(dir.path()));
        QVERIFY(QFile::exists(dir.filePath("1min.db")));
        QVERIFY(QFile::exists(dir.filePath("day.db")));

        QSqlQuery mode(store.minuteDatabase());
        QVERIFY(mode.exec("PRAGMA journal_mode") && mode.next());
        QCOMPARE(mode.value(0).toString(), QString("wal"));
        mode.finish();

        // Inserted out of time order: the read must come back sorted by time.
        const QVector<StoredCandle> bars = {
            candle("2024-03-04", "09:16:00", 101.5, 102.25, 101.0, 102.0, 1500),
            candle("2024-03-04", "09:15:00", 100.0, 101.75, 99.5, 101.5, 2500),
            candle("2024-03-05", "09:15:00", 103.0, 104.0, 102.5, 103.5, 900),
        };
        QCOMPARE(store.insertMinuteCandles("INFY", bars), 3);
        QCOMPARE(store.insertMinuteCandles("INFY", bars.mid(0, 1)), 0);  // same key again
        QCOMPARE(store.insertMinuteCandles("TCS", bars.mid(0, 1)), 1);   // another symbol, same time
        QVERIFY(QFile::exists(dir.filePath("1min.db-wal")));

        QCOMPARE(text(store.loadMinuteCandles("INFY", "2024-03-04")),
                 (QStringList{"2024-03-04 09:15:00 100 101.75 99.5 101.5 2500", "2024-03-04 09:16:00 101.5 102.25 101 102 1500"}));

        QCOMPARE(store.availableDates("INFY", "2024-03-01", "2024-03-31"), QStringList({"2024-03-04", "2024-03-05"}));
        QCOMPARE(store.availableDates("INFY", "2024-03-05", "2024-03-05"), QStringList({"2024-03-05"}));
        QCOMPARE(store.minuteCandleCount(), qint64(4));

        QString first, last;
        store.dateRange("INFY", first, last);
        QCOMPARE(first + ' ' + last, QString("2024-03-04 2024-03-05"));
        first = last = "stale";
        store.dateRange("NONE", first, last);
        QVERIFY(first.isEmpty() && last.isEmpty());

        const QVector<StoredCandle> days = {candle("2024-03-05", "ignored", 3, 4, 2, 3.5, 10),
                                            candle("2024-03-04", "ignored", 1, 2, 0.5, 1.5, 20)};
        QCOMPARE(store.insertDayCandles("INFY", days), 2);
        QCOMPARE(store.insertDayCandles("INFY", days), 0);
        QCOMPARE(text(store.loadDayCandles("INFY", "2024-03-01", "2024-03-31")),
                 (QStringList{"2024-03-04 00:00:00 1 2 0.5 1.5 20", "2024-03-05 00:00:00 3 4 2 3.5 10"}));
        QVERIFY(store.loadDayCandles("INFY", "2024-04-01", "2024-04-30").isEmpty());

        // A reopened store reads what was committed.
        store.close();
        QVERIFY(store.loadMinuteCandles("INFY", "2024-03-04").isEmpty());
        QVERIFY(store.open(dir.path()));
        QCOMPARE(store.loadMinuteCandles("INFY", "2024-03-04").size(), 2);

        store.deleteSymbol("INFY");
        QVERIFY(store.loadMinuteCandles("INFY", "2024-03-04").isEmpty());
        QVERIFY(store.loadDayCandles("INFY", "2024-03-01", "2024-03-31").isEmpty());
        QCOMPARE(store.minuteCandleCount(), qint64(1));
    }

    void volumesAreReadWideAndSaturated()
    {
        SQLiteOHLCStore store;
        QVERIFY(store.open(":memory:"));
        // What fills the files is outside the program, so a volume can be anything SQLite holds.
        QSqlQuery q(store.minuteDatabase());
        QVERIFY(q.exec("INSERT INTO minute_candles VALUES ('X', '2024-03-04', '09:15:00', 1, 1, 1, 1, 5000000000)"));
        QVERIFY(q.exec("INSERT INTO minute_candles VALUES ('X', '2024-03-04', '09:16:00', 1, 1, 1, 1, -5000000000)"));
        QVERIFY(q.exec("INSERT INTO minute_candles VALUES ('X', '2024-03-04', '09:17:00', 1, 1, 1, 1, 2147483647)"));
        QCOMPARE(text(store.loadMinuteCandles("X", "2024-03-04")),
                 (QStringList{"2024-03-04 09:15:00 1 1 1 1 2147483647", "2024-03-04 09:16:00 1 1 1 1 -2147483648",
                              "2024-03-04 09:17:00 1 1 1 1 2147483647"}));
    }

    void memoryStoreCreatesNoFilesAndIsShared()
    {
        QTemporaryDir dir;
        const QString oldCwd = QDir::currentPath();
        QDir::setCurrent(dir.path());
        {
            SQLiteOHLCStore a;
            SQLiteOHLCStore b;
            QVERIFY(a.open(":memory:"));
            QVERIFY(b.open(":memory:"));
            QCOMPARE(a.insertMinuteCandles("A", {candle("2024-03-04", "09:15:00", 1, 2, 0.5, 1.5, 7)}), 1);
            QCOMPARE(b.minuteCandleCount(), qint64(0));  // two stores never share a database

            QVector<StoredCandle> seen;
            runOnThread([&] { seen = a.loadMinuteCandles("A", "2024-03-04"); });
            QCOMPARE(seen.size(), 1);
            QCOMPARE(seen[0].volume, 7);
        }
        QDir::setCurrent(oldCwd);
        QVERIFY(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    }

    void failedOpenAnswersEmptyAndLeavesNothingBehind()
    {
        QTemporaryDir dir;
        SQLiteOHLCStore store;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^SQLiteOHLCStore: cannot open"));
        QVERIFY(!store.open(dir.filePath("no/such/folder")));
        QVERIFY(!store.isOpen());
        QCOMPARE(store.insertMinuteCandles("A", {candle("2024-03-04", "09:15:00", 1, 1, 1, 1, 1)}), 0);
        QCOMPARE(store.insertDayCandles("A", {candle("2024-03-04", "00:00:00", 1, 1, 1, 1, 1)}), 0);
        QVERIFY(store.loadMinuteCandles("A", "2024-03-04").isEmpty());
        QVERIFY(store.loadDayCandles("A", "2024-01-01", "2024-12-31").isEmpty());
        QVERIFY(store.availableDates("A", "2024-01-01", "2024-12-31").isEmpty());
        QCOMPARE(store.missingDates("A", "2024-03-04", "2024-03-05"), QStringList({"2024-03-04", "2024-03-05"}));
        QString first = "x", last = "y";
        store.dateRange("A", first, last);
        QVERIFY(first.isEmpty() && last.isEmpty());
        store.deleteSymbol("A");
        QCOMPARE(store.minuteCandleCount(), qint64(0));
        QVERIFY(!store.minuteDatabase().isValid());
        QVERIFY(QSqlDatabase::connectionNames().isEmpty());
        QVERIFY(store.open(dir.path()));
        QCOMPARE(store.insertMinuteCandles("A", {candle("2024-03-04", "09:15:00", 1, 1, 1, 1, 1)}), 1);
    }

    void failedWritesAreReported_data()
    {
        QTest::addColumn<QString>("obstacle");
        QTest::addColumn<QList<int>>("counts");  // added, already stored, failed, busy
        QTest::newRow("a statement still reading: the commit fails") << "reading" << QList<int>{0, 0, 2, 0};
        QTest::newRow("another connection holds the write lock") << "locked" << QList<int>{0, 0, 2, 1};
        QTest::newRow("a NaN price fails alone") << "nan" << QList<int>{1, 0, 1, 0};
    }

    // Failed rows are counted apart from stored ones, and a batch that cannot be committed counts none.
    void failedWritesAreReported()
    {
        QFETCH(QString, obstacle);
        QFETCH(QList<int>, counts);
        QTemporaryDir dir;
        SQLiteOHLCStore store;
        QVERIFY(store.open(dir.path()));
        QVector<StoredCandle> rows{candle("2024-03-04", "09:15:00", 1, 1, 1, 1, 1), candle("2024-03-04", "09:16:00", 2, 2, 2, 2, 2)};
        {
            QSqlDatabase other = QSqlDatabase::addDatabase("QSQLITE", "other program");
            other.setDatabaseName(dir.filePath("1min.db"));
            QVERIFY(other.open());
            QSqlQuery hold(obstacle == "reading" ? store.minuteDatabase() : other);
            if (obstacle == "reading") {
                QVERIFY(hold.exec("PRAGMA journal_mode") && hold.next());  // left in progress
                QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^SQLiteOHLCStore: commit failed"));
            } else if (obstacle == "locked") {
                QVERIFY(hold.exec("BEGIN IMMEDIATE"));
            } else {
                rows[1].close = std::numeric_limits<double>::quiet_NaN();
            }
            const IOHLCStore::InsertReport r = store.insertCandles(true, "A", rows);
            QCOMPARE((QList<int>{r.added, r.duplicates, r.failed, int(r.busy)}), counts);
            QCOMPARE(r.problem.isEmpty(), counts[2] == 0);
            QCOMPARE(store.loadMinuteCandles("A", "2024-03-04").size(), counts[0]);  // reads go on
            if (obstacle == "locked")
                QVERIFY(hold.exec("ROLLBACK"));
        }
        QSqlDatabase::removeDatabase("other program");
        QCOMPARE(store.insertMinuteCandles("A", rows.mid(0, 1)), 1 - counts[0]);
    }

    void aLockedStoreIsWaitedForBriefly()
    {
        // The write waits a quarter second for another program's lock, then the batch is reported
        // busy and tried again later: a longer wait would hold every other query of the program.
        sqlite3_vfs* system = sqlite3_vfs_find(nullptr);
        QVERIFY(system);
        sleepCounter = *system;
        sleepCounter.zName = "tst_sleep_counter";
        sleepCounter.xSleep = countSleep;
        QCOMPARE(sqlite3_vfs_register(&sleepCounter, 1), SQLITE_OK);
        const auto restore = qScopeGuard([system] {
            sqlite3_vfs_register(system, 1);
            sqlite3_vfs_unregister(&sleepCounter);
        });
        QTemporaryDir dir;
        {
            SQLiteOHLCStore store;
            QVERIFY(store.open(dir.path()));
            QSqlDatabase other = QSqlDatabase::addDatabase("QSQLITE", "other program");
            other.setDatabaseName(dir.filePath("day.db"));
            QVERIFY(other.open());
            QSqlQuery hold(other);
            QVERIFY(hold.exec("BEGIN IMMEDIATE"));
            askedSleepUs = 0;
            const IOHLCStore::InsertReport r =
                store.insertCandles(false, "A", {candle("2024-03-04", "00:00:00", 1, 1, 1, 1, 1)});
            QVERIFY(r.busy);
            const qint64 waitedMs = askedSleepUs.load() / 1000;
            QVERIFY2(waitedMs > 0 && waitedMs <= 250,
                     qPrintable(QString::number(waitedMs)));
            QVERIFY(hold.exec("ROLLBACK"));
            hold = QSqlQuery();
            other.close();
            other = QSqlDatabase();
        }
        QSqlDatabase::removeDatabase("other program");
    }

    void readsFromWorkerThreads()
    {
        QTemporaryDir dir;
        SQLiteOHLCStore store;
        QVERIFY(store.open(dir.path()));
        QVector<StoredCandle> bars;
        for (int m = 0; m < 375; ++m)
            bars.append(candle("2024-03-04", CandleFixture::minuteTime(m), 100 + m, 101 + m, 99 + m, 100.5 + m, m));
        bars.append(candle("2024-03-06", "09:15:00", 1, 1, 1, 1, 1));
        QCOMPARE(store.insertMinuteCandles("NIFTY", bars), 376);
        QCOMPARE(store.insertDayCandles("NIFTY", {candle("2024-03-04", "00:00:00", 100, 475, 99, 474.5, 70125)}), 1);
        const int before = QSqlDatabase::connectionNames().size();

        // Two workers one after another, as the backtest controller runs its agents.
        for (int round = 0; round < 2; ++round) {
            QVector<StoredCandle> minutes, days;
            QStringList dates, missing;
            runOnThread([&] {
                minutes = store.loadMinuteCandles("NIFTY", "2024-03-04");
                days = store.loadDayCandles("NIFTY", "2024-03-01", "2024-03-08");
                dates = store.availableDates("NIFTY", "2024-03-01", "2024-03-08");
                missing = store.missingDates("NIFTY", "2024-03-04", "2024-03-10");
            });
            QCOMPARE(minutes.size(), 375);
            QCOMPARE(minutes.last().time, QString("15:29:00"));
            QCOMPARE(minutes.last().close, 474.5);
            QCOMPARE(days.size(), 1);
            QCOMPARE(dates, QStringList({"2024-03-04", "2024-03-06"}));
            QCOMPARE(missing, QStringList({"2024-03-05", "2024-03-07", "2024-03-08"}));  // weekends are not missing
            // The worker's connections went with the worker.
            QCOMPARE(QSqlDatabase::connectionNames().size(), before);
        }
        store.close();
        QCOMPARE(connectionsNamed("ohlc_"), 0);
    }

    void tradingDays_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("over a weekend") << "2024-03-01" << "2024-03-04" << QStringList{"2024-03-01", "2024-03-04"};
        QTest::newRow("one weekday") << "2024-03-05" << "2024-03-05" << QStringList{"2024-03-05"};
        QTest::newRow("a saturday alone") << "2024-03-02" << "2024-03-02" << QStringList{};
        QTest::newRow("from after to") << "2024-03-05" << "2024-03-04" << QStringList{};
        QTest::newRow("not a date") << "yesterday" << "2024-03-05" << QStringList{};
        QTest::newRow("leap day") << "2024-02-28" << "2024-03-01"
                                  << QStringList{"2024-02-28", "2024-02-29", "2024-03-01"};
    }

    void tradingDays()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QTEST(tradingDaysBetween(from, to), "expected");
    }
};

QTEST_GUILESS_MAIN(TestSQLiteOHLCStore)
#include "tst_sqliteohlcstore.moc"
