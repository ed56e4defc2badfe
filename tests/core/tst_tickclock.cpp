#include "core/TickClock.h"

#include <QtTest>

#include <cstdlib>
#include <ctime>

class TstTickClock : public QObject {
    Q_OBJECT
private slots:
    void sameWallClockAsLocalTime_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<qint64>("msecs");
        // India (no daylight saving), and both sides of a European daylight-saving change, which the
        // cache must notice although the two instants are only minutes apart.
        QTest::newRow("kolkata") << QByteArray("Asia/Kolkata") << qint64(1733472000123);
        QTest::newRow("before dst") << QByteArray("Europe/Berlin") << qint64(1711846740000);  // 2024-03-31 00:59 UTC
        QTest::newRow("after dst") << QByteArray("Europe/Berlin") << qint64(1711846860000);   // 2024-03-31 01:01 UTC
        QTest::newRow("before 1970") << QByteArray("Asia/Kolkata") << qint64(-86400000LL * 400 + 5);
    }

    void sameWallClockAsLocalTime()
    {
        QFETCH(QByteArray, zone);
        QFETCH(qint64, msecs);
        const QByteArray old = qgetenv("TZ");
        qputenv("TZ", zone);
        tzset();
        const QDateTime stamped = TickClock::fromMSecs(msecs);
        const QDateTime local = QDateTime::fromMSecsSinceEpoch(msecs, Qt::LocalTime);
        const QString format = QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz");
        QCOMPARE(stamped.toString(format), local.toString(format));
        QCOMPARE(stamped.toMSecsSinceEpoch(), msecs);
        QCOMPARE(stamped, local);
        if (old.isNull())
            qunsetenv("TZ");
        else
            qputenv("TZ", old);
        tzset();
    }
};

QTEST_GUILESS_MAIN(TstTickClock)
#include "tst_tickclock.moc"
