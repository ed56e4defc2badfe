// Log line stamps: the same text as Qt's local time for instants around daylight-saving changes,
// half-hour and odd offsets, the turn of a year and a leap day, whichever way the clock moves.
#include <ctime>

#include <QDateTime>
#include <QtTest>

#include "app/LogTimeStamp.h"

namespace {

// TZ set for one test row; the previous value comes back afterwards.
class ZoneOverride
{
public:
    explicit ZoneOverride(const QByteArray& zone) : hadZone(qEnvironmentVariableIsSet("TZ")), saved(qgetenv("TZ"))
    {
        qputenv("TZ", zone);
        tzset();
    }
    ~ZoneOverride()
    {
        if (hadZone)
            qputenv("TZ", saved);
        else
            qunsetenv("TZ");
        tzset();
    }

private:
    bool hadZone;
    QByteArray saved;
};

qint64 utcMs(int y, int mo, int d, int h, int mi, int s, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC).toMSecsSinceEpoch();
}

QString slowStamp(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::LocalTime).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

} // namespace

class LogTimeStampTest : public QObject
{
    Q_OBJECT

private slots:
    void matchesLocalTime_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<qint64>("at");         // UTC
        QTest::addColumn<QString>("expected");  // the stamp at `at`
        QTest::newRow("New York, clocks go forward") << QByteArray("America/New_York")
                                                     << utcMs(2026, 3, 8, 7, 0, 0) << "2026-03-08 03:00:00.000";
        QTest::newRow("New York, clocks go back") << QByteArray("America/New_York") << utcMs(2026, 11, 1, 6, 0, 0)
                                                  << "2026-11-01 01:00:00.000";
        QTest::newRow("Lord Howe, half an hour back") << QByteArray("Australia/Lord_Howe")
                                                      << utcMs(2026, 4, 4, 15, 0, 0) << "2026-04-05 01:30:00.000";
        QTest::newRow("Kolkata, new year") << QByteArray("Asia/Kolkata") << utcMs(2026, 12, 31, 18, 30, 0)
                                           << "2027-01-01 00:00:00.000";
        QTest::newRow("Kolkata, leap day") << QByteArray("Asia/Kolkata") << utcMs(2028, 2, 28, 18, 30, 0, 7)
                                           << "2028-02-29 00:00:00.007";
        QTest::newRow("Kathmandu, quarter-hour offset") << QByteArray("Asia/Kathmandu")
                                                        << utcMs(2026, 6, 1, 3, 44, 59, 999) << "2026-06-01 09:29:59.999";
        QTest::newRow("POSIX rule without a zone file") << QByteArray("CET-1CEST,M3.5.0,M10.5.0/3")
                                                        << utcMs(2026, 3, 29, 1, 0, 0) << "2026-03-29 03:00:00.000";
        QTest::newRow("UTC") << QByteArray("UTC") << utcMs(2026, 1, 2, 9, 5, 3, 7) << "2026-01-02 09:05:03.007";
    }

    void matchesLocalTime()
    {
        QFETCH(QByteArray, zone);
        QFETCH(qint64, at);
        ZoneOverride tz(zone);
        LogTimeStamp stamp;
        QTEST(stamp.text(at), "expected");

        // One stamp object sees the clock run across the change, within a second and across
        // seconds, then be set back over it: every text is Qt's own.
        const qint64 steps[] = {-3600000, -1001, -1000, -999, -1, 0, 1, 998, 999, 1000, 1001, 3600000,
                                -1, 0, -2000, 5, 999, -3600000, 7200000};
        for (const qint64 step : steps) {
            const qint64 ms = at + step;
            QCOMPARE(stamp.text(ms), slowStamp(ms));
        }
    }

    void zoneChangeShowsFromTheNextSecond()
    {
        const qint64 at = utcMs(2026, 7, 1, 12, 0, 0, 250);
        LogTimeStamp stamp;
        {
            ZoneOverride tz("Asia/Kolkata");
            QCOMPARE(stamp.text(at), QStringLiteral("2026-07-01 17:30:00.250"));
        }
        ZoneOverride tz("America/New_York");
        QCOMPARE(stamp.text(at + 1000), QStringLiteral("2026-07-01 08:00:01.250"));
    }
};

QTEST_GUILESS_MAIN(LogTimeStampTest)
#include "tst_logtimestamp.moc"
