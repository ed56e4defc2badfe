// The log file and message handler: line format and level names, which lines reach the file and
// which only standard error, whole lines under concurrent logging, fatal messages, and a start-up
// that survives a log folder it cannot use.
#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTextCodec>
#include <QThread>
#include <QtTest>

#include "app/Logging.h"
#include "support/TestEnvironment.h"
#include "support/ToolProcess.h"

namespace {

const QRegularExpression kLine(
    QStringLiteral("^\\[(\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3})\\] \\[(DEBUG|INFO|WARN|ERROR|FATAL)\\] (.*)$"));

QStringList fileLines(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// Standard error of this process goes to a file while one of these lives.
class StderrToFile
{
public:
    explicit StderrToFile(const QString& path)
    {
        std::fflush(stderr);
        saved = ::dup(STDERR_FILENO);
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~StderrToFile()
    {
        std::fflush(stderr);
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
    }

private:
    int saved = -1;
};

} // namespace

class LoggingTest : public QObject
{
    Q_OBJECT

private slots:
    void formatLogLine_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("line");
        // Every level's name is also read back from the child's log file and standard error below.
        QTest::newRow("critical") << int(QtCriticalMsg) << "[2026-01-02 09:05:03.007] [ERROR] hello \"x\"\n";
        QTest::newRow("unknown type") << 42 << "[2026-01-02 09:05:03.007] [] hello \"x\"\n";
    }

    void formatLogLine()
    {
        QFETCH(int, type);
        const QDateTime when(QDate(2026, 1, 2), QTime(9, 5, 3, 7));
        QTEST(::formatLogLine(static_cast<QtMsgType>(type), when, QStringLiteral("hello \"x\"")), "line");
    }

    void childLogsToFileAndStderr()
    {
        TestEnvironment env;
        QVERIFY(env.isValid());
        const QDateTime before = QDateTime::currentDateTime();
        const ToolResult run = runTool(QStringLiteral("app_child"), {"log"}, env.processEnvironment());
        QVERIFY(run.finished);
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        QCOMPARE(run.exitCode, 0);

        const QDir logDir(env.programDataPath() + QStringLiteral("/logs"));
        const QStringList names = logDir.entryList(QDir::Files);
        QCOMPARE(names.size(), 1);
        const QRegularExpressionMatch name =
            QRegularExpression(QStringLiteral("^Tickvane_(\\d{8}_\\d{6})\\.log$")).match(names.first());
        QVERIFY2(name.hasMatch(), qPrintable(names.first()));
        const QDateTime started = QDateTime::fromString(name.captured(1), QStringLiteral("yyyyMMdd_HHmmss"));
        QVERIFY(started >= before.addMSecs(-before.time().msec()) && started <= QDateTime::currentDateTime());

        const QString path = logDir.filePath(names.first());
        const QStringList lines = fileLines(path);
        QStringList bodies;
        for (const QString& line : lines) {
            const QRegularExpressionMatch m = kLine.match(line);
            QVERIFY2(m.hasMatch(), qPrintable(line));
            bodies << m.captured(2) + QLatin1Char(' ') + m.captured(3);
        }
        const QStringList expected = {
            QStringLiteral("INFO ===== Tickvane Started ===== Version: \"6.2.9\" Build: B0420.02"),
            QStringLiteral("INFO Log file: \"%1\"").arg(path),
            QStringLiteral("INFO Crash handler initialized"),
            QStringLiteral("INFO child info line"),
            QStringLiteral("WARN child warning line"),
            QStringLiteral("ERROR child critical line"),
        };
        QCOMPARE(bodies, expected);

        // Standard error carries every line, debug included, and still works after the file is closed.
        const QString err = QString::fromLocal8Bit(run.standardError);
        for (const QString& text : {QStringLiteral("[DEBUG] child debug line"), QStringLiteral("[INFO] child info line"),
                                    QStringLiteral("[WARN] child warning line"), QStringLiteral("[ERROR] child critical line"),
                                    QStringLiteral("[INFO] child line after close")})
            QVERIFY2(err.contains(text), qPrintable(text));
    }

    void concurrentLinesStayWhole()
    {
        TestEnvironment env;
        QVERIFY(env.isValid());
        const QString path = env.rootPath() + QStringLiteral("/concurrent.log");
        QVERIFY(LogFile::open(path));
        const int threads = 4;
        const int perThread = 300;
        {
            StderrToFile quiet(env.rootPath() + QStringLiteral("/stderr.txt"));
            const QtMessageHandler previous = qInstallMessageHandler(logMessageHandler);
            QList<QThread*> workers;
            for (int t = 0; t < threads; ++t) {
                workers << QThread::create([t] {
                    for (int i = 0; i < perThread; ++i)
                        qWarning("worker %d line %d %s", t, i, "padding-padding-padding-padding-padding");
                });
                workers.last()->start();
            }
            for (QThread* w : workers) {
                w->wait();
                delete w;
            }
            qInstallMessageHandler(previous);
        }
        LogFile::close();

        const QStringList lines = fileLines(path);
        QCOMPARE(lines.size(), threads * perThread);
        QSet<QString> seen;
        for (const QString& line : lines) {
            const QRegularExpressionMatch m = kLine.match(line);
            QVERIFY2(m.hasMatch() && m.captured(2) == QLatin1String("WARN"), qPrintable(line));
            QVERIFY2(m.captured(3).endsWith(QLatin1String(" padding-padding-padding-padding-padding")), qPrintable(line));
            seen.insert(m.captured(3));
        }
        QCOMPARE(seen.size(), threads * perThread);
    }

    // The standard-error line is built in one buffer kept from message to message: each message
    // is written once, alone on its line, whatever its characters.
    void stderrLinesStandAlone()
    {
        TestEnvironment env;
        QVERIFY(env.isValid());
        QTextCodec* const previousCodec = QTextCodec::codecForLocale();
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
        const QStringList messages = {
            QStringLiteral("first line"),
            QString::fromUtf8("\u20b9 123 LTP for \u0930\u093f\u0932\u093e\u092f\u0902\u0938"),
            QStringLiteral("x"),
            QString::fromUtf8("\u0928\u093f\u092b\u094d\u091f\u0940 50"),
            QStringLiteral("last line, plain again"),
        };
        const QString path = env.rootPath() + QStringLiteral("/stderr.txt");
        {
            StderrToFile capture(path);
            const QtMessageHandler previous = qInstallMessageHandler(logMessageHandler);
            for (const QString& m : messages)
                qInfo().noquote() << m;
            qInstallMessageHandler(previous);
        }
        QTextCodec::setCodecForLocale(previousCodec);

        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        QVERIFY(bytes.endsWith('\n'));
        const QList<QByteArray> lines = bytes.left(bytes.size() - 1).split('\n');
        QCOMPARE(lines.size(), messages.size());
        for (int i = 0; i < lines.size(); ++i) {
            const QRegularExpressionMatch m = kLine.match(QString::fromUtf8(lines.at(i)));
            QVERIFY2(m.hasMatch(), lines.at(i).constData());
            QCOMPARE(m.captured(2), QStringLiteral("INFO"));
            QCOMPARE(m.captured(3), messages.at(i));
        }
    }

    void fatalMessageIsLoggedThenAborts()
    {
        TestEnvironment env;
        QVERIFY(env.isValid());
        const ToolResult run = runTool(QStringLiteral("app_child"), {"fatal"}, env.processEnvironment());
        QVERIFY(run.crashed());
        QCOMPARE(run.exitCode, SIGABRT);
        QVERIFY(run.standardError.contains("] [FATAL] child fatal line\n"));

        const QDir logDir(env.programDataPath() + QStringLiteral("/logs"));
        const QStringList names = logDir.entryList(QDir::Files);
        QCOMPARE(names.size(), 1);
        const QByteArray log = [&] {
            QFile f(logDir.filePath(names.first()));
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        }();
        const int fatalAt = log.indexOf("] [FATAL] child fatal line\n");
        QVERIFY(fatalAt > 0);
        // The abort is then reported by the crash handler, after the fatal line.
        QVERIFY(log.indexOf("Type: Abort Signal (SIGABRT)\n", fatalAt) > fatalAt);
    }

    void unusableLogFolder_data()
    {
        QTest::addColumn<QString>("blocker");  // made a plain file, relative to XDG_DATA_HOME
        QTest::newRow("logs is a file") << "Tickvane/Tickvane/logs";
        QTest::newRow("application-data folder is a file") << "Tickvane";
    }

    void unusableLogFolder()
    {
        QFETCH(QString, blocker);
        TestEnvironment env;
        QVERIFY(env.isValid());
        const QString blockerPath = env.dataHome() + QLatin1Char('/') + blocker;
        QVERIFY(QDir().mkpath(QFileInfo(blockerPath).path()));
        QFile file(blockerPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();

        const ToolResult run = runTool(QStringLiteral("app_child"), {"log"}, env.processEnvironment());
        QVERIFY(run.finished);
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        QCOMPARE(run.exitCode, 0);

        const QString err = QString::fromLocal8Bit(run.standardError);
        QVERIFY2(err.contains(QStringLiteral("Failed to create log directory:")), qPrintable(err));
        QVERIFY(err.contains(QStringLiteral("Failed to open log file:")));
        // Messages still reach Qt's own output, but no handler was installed and no banner written.
        QVERIFY(err.contains(QStringLiteral("child carried on without a log file")));
        QVERIFY(err.contains(QStringLiteral("child critical line")));
        QVERIFY(!err.contains(QStringLiteral("[ERROR]")));
        QVERIFY(!err.contains(QStringLiteral("Tickvane Started")));
    }
};

QTEST_GUILESS_MAIN(LoggingTest)
#include "tst_logging.moc"
