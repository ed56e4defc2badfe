// The shared log capture: records messages with their types, nests, passes messages on to the
// handler installed before it, and puts that handler back.
#include <QtTest>

#include "support/LogCapture.h"

namespace {

QStringList g_seenByOuter;

void outerHandler(QtMsgType, const QMessageLogContext&, const QString& message)
{
    g_seenByOuter << message;
}

} // namespace

class LogCaptureTest : public QObject
{
    Q_OBJECT

private slots:
    void nestsChainsAndRestores();
};

void LogCaptureTest::nestsChainsAndRestores()
{
    g_seenByOuter.clear();
    const QtMessageHandler original = qInstallMessageHandler(outerHandler);
    {
        LogCapture outer;
        qWarning() << "first";
        {
            LogCapture inner(false);  // keeps what it sees to itself
            qInfo() << "second";
            QCOMPARE(inner.messages(QtInfoMsg), QStringList{"second"});
        }
        qCritical() << "third";
        QCOMPARE(outer.messages(), (QStringList{"first", "third"}));
        QCOMPARE(outer.messages(QtCriticalMsg), QStringList{"third"});
        QVERIFY(outer.contains(QtWarningMsg, QStringLiteral("fir")));
        QVERIFY(!outer.contains(QtInfoMsg, QStringLiteral("first")));
        QCOMPARE(outer.indexOf(QStringLiteral("third")), 1);
    }
    qWarning() << "after";
    // The inner capture did not forward; the outer forwarded; both put back what they found.
    QCOMPARE(g_seenByOuter, (QStringList{"first", "third", "after"}));
    QVERIFY(qInstallMessageHandler(original) == &outerHandler);
}

QTEST_GUILESS_MAIN(LogCaptureTest)
#include "tst_logcapture.moc"
