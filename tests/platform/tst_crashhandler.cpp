// Crash records: the block's exact shape and local time, where the crash file goes, and what a real
// crashing child process leaves behind (log file, crash file, standard error, how it ends).
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QLockFile>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include "platform/CrashHandler.h"
#include "support/TestEnvironment.h"
#include "support/TestFiles.h"
#include "support/ToolProcess.h"

using TestFiles::readAll;
using TestFiles::writeFile;

namespace {

const QString kBlockPattern = QStringLiteral(
    "^\\n\\n========== APPLICATION CRASH ==========\\n"
    "Timestamp: (\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2})\\n"
    "Type: %1\\n"
    "Details: %2\\n"
    "Version: 6\\.2\\.9\\n"
    "=======================================\\n\\n$");

QStringList crashFiles(const QString& dir)
{
    return QDir(dir).entryList({QStringLiteral("crash_*.txt")}, QDir::Files, QDir::Name);
}

// Whether the process has `file` open: in "hold" mode only the crash handler opens the log path,
// so the child holding the FIFO means its handler is inside the write of the record.
bool holdsOpen(qint64 pid, const struct stat& file)
{
    const QString fdDir = QStringLiteral("/proc/%1/fd/").arg(pid);
    for (const QString& fd : QDir(fdDir).entryList(QDir::NoDotAndDotDot | QDir::System)) {
        struct stat st;
        if (::stat(QFile::encodeName(fdDir + fd).constData(), &st) == 0 && st.st_dev == file.st_dev
            && st.st_ino == file.st_ino)
            return true;
    }
    return false;
}

void closeQuietly(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

class CrashHandlerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Tickvane"));
        QCoreApplication::setApplicationName(QStringLiteral("Tickvane"));
        QCoreApplication::setApplicationVersion(QStringLiteral("6.2.9"));
        originalTz = qgetenv("TZ");
        QVERIFY2(!toolPath(QStringLiteral("app_child")).isEmpty(), "TICKVANE_TOOLS_DIR is not set");
    }

    void signalTypeText_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("text");
        // Chosen by the symbolic signal: SIGABRT is 6 here, not the 22 of other runtimes. SEGV, TERM and
        // ABRT are checked in the records of the crashing children.
        QTest::newRow("ILL") << SIGILL << "Illegal Instruction (SIGILL)";
        QTest::newRow("FPE") << SIGFPE << "Floating Point Exception (SIGFPE)";
        QTest::newRow("USR1") << SIGUSR1 << QStringLiteral("Unknown Signal (%1)").arg(SIGUSR1);
        QTest::newRow("22 is not abort here") << 22 << "Unknown Signal (22)";
    }

    void signalTypeText()
    {
        QFETCH(int, signal);
        QTEST(CrashHandler::signalTypeText(signal), "text");
    }

    void writeCrashLog_data()
    {
        QTest::addColumn<QByteArray>("tz");
        QTest::addColumn<bool>("withLog");
        QTest::newRow("UTC") << QByteArray("UTC") << true;
        QTest::newRow("India, half-hour offset") << QByteArray("Asia/Kolkata") << true;
        QTest::newRow("west of UTC, no log file") << QByteArray("America/St_Johns") << false;
    }

    void writeCrashLog()
    {
        QFETCH(QByteArray, tz);
        QFETCH(bool, withLog);
        qputenv("TZ", tz);
        tzset();
        auto restoreTz = qScopeGuard([this] {
            if (originalTz.isNull())
                qunsetenv("TZ");
            else
                qputenv("TZ", originalTz);
            tzset();
        });

        TestEnvironment env;
        QVERIFY(env.isValid());
        const QString logPath = env.rootPath() + QStringLiteral("/run.log");
        const QByteArray earlier = "[2026-01-02 09:05:03.007] [INFO] earlier line\n";
        QVERIFY(writeFile(logPath, earlier));

        const QDateTime before = QDateTime::currentDateTime();
        const QString folder = CrashHandler::writeCrashLog(withLog ? logPath : QString(),
                                                           QStringLiteral("Access Violation"),
                                                           QStringLiteral("Exception Code: 0xc0000005\nException Address: 0x1f"));
        const QDateTime after = QDateTime::currentDateTime();

        QCOMPARE(folder, TestEnvironment::appDataPath() + QStringLiteral("/crashes/"));
        const QStringList files = crashFiles(folder);
        QCOMPARE(files.size(), 1);
        const QByteArray block = readAll(folder + files.first());

        const QRegularExpression shape(
            kBlockPattern.arg(QStringLiteral("Access Violation"),
                              QStringLiteral("Exception Code: 0xc0000005\\nException Address: 0x1f")));
        const QRegularExpressionMatch match = shape.match(QString::fromUtf8(block));
        QVERIFY2(match.hasMatch(), block.constData());

        // Local time, not UTC: the stamp lies between the clock readings around the call.
        const QDateTime stamp = QDateTime::fromString(match.captured(1), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        QVERIFY(stamp.isValid());
        QVERIFY2(stamp >= before.addMSecs(-before.time().msec()) && stamp <= after, qPrintable(match.captured(1)));
        QCOMPARE(files.first(), stamp.toString(QStringLiteral("'crash_'yyyyMMdd_HHmmss'.txt'")));

        QCOMPARE(readAll(logPath), withLog ? earlier + block : earlier);
    }

    void fallsBackBesideExecutable()
    {
        TestEnvironment env;
        QVERIFY(env.isValid());
        // A plain file where the crashes folder belongs: the folder cannot be made.
        QVERIFY(QDir().mkpath(TestEnvironment::appDataPath()));
        QVERIFY(writeFile(TestEnvironment::appDataPath() + QStringLiteral("/crashes"), "not a folder"));

        const QString fallback = QCoreApplication::applicationDirPath() + QStringLiteral("/crashes/");
        // The folder beside the executable is shared by every copy of this test running at once:
        // one at a time, or one copy removes or rewrites (same second) the file another just wrote.
        QLockFile besideExecutable(QCoreApplication::applicationDirPath() + QStringLiteral("/crashes-test.lock"));
        QVERIFY(besideExecutable.tryLock(120000));
        const QStringList existing = crashFiles(fallback);
        const QString folder = CrashHandler::writeCrashLog(QString(), QStringLiteral("Stack Overflow"),
                                                           QStringLiteral("Exception Code: 0xc00000fd"));
        QCOMPARE(folder, fallback);

        QStringList added = crashFiles(fallback);
        for (const QString& name : existing)
            added.removeAll(name);
        auto cleanup = qScopeGuard([&] {
            for (const QString& name : added)
                QFile::remove(fallback + name);
            QDir().rmdir(fallback);
        });
        // A crash in the same second as an older file of this folder rewrites that file instead.
        QVERIFY(!added.isEmpty() || !existing.isEmpty());
        const QString written = added.isEmpty() ? existing.last() : added.first();
        QVERIFY(readAll(fallback + written).contains("Type: Stack Overflow\n"));
    }

    void crashingChild_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("number");
        QTest::newRow("raised SIGSEGV") << QStringList{"signal", "SEGV"} << "Segmentation Fault (SIGSEGV)" << SIGSEGV;
        QTest::newRow("bad pointer write") << QStringList{"segfault"} << "Segmentation Fault (SIGSEGV)" << SIGSEGV;
        QTest::newRow("SIGTERM counts as a crash, no log file") << QStringList{"nolog", "TERM"}
                                                                << "Termination Request (SIGTERM)" << SIGTERM;
    }

    void crashingChild()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, type);
        QFETCH(int, number);

        TestEnvironment env;
        QVERIFY(env.isValid());
        const ToolResult run = runTool(QStringLiteral("app_child"), arguments, env.processEnvironment());
        QVERIFY(run.started);
        QVERIFY(run.finished);
        // The handler ends with abort(), whatever the signal was.
        QVERIFY(run.crashed());
        QCOMPARE(run.exitCode, SIGABRT);

        const QString appData = env.programDataPath();
        const QStringList crashes = crashFiles(appData + QStringLiteral("/crashes"));
        QCOMPARE(crashes.size(), 1);
        const QByteArray block = readAll(appData + QStringLiteral("/crashes/") + crashes.first());
        const QRegularExpression shape(kBlockPattern.arg(QRegularExpression::escape(type),
                                                         QStringLiteral("Signal Number: %1").arg(number)));
        QVERIFY2(shape.match(QString::fromUtf8(block)).hasMatch(), block.constData());

        const QStringList logs = QDir(appData + QStringLiteral("/logs")).entryList(QDir::Files);
        if (arguments.first() == QLatin1String("nolog")) {
            QVERIFY(!QDir(appData + QStringLiteral("/logs")).exists());
            return;
        }
        QCOMPARE(logs.size(), 1);
        const QByteArray log = readAll(appData + QStringLiteral("/logs/") + logs.first());
        // The log ends with exactly the same block, after the start-up lines.
        QVERIFY(log.contains("Crash handler initialized\n"));
        QVERIFY(log.endsWith(block));
        QCOMPARE(log.count("APPLICATION CRASH"), 1);

        const QByteArray box = "Tickvane has encountered a fatal error and needs to close.\n\nError Type: "
            + type.toUtf8() + "\n\nA crash report has been saved.";
        QVERIFY2(run.standardError.contains(box), run.standardError.constData());
    }

    void secondSignalWhileWriting()
    {
        TestEnvironment env;
        QVERIFY(env.isValid());
        // The log "file" is a FIFO whose pipe the test fills before the child starts: the handler's
        // open() then succeeds at once and its write() stays blocked until the test reads, so the
        // second signal surely arrives mid-write.
        const QString fifo = env.rootPath() + QStringLiteral("/held.log");
        const QByteArray fifoPath = QFile::encodeName(fifo);
        QCOMPARE(::mkfifo(fifoPath.constData(), 0600), 0);
        struct stat fifoStat;
        QCOMPARE(::stat(fifoPath.constData(), &fifoStat), 0);

        // Close-on-exec: the child must hold no end of the FIFO but the one its handler opens.
        int reader = ::open(fifoPath.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        auto closeReader = qScopeGuard([&] { closeQuietly(reader); });
        QVERIFY2(reader >= 0, std::strerror(errno));
        int writer = ::open(fifoPath.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        auto closeWriter = qScopeGuard([&] { closeQuietly(writer); });
        QVERIFY2(writer >= 0, std::strerror(errno));

        const char kFiller = '#';
        const QByteArray page(4096, kFiller);
        qint64 filler = 0;
        for (size_t chunk : {size_t(4096), size_t(1)}) {
            for (;;) {
                const ssize_t n = ::write(writer, page.constData(), chunk);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0) {
                    QVERIFY2(errno == EAGAIN || errno == EWOULDBLOCK, std::strerror(errno));
                    break;
                }
                filler += n;
            }
        }
        QVERIFY(filler > 0);

        QProcess child;
        child.setProcessEnvironment(env.processEnvironment());
        child.start(toolPath(QStringLiteral("app_child")), {QStringLiteral("hold"), fifo});
        QVERIFY(child.waitForStarted(30000));
        auto reap = qScopeGuard([&] {
            if (child.state() != QProcess::NotRunning) {
                child.kill();
                child.waitForFinished(5000);
            }
        });

        QTRY_VERIFY_WITH_TIMEOUT(holdsOpen(child.processId(), fifoStat), 30000);
        // From here the handler's end is the only writer left: its close is the reader's end of file.
        closeQuietly(writer);
        QCOMPARE(::kill(static_cast<pid_t>(child.processId()), SIGTERM), 0);
        QCOMPARE(::kill(static_cast<pid_t>(child.processId()), SIGTERM), 0);

        QByteArray received;
        const QDeadlineTimer deadline(30000);
        for (;;) {
            char buf[4096];
            const ssize_t n = ::read(reader, buf, sizeof buf);
            if (n > 0) {
                received.append(buf, static_cast<int>(n));
                continue;
            }
            if (n == 0)
                break;  // the handler closed the log
            QVERIFY2(errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR, std::strerror(errno));
            QVERIFY2(!deadline.hasExpired(), "the handler never closed the log");
            struct pollfd pfd = {reader, POLLIN, 0};
            ::poll(&pfd, 1, static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
        }
        closeQuietly(reader);
        QVERIFY(child.waitForFinished(30000));

        QVERIFY(received.size() >= filler);
        QCOMPARE(received.left(static_cast<int>(filler)).count(kFiller), static_cast<int>(filler));
        const QByteArray logged = received.mid(static_cast<int>(filler));

        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
        QCOMPARE(child.exitCode(), SIGABRT);  // not killed by the second SIGTERM
        QCOMPARE(logged.count("APPLICATION CRASH"), 1);
        QVERIFY(logged.contains("Type: Segmentation Fault (SIGSEGV)\n"));
        const QString crashDir = env.programDataPath() + QStringLiteral("/crashes/");
        const QStringList crashes = crashFiles(crashDir);
        QCOMPARE(crashes.size(), 1);
        QCOMPARE(readAll(crashDir + crashes.first()), logged);
        QCOMPARE(child.readAllStandardError().count("Error Type:"), 1);
    }

private:
    QByteArray originalTz;
};

QTEST_GUILESS_MAIN(CrashHandlerTest)
#include "tst_crashhandler.moc"
