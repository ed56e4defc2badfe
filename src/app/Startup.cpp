// Start-up and shutdown steps of the process.
#include "app/Startup.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <QApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLockFile>
#include <QMessageBox>
#include <QSslSocket>
#include <QStandardPaths>
#include <QSysInfo>

#include "app/Logging.h"
#include "core/MarketData.h"
#include "core/SettingsManager.h"
#include "platform/CrashHandler.h"
#include "platform/NetworkStack.h"
#include "ui/MainWindow.h"

namespace Startup {

const char* const kApplicationVersion = "6.2.9";
const char* const kBuild = "B0420.02";

void setApplicationIdentity()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tickvane"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("tickvane.app"));
    QCoreApplication::setApplicationName(QStringLiteral("Tickvane"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kApplicationVersion));
    // The crash handler cannot ask Qt for folders once it runs; it learns the final ones now.
    CrashHandler::refreshLocations();
}

QString logDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/logs/");
}

QString logFileName(const QDateTime& start)
{
    return QStringLiteral("Tickvane_%1.log").arg(start.toString(QStringLiteral("yyyyMMdd_HHmmss")));
}

bool openLog()
{
    const QString dir = logDirectory();
    if (!QDir().mkpath(dir))
        qWarning() << "Failed to create log directory:" << dir;

    const QString path = dir + logFileName(QDateTime::currentDateTime());
    if (!LogFile::open(path)) {
        qWarning() << "Failed to open log file:" << path;
        return false;
    }

    qInstallMessageHandler(logMessageHandler);
    CrashHandler::setLogFilePath(path);

    qInfo() << "===== Tickvane Started =====" << "Version:" << QCoreApplication::applicationVersion()
            << "Build:" << kBuild;
    qInfo() << "Log file:" << path;
    qInfo() << "Crash handler initialized";
    return true;
}

QString instanceLockPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/Tickvane.lock");
}

namespace {

// A lock file's lines as the lock itself reads them: every line loses its last character (the
// newline), and the first must be a process number above zero.
struct LockFileLines {
    bool readable = false;
    qint64 pid = 0;
    QString application;
    QString host;
    QByteArray machineId;
    QByteArray bootId;
};

LockFileLines readLockFile(const QString& path)
{
    LockFileLines lines;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return lines;
    // A lock file is five short lines; nothing longer is read.
    const auto next = [&file] {
        QByteArray line = file.readLine(4096);
        line.chop(1);
        return line;
    };
    const QByteArray pid = next();
    lines.application = QString::fromUtf8(next());
    lines.host = QString::fromUtf8(next());
    lines.machineId = next();
    lines.bootId = next();
    bool ok = false;
    lines.pid = pid.toLongLong(&ok);
    lines.readable = ok && lines.pid > 0;
    return lines;
}

// Whether this computer wrote a lock, by the rule the lock itself follows before it looks at the
// process: the machine ids decide when both sides have one (a renamed computer keeps its id);
// otherwise the host name does, none counting as this computer.
bool writtenHere(const LockFileLines& lines)
{
    const QByteArray ours = QSysInfo::machineUniqueId();
    if (!lines.machineId.isEmpty() && !ours.isEmpty())
        return lines.machineId == ours;
    return lines.host.isEmpty() || lines.host == QSysInfo::machineHostName();
}

// Whether the copy that wrote a lock of this computer still runs, judged as the lock judges it: not
// after a restart, not once its process is gone, and not when its process number now belongs to
// another program.
bool writerRuns(const LockFileLines& lines)
{
    if (!lines.bootId.isEmpty() && lines.bootId != QSysInfo::bootUniqueId())
        return false;
#ifdef Q_OS_UNIX
    if (::kill(static_cast<pid_t>(lines.pid), 0) == -1 && errno == ESRCH)
        return false;
#endif
#ifdef Q_OS_LINUX
    if (::access("/proc/version", F_OK) != 0)
        return true;  // nothing tells which program the process runs
    const QByteArray exe = "/proc/" + QByteArray::number(lines.pid) + "/exe";
    char target[PATH_MAX];
    const ssize_t length = ::readlink(exe.constData(), target, sizeof target);
    if (length <= 0)
        return false;  // gone meanwhile, or another user's, which the lock counts as gone too
    QFileInfo written(lines.application);
    if (written.isSymLink())
        written.setFile(written.symLinkTarget());
    return QFileInfo(QFile::decodeName(QByteArray(target, int(length)))).fileName() == written.fileName();
#else
    return true;
#endif
}

enum class Removal { Removed, HeldOpen, Failed };

// Removes a lock file that no copy holds. A running copy keeps its lock file open and locked, so the
// file goes only when that lock can be had; `why` gets the system's reason when it stays.
Removal removeLeftLock(const QString& path, QString* why)
{
    // Another start that finds the same file left over removes it under this one, and then writes
    // its own lock there, which must not be removed in its place.
    QLockFile removing(path + QStringLiteral(".rmlock"));
    if (!removing.tryLock(1000) && removing.error() == QLockFile::LockFailedError) {
        *why = QStringLiteral("another start of Tickvane is removing it");
        return Removal::Failed;
    }
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return Removal::Removed;
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return Removal::Failed;
    }
    Removal result = Removal::Removed;
    struct stat opened {};
    struct stat named {};
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            result = Removal::HeldOpen;
        } else {
            *why = QString::fromLocal8Bit(std::strerror(errno));
            result = Removal::Failed;
        }
    } else if (::fstat(fd, &opened) != 0 || ::stat(name.constData(), &named) != 0 || opened.st_ino != named.st_ino
               || opened.st_dev != named.st_dev) {
        // Replaced since it was read: the new file is judged afresh.
    } else if (::unlink(name.constData()) != 0 && errno != ENOENT) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        result = Removal::Failed;
    }
    ::close(fd);
    return result;
#else
    QFile file(path);
    if (file.remove() || !file.exists())
        return Removal::Removed;
    *why = file.errorString();
    return Removal::Failed;
#endif
}

} // namespace

bool lockInstance(QLockFile& lock, LockHolder* holder, const QString& path)
{
    // Stale only when the copy that wrote it no longer runs: a copy that has run for hours still
    // holds the settings and the live CSV.
    lock.setStaleLockTime(0);
    // A lock file left over and removed here is tried again, and so is one that another start
    // replaced meanwhile; one that keeps changing belongs to a copy that is starting.
    LockHolder found;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (lock.tryLock(0))
            return true;
        if (lock.error() != QLockFile::LockFailedError)
            return false;
        found = LockHolder();
        const LockFileLines lines = readLockFile(path);
        if (lines.readable) {
            found.pid = lines.pid;
            found.host = lines.host;
            found.machineId = lines.machineId;
            if (!writtenHere(lines)) {
                // A folder copied from another computer, shared with one, or restored onto a
                // reinstalled computer brings a lock whose process number means nothing here, so it
                // is never found stale and only the user can tell whether that copy still runs.
                found.kind = LockHolder::Elsewhere;
                break;
            }
            if (writerRuns(lines))
                break;
        }
        // Left by a copy that no longer runs, which the lock could not remove itself (a folder
        // this user may not change), or unreadable (a crash or a power cut while it was written):
        // nothing else tells whether its writer lives, so it goes unless a copy holds it open, or a
        // crash would lock the user out for good.
        QString why;
        const Removal removal = removeLeftLock(path, &why);
        if (removal == Removal::Removed) {
            found = LockHolder();
            continue;
        }
        if (removal == Removal::HeldOpen) {
            found.pid = 0;  // whatever the file says, it is not the process that holds it
        } else {
            found.kind = LockHolder::LeftOver;
            found.removeError = why;
        }
        break;
    }
    if (holder)
        *holder = found;
    return false;
}

QString alreadyRunningText(const LockHolder& holder, const QString& lockPath)
{
    const QString why = QStringLiteral("Only one copy can run at a time, because both would write the same "
                                       "settings and live data files");
    const QString file = QDir::toNativeSeparators(lockPath);
    if (holder.kind == LockHolder::LeftOver) {
        if (holder.pid <= 0) {
            return QStringLiteral("Tickvane cannot start: its lock file %1 cannot be read, and it could not be "
                                  "removed (%2). If no copy of Tickvane is running, delete that file and start "
                                  "Tickvane again.")
                .arg(file, holder.removeError);
        }
        return QStringLiteral("Tickvane cannot start: its lock file %1 was left by a copy of Tickvane that has "
                              "ended (process %2), and it could not be removed (%3). No copy runs with it, so "
                              "that file may be deleted; then start Tickvane again.")
            .arg(file)
            .arg(holder.pid)
            .arg(holder.removeError);
    }
    if (holder.kind == LockHolder::Elsewhere) {
        const QString process = holder.pid > 0 ? QStringLiteral(", process %1").arg(holder.pid) : QString();
        if (!holder.host.isEmpty() && holder.host != QSysInfo::machineHostName()) {
            return QStringLiteral("Tickvane may be running on another computer: the lock file %1 was written on "
                                  "\"%2\"%3, which cannot be checked from here. %4. If no copy of Tickvane runs "
                                  "on \"%2\" (the folder was copied from it, or is shared with it), delete that file "
                                  "and start Tickvane again.")
                .arg(file, holder.host, process, why);
        }
        // The name says nothing here: this computer's own, or none at all. Only the machine id
        // tells that another computer wrote it.
        const QString named = holder.host.isEmpty()
            ? QStringLiteral("a computer that gave no name")
            : QStringLiteral("another computer also named \"%1\"").arg(holder.host);
        return QStringLiteral("Tickvane may be running on another computer: the lock file %1 was written on %2 "
                              "(its machine id is not this computer's)%3, which cannot be checked from here. %4. "
                              "If no copy of Tickvane runs there (the folder was copied or restored from another "
                              "computer, or is shared with one), delete that file and start Tickvane again.")
            .arg(file, named, process, why);
    }
    const QString who = holder.pid > 0 ? QStringLiteral(" (process %1)").arg(holder.pid) : QString();
    return QStringLiteral("Tickvane is already running%1. %2: switch to the open window, or close it "
                          "before starting Tickvane again.")
        .arg(who, why);
}

void checkTls(const QStringList& caLocations)
{
    if (QSslSocket::supportsSsl()) {
        qInfo() << "SSL/TLS support: ENABLED";
        qInfo() << "SSL library version:" << QSslSocket::sslLibraryVersionString();
        qInfo() << "SSL build version:" << QSslSocket::sslLibraryBuildVersionString();
        // A minimal system may have no CA certificates at all: TLS works, but no server can be
        // trusted, and every login, download and stream then fails its certificate check.
        if (!caLocations.isEmpty() && !NetworkStack::hasCaCertificates(caLocations)) {
            qWarning().noquote() << "SSL/TLS: no CA certificates found - every secure connection (broker "
                                    "logins, downloads, live streams) will fail its certificate check. Install "
                                    "the system's CA certificates (Debian: the ca-certificates package). Searched:"
                                 << caLocations.join(QStringLiteral(", "));
        }
        return;
    }

    qCritical() << "SSL/TLS support: DISABLED - Application will not be able to connect securely!";
#ifdef Q_OS_WIN
    qCritical() << "Please ensure OpenSSL libraries are installed (libssl-1_1.dll, libcrypto-1_1.dll)";
    const QString appDir = QCoreApplication::applicationDirPath();
    const bool haveSsl = QFileInfo::exists(appDir + QStringLiteral("/libssl-1_1.dll"));
    const bool haveCrypto = QFileInfo::exists(appDir + QStringLiteral("/libcrypto-1_1.dll"));
    if (!haveSsl || !haveCrypto) {
        qCritical() << "OpenSSL DLLs NOT found in:" << appDir;
        if (!haveSsl)
            qCritical() << "Missing: libssl-1_1.dll";
        if (!haveCrypto)
            qCritical() << "Missing: libcrypto-1_1.dll";
    } else {
        qCritical() << "OpenSSL DLLs found in application directory but not loaded!";
        qCritical() << "This may be due to missing Visual C++ Redistributable or incorrect DLL architecture";
    }
#else
    // Here the system's loader finds the libraries; nothing is looked for beside the executable.
    qCritical() << "Please ensure OpenSSL libraries are installed (libssl, libcrypto)";
#endif
}

void closeLog()
{
    LogFile::close();
}

int run(int argc, char** argv)
{
    QApplication app(argc, argv);
    CrashHandler::install();

    // No message handler yet: these two lines reach Qt's default output only.
    const bool networkStarted = NetworkStack::startup();
    if (networkStarted)
        qInfo() << NetworkStack::startedText();
    else
        qCritical() << NetworkStack::failedText();

    setApplicationIdentity();
    registerMarketDataTypes();

    // Before the log, the settings and the CSV files are touched: a second copy would share
    // them with the first, and each would undo the other's watchlist changes.
    QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
    QLockFile instanceLock(instanceLockPath());
    LockHolder holder;
    if (!lockInstance(instanceLock, &holder)) {
        if (instanceLock.error() == QLockFile::LockFailedError) {
            const QString text = alreadyRunningText(holder, QFileInfo(instanceLockPath()).absoluteFilePath());
            std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
            std::fflush(stderr);
            // Off-screen and minimal platforms have no one to read a box, which would wait forever.
            const QString platform = QGuiApplication::platformName();
            if (platform != QLatin1String("offscreen") && platform != QLatin1String("minimal"))
                QMessageBox::warning(nullptr, QStringLiteral("Tickvane"), text);
            NetworkStack::cleanup();
            return 1;
        }
        // The folder cannot hold the lock (read-only, full): the program runs as it did before,
        // unguarded, rather than not at all.
        std::fprintf(stderr, "Could not create the instance lock %s: a second copy would not be detected.\n",
                     QFile::encodeName(instanceLockPath()).constData());
    }

    if (openLog())
        checkTls();

    // Owned by the application object, where the main window looks for it.
    auto* settings = new SettingsManager(&app);
    settings->setRestartPrompt([](const QString& title, const QString& text) {
        QMessageBox::information(nullptr, title, text);
    });

    int exitCode = 0;
    {
        MainWindowSeams seams;
        seams.logFilePath = LogFile::path();
        MainWindow window(seams);
        window.show();
        exitCode = app.exec();

        qInfo() << "===== Tickvane Shutting Down =====";
        closeLog();
        NetworkStack::cleanup();
        // The window goes here, after the log file is closed: what it writes while saving the
        // settings reaches standard error only.
    }
    // Its last writes reach the file while this copy still holds the lock, not after a next
    // start has read it.
    delete settings;
    return exitCode;
}

} // namespace Startup
