// The whole program's start-up and shutdown: what the first lines of the log say, that the shutdown
// line is the log's last, that the settings are saved after the log is closed, that a second copy
// ends untouched while one runs, and that the real Tickvane executable leaves a crash record in its
// log and a crash file when it gets SIGTERM.
#include <cerrno>
#include <csignal>
#include <cstring>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QSslSocket>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QtTest>

#include "app/Startup.h"
#include "support/LogCapture.h"
#include "support/TestEnvironment.h"
#include "support/TestFiles.h"
#include "support/ToolProcess.h"

using TestFiles::readAll;

namespace {

const QRegularExpression kStamp(QStringLiteral("^\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}\\] "));

QString onlyLogFile(const TestEnvironment& env)
{
    const QDir dir(env.programDataPath() + QStringLiteral("/logs"));
    const QStringList names = dir.entryList({QStringLiteral("Tickvane_*.log")}, QDir::Files);
    return names.size() == 1 ? dir.filePath(names.first()) : QString();
}

// Log lines without their time stamps.
QStringList bodies(const QByteArray& log)
{
    QStringList out;
    for (QString line : QString::fromUtf8(log).split(QLatin1Char('\n'))) {
        if (line.isEmpty())
            continue;
        const QRegularExpressionMatch m = kStamp.match(line);
        out << (m.hasMatch() ? line.mid(m.capturedLength()) : QStringLiteral("<unstamped> ") + line);
    }
    return out;
}

// The fixed opening of every log: banner, path, crash handler, then the TLS lines.
void verifyOpening(const QStringList& lines, const QString& path)
{
    QVERIFY(lines.size() >= 6);
    QCOMPARE(lines.at(0), QStringLiteral("[INFO] ===== Tickvane Started ===== Version: \"6.2.9\" Build: B0420.02"));
    QCOMPARE(lines.at(1), QStringLiteral("[INFO] Log file: \"%1\"").arg(path));
    QCOMPARE(lines.at(2), QStringLiteral("[INFO] Crash handler initialized"));
    QCOMPARE(lines.at(3), QStringLiteral("[INFO] SSL/TLS support: ENABLED"));
    QVERIFY2(lines.at(4).startsWith(QLatin1String("[INFO] SSL library version: \"")), qPrintable(lines.at(4)));
    QVERIFY2(lines.at(5).startsWith(QLatin1String("[INFO] SSL build version: \"")), qPrintable(lines.at(5)));
}

} // namespace

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanRunShutsDownInOrder()
    {
        TestEnvironment env;
        QVERIFY(env.isValid());
        {
            // The "Custom API" provider: no connector and no instrument master to download, so the
            // window starts without the network.
            QSettings seed(env.configHome() + QStringLiteral("/Tickvane/Tickvane.conf"), QSettings::IniFormat);
            seed.setValue(QStringLiteral("API/provider"), 6);
        }
        const ToolResult run = runTool(QStringLiteral("app_child"), {"run"}, env.processEnvironment());
        QVERIFY(run.finished);
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        QCOMPARE(run.exitCode, 0);

        const QString path = onlyLogFile(env);
        QVERIFY(!path.isEmpty());
        const QStringList lines = bodies(readAll(path));
        verifyOpening(lines, path);
        QVERIFY(lines.contains(QStringLiteral("[INFO] MainWindow: using application-level SettingsManager")));
        QCOMPARE(lines.last(), QStringLiteral("[INFO] ===== Tickvane Shutting Down ====="));
        for (const QString& line : lines)
            QVERIFY2(!line.startsWith(QLatin1String("<unstamped>")), qPrintable(line));

        // The socket line comes before any handler exists, so it is in Qt's plain format on stderr.
        const QString err = QString::fromLocal8Bit(run.standardError);
        QVERIFY(err.contains(QRegularExpression(QStringLiteral("(^|\\n)Network sockets initialized for IXWebSocket \\(Dhan broker\\)\\n"))));
        // The window is destroyed after the log is closed and saves the settings then.
        const QString settingsFile = env.configHome() + QStringLiteral("/Tickvane/Tickvane.conf");
        QVERIFY(QFileInfo::exists(settingsFile));
        QCOMPARE(QFileInfo(settingsFile).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther),
                 QFileDevice::Permissions());
        QVERIFY(err.indexOf(QLatin1String("===== Tickvane Shutting Down =====")) > 0);
    }

    // A minimal system without CA certificates: TLS itself works, so the start-up log must say
    // plainly that no server can be trusted.
    void missingCaCertificatesAreReported_data()
    {
        QTest::addColumn<bool>("withCertificate");
        QTest::newRow("empty certificate folder") << false;
        QTest::newRow("folder with a root certificate") << true;
    }

    void missingCaCertificatesAreReported()
    {
        QFETCH(bool, withCertificate);
        if (!QSslSocket::supportsSsl())
            QSKIP("no TLS library here");
        QTemporaryDir certs;
        QVERIFY(certs.isValid());
        if (withCertificate)
            QVERIFY(QFile::copy(QFINDTESTDATA("../data/platform/test_root_ca.pem"), certs.filePath("root.pem")));

        LogCapture log(false);
        Startup::checkTls({certs.path()});
        QVERIFY(log.contains(QtInfoMsg, QStringLiteral("SSL/TLS support: ENABLED")));
        const QStringList warnings = log.messages(QtWarningMsg);
        if (withCertificate) {
            QCOMPARE(warnings, QStringList());
            return;
        }
        QCOMPARE(warnings.size(), 1);
        const QString text = warnings.first();
        QVERIFY2(text.startsWith(QLatin1String("SSL/TLS: no CA certificates found")), qPrintable(text));
        QVERIFY(text.contains(QLatin1String("ca-certificates")));
        QVERIFY(text.endsWith(certs.path()));
    }

    // The save the window makes as the program quits is on disk when the process has ended, and
    // the file holding the broker credentials is readable by its owner alone.
    void settingsSavedAtQuitAreOnDisk()
    {
        TestEnvironment env;
        QVERIFY(env.isValid());
        const QString settingsFile = env.configHome() + QStringLiteral("/Tickvane/Tickvane.conf");
        {
            QSettings seed(settingsFile, QSettings::IniFormat);
            seed.setValue(QStringLiteral("API/provider"), 6);
        }
        QVERIFY(QFile::setPermissions(settingsFile, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                        | QFileDevice::ReadGroup | QFileDevice::ReadOther));
        const ToolResult run = runTool(QStringLiteral("app_child"), {"run"}, env.processEnvironment());
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 0);

        QSettings stored(settingsFile, QSettings::IniFormat);
        // Keys only a full save writes: the window's save at quit reached the file.
        QCOMPARE(stored.value(QStringLiteral("MarketTimings/NSE_start")).toString(), QStringLiteral("09:15"));
        QCOMPARE(stored.value(QStringLiteral("Data/currentBroker")).toString(), QStringLiteral("Custom API"));
        QCOMPARE(stored.value(QStringLiteral("API/provider")).toInt(), 6);
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(settingsFile).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0600);
    }

    // A second start while one copy runs: it says so and ends before it opens the log, the
    // settings or the live CSV, which stay exactly as the first copy has them. A computer renamed
    // while the copy runs keeps its machine id in the lock under the old name: that copy still runs
    // here, where there is a machine id to tell.
    void secondCopyEndsUntouched_data()
    {
        QTest::addColumn<QByteArray>("renamedFrom");  // the host line the running copy's lock gets
        QTest::newRow("as written") << QByteArray();
        QTest::newRow("computer renamed since") << QByteArray("old-desk-name");
    }

    void secondCopyEndsUntouched()
    {
        QFETCH(QByteArray, renamedFrom);
        TestEnvironment env;
        QVERIFY(env.isValid());
        const QString settingsFile = env.configHome() + QStringLiteral("/Tickvane/Tickvane.conf");
        {
            QSettings seed(settingsFile, QSettings::IniFormat);
            seed.setValue(QStringLiteral("API/provider"), 6);
            seed.setValue(QStringLiteral("Data/watchlist_Custom API"), QStringList{"TCS"});
        }
        const QByteArray settingsBefore = readAll(settingsFile);
        QVERIFY(!settingsBefore.isEmpty());
        QProcessEnvironment environment = env.processEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));

        QProcess first;
        first.setProcessEnvironment(environment);
        first.start(toolPath(QStringLiteral("app_child")), {QStringLiteral("holdlock")});
        QVERIFY(first.waitForStarted(30000));
        auto reap = qScopeGuard([&] {
            first.closeWriteChannel();
            if (!first.waitForFinished(30000))
                first.kill();
            first.waitForFinished(5000);
        });
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += first.readAllStandardOutput()).contains("locked") || first.state() != QProcess::Running,
                                 30000);
        QCOMPARE(first.state(), QProcess::Running);
        const QString lockPath = env.programDataPath() + QStringLiteral("/Tickvane.lock");
        if (!renamedFrom.isEmpty()) {
            // Rewritten in place: the running copy keeps the file open and locked.
            QList<QByteArray> lines = readAll(lockPath).split('\n');
            QVERIFY(lines.size() > 3);
            lines[2] = renamedFrom;
            QVERIFY(TestFiles::writeFile(lockPath, lines.join('\n')));
        }
        const QByteArray lockBefore = readAll(lockPath);

        const ToolResult second = runTool(QStringLiteral("app_child"), {"run"}, environment);
        QVERIFY(second.finished);
        QCOMPARE(second.exitStatus, QProcess::NormalExit);
        QCOMPARE(second.exitCode, 1);
        const QString err = QString::fromLocal8Bit(second.standardError);
        if (!renamedFrom.isEmpty() && QSysInfo::machineUniqueId().isEmpty()) {
            // Nothing but the name tells computers apart here.
            QVERIFY2(err.contains(QStringLiteral("written on \"%1\", process %2").arg(QString::fromUtf8(renamedFrom))
                                      .arg(first.processId())),
                     qPrintable(err));
        } else {
            QVERIFY2(err.contains(QStringLiteral("Tickvane is already running (process %1).").arg(first.processId())),
                     qPrintable(err));
        }
        QCOMPARE(readAll(lockPath), lockBefore);
        QVERIFY(!err.contains(QLatin1String("Tickvane Started")));

        QCOMPARE(readAll(settingsFile), settingsBefore);
        QVERIFY(!QFileInfo::exists(env.programDataPath() + QStringLiteral("/logs")));
        QVERIFY(!QFileInfo::exists(env.tempPath() + QStringLiteral("/Tickvane")));
        QCOMPARE(first.state(), QProcess::Running);  // the first copy keeps its lock
    }

    // A copy that died without cleaning up leaves its lock file behind, naming a process that is
    // gone: the next start takes it over instead of locking the user out. Where the folder does not
    // let this user remove it, the start says which file was left and why it stays, not that a copy
    // runs.
    void lockOfAGoneCopyIsTakenOver_data()
    {
        QTest::addColumn<bool>("killHolder");  // else the file is written here
        QTest::addColumn<bool>("folderLocked");
        QTest::newRow("holder killed") << true << false;
        QTest::newRow("file naming a dead process") << false << false;
        QTest::newRow("left in a folder this user cannot change") << false << true;
    }

    void lockOfAGoneCopyIsTakenOver()
    {
        QFETCH(bool, killHolder);
        QFETCH(bool, folderLocked);
        if (folderLocked && ::geteuid() == 0)
            QSKIP("root may change any folder: run as another user to try a lock that cannot be removed");
        TestEnvironment env;
        QVERIFY(env.isValid());
        {
            QSettings seed(env.configHome() + QStringLiteral("/Tickvane/Tickvane.conf"), QSettings::IniFormat);
            seed.setValue(QStringLiteral("API/provider"), 6);
        }
        const QString lockPath = env.programDataPath() + QStringLiteral("/Tickvane.lock");
        QProcessEnvironment environment = env.processEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));

        QProcess gone;
        gone.setProcessEnvironment(environment);
        qint64 gonePid = 0;
        connect(&gone, &QProcess::started, this, [&] { gonePid = gone.processId(); });
        gone.start(toolPath(QStringLiteral("app_child")), killHolder ? QStringList{QStringLiteral("holdlock")} : QStringList());
        QVERIFY(gone.waitForStarted(30000));
        QVERIFY(gonePid > 0);
        if (killHolder) {
            QByteArray said;
            QTRY_VERIFY_WITH_TIMEOUT((said += gone.readAllStandardOutput()).contains("locked") || gone.state() != QProcess::Running,
                                     30000);
            QCOMPARE(gone.state(), QProcess::Running);
            gone.kill();
        }
        QVERIFY(gone.waitForFinished(30000));
        if (!killHolder) {
            QVERIFY(QDir().mkpath(env.programDataPath()));
            QVERIFY(TestFiles::writeFile(lockPath, QByteArray::number(gonePid) + "\napp_child\n"
                                                       + QSysInfo::machineHostName().toUtf8() + "\n"));
        }
        const QByteArray left = readAll(lockPath);
        QVERIFY(left.startsWith(QByteArray::number(gonePid) + '\n'));
        const QFileDevice::Permissions open = QFile::permissions(env.programDataPath());
        auto unlock = qScopeGuard([&] { QFile::setPermissions(env.programDataPath(), open); });
        if (folderLocked)
            QVERIFY(QFile::setPermissions(env.programDataPath(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));

        const ToolResult run = runTool(QStringLiteral("app_child"), {"run"}, environment);
        QVERIFY(run.finished);
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        if (folderLocked) {
            QCOMPARE(run.exitCode, 1);
            const QString err = QString::fromLocal8Bit(run.standardError);
            QVERIFY2(err.contains(QStringLiteral("its lock file %1 was left by a copy of Tickvane that has ended "
                                                 "(process %2), and it could not be removed (%3)")
                                      .arg(QFileInfo(lockPath).absoluteFilePath())
                                      .arg(gonePid)
                                      .arg(QString::fromLocal8Bit(std::strerror(EACCES)))),
                     qPrintable(err));
            QVERIFY(!err.contains(QLatin1String("already running")));
            QCOMPARE(readAll(lockPath), left);
            return;
        }
        QCOMPARE(run.exitCode, 0);
        QVERIFY(!run.standardError.contains("already running"));
        QVERIFY(run.standardError.contains("===== Tickvane Shutting Down ====="));
        QVERIFY(!onlyLogFile(env).isEmpty());
        QVERIFY(!QFileInfo::exists(lockPath));  // given up at the end of the run
    }

    // A lock brought along with a folder from another computer names a process that cannot be
    // checked from here: the start is refused, and the user is told which file it is and when it
    // may go, instead of a process number that exists nowhere on this machine. A home folder
    // restored onto a reinstalled computer that kept its name (or a clone, or a default name)
    // brings a lock with this computer's name, or none, and another machine id: that is another
    // computer too.
    void lockOfAnotherComputerNamesItsFile_data()
    {
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<QString>("named");  // how the message names the other computer
        QTest::newRow("another host") << QByteArray("other-desk-7") << "\"other-desk-7\"";
        const QByteArray here = QSysInfo::machineHostName().toUtf8();
        QTest::newRow("this host's name, another machine id")
            << here << QStringLiteral("another computer also named \"%1\"").arg(QString::fromUtf8(here));
        QTest::newRow("no host, another machine id") << QByteArray() << "a computer that gave no name";
    }

    void lockOfAnotherComputerNamesItsFile()
    {
        QFETCH(QByteArray, host);
        QFETCH(QString, named);
        TestEnvironment env;
        QVERIFY(env.isValid());
        {
            QSettings seed(env.configHome() + QStringLiteral("/Tickvane/Tickvane.conf"), QSettings::IniFormat);
            seed.setValue(QStringLiteral("API/provider"), 6);
        }
        const QString lockPath = env.programDataPath() + QStringLiteral("/Tickvane.lock");
        QVERIFY(QDir().mkpath(env.programDataPath()));
        const QByteArray otherMachine = "5e0a9c1d2b3f4a5b6c7d8e9f00112233";
        QVERIFY(otherMachine != QSysInfo::machineUniqueId());
        // As written there: process, program, host, machine and boot identities.
        const QByteArray foreign = "999999\nTickvane\n" + host + "\n" + otherMachine
                                   + "\n0cdccd71-d198-438e-a5ab-0dee42d58bfa\n";
        QVERIFY(TestFiles::writeFile(lockPath, foreign));
        QProcessEnvironment environment = env.processEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));

        const ToolResult run = runTool(QStringLiteral("app_child"), {"run"}, environment);
        QVERIFY(run.finished);
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        const QString err = QString::fromLocal8Bit(run.standardError);
        const bool namedLikeThisOne = host.isEmpty() || host == QSysInfo::machineHostName().toUtf8();
        if (namedLikeThisOne && QSysInfo::machineUniqueId().isEmpty()) {
            // Without a machine id of its own this computer knows others by name only: the lock is
            // its own, from another boot, and is taken over.
            QCOMPARE(run.exitCode, 0);
            QVERIFY2(err.contains(QLatin1String("===== Tickvane Shutting Down =====")), qPrintable(err));
            QVERIFY(!QFileInfo::exists(lockPath));
            return;
        }
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(err.contains(QFileInfo(lockPath).absoluteFilePath()), qPrintable(err));
        QVERIFY2(err.contains(named), qPrintable(err));
        QVERIFY2(err.contains(QLatin1String("process 999999")), qPrintable(err));
        QVERIFY2(err.contains(QLatin1String("delete that file")), qPrintable(err));
        QVERIFY(!err.contains(QLatin1String("Tickvane is already running")));
        QVERIFY(!err.contains(QLatin1String("Tickvane Started")));
        QCOMPARE(readAll(lockPath), foreign);  // only the user may remove it
        QVERIFY(!QFileInfo::exists(env.programDataPath() + QStringLiteral("/logs")));
    }

    void executableRecordsSigterm()
    {
        const QString exe = qEnvironmentVariable("TICKVANE_EXE");
        if (exe.isEmpty())
            QSKIP("TICKVANE_EXE is not set (the test runs under CTest)");

        TestEnvironment env;
        QVERIFY(env.isValid());
        QProcess tickvane;
        tickvane.setProcessEnvironment(env.processEnvironment());
        tickvane.start(exe, QStringList());
        QVERIFY(tickvane.waitForStarted(30000));
        auto reap = qScopeGuard([&] {
            if (tickvane.state() != QProcess::NotRunning) {
                tickvane.kill();
                tickvane.waitForFinished(5000);
            }
        });

        // Up and showing its window once the window has found the settings store.
        QTRY_VERIFY_WITH_TIMEOUT(readAll(onlyLogFile(env)).contains("MainWindow: using application-level SettingsManager"),
                                 60000);
        QCOMPARE(::kill(static_cast<pid_t>(tickvane.processId()), SIGTERM), 0);
        QVERIFY(tickvane.waitForFinished(60000));
        QCOMPARE(tickvane.exitStatus(), QProcess::CrashExit);
        QCOMPARE(tickvane.exitCode(), SIGABRT);

        const QString path = onlyLogFile(env);
        const QByteArray log = readAll(path);
        verifyOpening(bodies(log), path);

        const QDir crashDir(env.programDataPath() + QStringLiteral("/crashes"));
        const QStringList crashes = crashDir.entryList({QStringLiteral("crash_*.txt")}, QDir::Files);
        QCOMPARE(crashes.size(), 1);
        const QByteArray block = readAll(crashDir.filePath(crashes.first()));
        QVERIFY(block.contains("Type: Termination Request (SIGTERM)\nDetails: Signal Number: 15\nVersion: 6.2.9\n"));
        QVERIFY(log.endsWith(block));
        QVERIFY(tickvane.readAllStandardError().contains("Error Type: Termination Request (SIGTERM)"));
    }

    void executableExportsOnlyThePluginFunctions()
    {
        const QString exe = qEnvironmentVariable("TICKVANE_EXE");
        const QString nm = QStandardPaths::findExecutable(QStringLiteral("nm"));
        if (exe.isEmpty() || nm.isEmpty())
            QSKIP("needs TICKVANE_EXE (set under CTest) and nm");
        QProcess list;
        list.start(nm, {QStringLiteral("-D"), QStringLiteral("--defined-only"), exe});
        QVERIFY(list.waitForFinished(60000));
        QCOMPARE(list.exitCode(), 0);
        QStringList functions;
        for (const QByteArray& line : list.readAllStandardOutput().split('\n')) {
            const QList<QByteArray> f = line.simplified().split(' ');
            if (f.size() == 3 && f.at(1) != "A")  // linker-defined markers carry no code
                functions << QString::fromLatin1(f.at(2));
        }
        functions.sort();
        QCOMPARE(functions, (QStringList{"GetPluginInfo", "GetQuote", "GetQuoteEx", "GetStatus", "Notify",
                                         "Release", "SetTimeBase"}));
    }
};

QTEST_GUILESS_MAIN(StartupTest)
#include "tst_startup.moc"
