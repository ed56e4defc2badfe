// The platform stand-ins behind AmiBroker output: the owner-only folder and the automation backend.
#include "platform/AutomationBackend.h"
#include "platform/PrivateDirectory.h"
#include "platform/RegistryLookup.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>

#include <sys/stat.h>
#include <unistd.h>

namespace {

int modeOf(const QString& path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return int(st.st_mode & 0777);
}

} // namespace

class TestPlatformAutomation : public QObject
{
    Q_OBJECT

private slots:
    void privateDirectory_data();
    void privateDirectory();
    void foreignFolderIsRefused();
    void backendReportsNoServer();
};

void TestPlatformAutomation::privateDirectory_data()
{
    QTest::addColumn<QString>("setup"); // what is at the path beforehand
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("mode"); // expected permissions afterwards; -1 not checked
    QTest::newRow("absent, with missing parents") << "absent" << int(PrivateDirectoryState::Created) << 0700;
    QTest::newRow("own folder") << "own" << int(PrivateDirectoryState::Ready) << 0700;
    QTest::newRow("own folder others could write into") << "open" << int(PrivateDirectoryState::Ready) << 0700;
    QTest::newRow("symbolic link to a folder") << "symlink" << int(PrivateDirectoryState::Refused) << -1;
    QTest::newRow("dangling symbolic link") << "dangling" << int(PrivateDirectoryState::Refused) << -1;
    QTest::newRow("a file") << "file" << int(PrivateDirectoryState::Refused) << -1;
    QTest::newRow("parent is a file") << "parentfile" << int(PrivateDirectoryState::CreateFailed) << -1;
}

void TestPlatformAutomation::privateDirectory()
{
    QFETCH(QString, setup);
    QFETCH(int, state);
    QFETCH(int, mode);
    QTemporaryDir tmp;
    QString path = tmp.filePath(QStringLiteral("a/b/Tickvane"));
    const QString target = tmp.filePath(QStringLiteral("target"));
    QVERIFY(QDir().mkpath(target));
    QVERIFY(QDir().mkpath(tmp.filePath(QStringLiteral("a/b"))));
    if (setup == QLatin1String("own")) {
        QVERIFY(QDir().mkpath(path));
        QVERIFY(::chmod(QFile::encodeName(path).constData(), 0700) == 0);
    } else if (setup == QLatin1String("open")) {
        QVERIFY(QDir().mkpath(path));
        QVERIFY(::chmod(QFile::encodeName(path).constData(), 0777) == 0);
    } else if (setup == QLatin1String("symlink")) {
        QVERIFY(QFile::link(target, path));
    } else if (setup == QLatin1String("dangling")) {
        QVERIFY(QFile::link(tmp.filePath(QStringLiteral("nowhere")), path));
    } else if (setup == QLatin1String("file")) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
    } else if (setup == QLatin1String("parentfile")) {
        QFile f(tmp.filePath(QStringLiteral("plain")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        path = tmp.filePath(QStringLiteral("plain/Tickvane"));
    }
    QString reason;
    QCOMPARE(int(ensurePrivateDirectory(path, &reason)), state);
    if (state == int(PrivateDirectoryState::Refused))
        QVERIFY(!reason.isEmpty());
    if (mode >= 0)
        QCOMPARE(modeOf(path), mode);
    // A refused link is left as it is, and its target untouched.
    if (setup == QLatin1String("symlink"))
        QCOMPARE(QFileInfo(path).symLinkTarget(), target);
}

void TestPlatformAutomation::foreignFolderIsRefused()
{
    if (::geteuid() != 0)
        QSKIP("changing a folder's owner needs root");
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("Tickvane"));
    QVERIFY(QDir().mkpath(path));
    QVERIFY(::chown(QFile::encodeName(path).constData(), 65534, 65534) == 0);
    QString reason;
    QCOMPARE(ensurePrivateDirectory(path, &reason), PrivateDirectoryState::Refused);
    QCOMPARE(reason, QStringLiteral("it belongs to another user"));
}

void TestPlatformAutomation::backendReportsNoServer()
{
    const auto backend = createPlatformAutomationBackend();
    const auto app = backend->createObject(QStringLiteral("Broker.Application"));
    QVERIFY(app);
    QVERIFY(app->isNull());
    QVERIFY(!app->dynamicCall(QStringLiteral("RefreshAll()")).isValid());
    QVERIFY(!app->querySubObject(QStringLiteral("Stocks")));
    QVERIFY(readMachineRegistryString(QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\AmiBroker"),
                                      QStringLiteral("InstallDir"))
                .isEmpty());
    // Nothing is started and nothing waits: a program could not bring up a server here, and the
    // GUI thread must not block for one.
    QTemporaryDir tmp;
    const QString marker = tmp.filePath(QStringLiteral("started"));
    const QString program = tmp.filePath(QStringLiteral("Broker.sh"));
    {
        QFile script(program);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\ntouch '" + QFile::encodeName(marker) + "'\n");
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QVERIFY(!backend->startDetached(program));
    backend->pause(std::numeric_limits<int>::max()); // a real wait would run into the test's time-out
    QVERIFY(!QFile::exists(marker));
}

QTEST_GUILESS_MAIN(TestPlatformAutomation)
#include "tst_platformautomation.moc"
