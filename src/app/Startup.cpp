// Start-up and shutdown steps of the process.
#include "app/Startup.h"

#include <cstdio>

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

// The machine identity in a lock file: its fourth line, as Qt writes it; empty when it has none.
QByteArray lockMachineId(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    // A lock file is a few short lines; anything longer is not one to trust further.
    const QList<QByteArray> lines = file.read(4096).split('\n');
    return lines.size() > 3 ? lines.at(3).trimmed() : QByteArray();
}

} // namespace

bool lockInstance(QLockFile& lock, LockHolder* holder, const QString& path)
{
    // Stale only when the process that wrote it is gone: a copy that has run for hours still
    // holds the settings and the live CSV.
    lock.setStaleLockTime(0);
    if (lock.tryLock(0))
        return true;
    if (lock.error() != QLockFile::LockFailedError)
        return false;
    LockHolder found;
    QString application;
    if (!lock.getLockInfo(&found.pid, &found.host, &application)) {
        // Unreadable (a crash or a power cut while it was written): nothing tells whether its
        // writer lives, so it is removed when no one holds it open, or a crash would lock the user
        // out for good. A copy that is running keeps it open, and then the removal fails.
        lock.removeStaleLockFile();
        if (lock.tryLock(0))
            return true;
        found = LockHolder();
    } else {
        found.machineId = lockMachineId(path);
        // Decided as the lock itself decides whether it may check the process: the same host name
        // (or none) and the same machine id (or none). A folder copied from another computer, shared
        // with one, or restored onto a reinstalled computer that kept its name brings a lock whose
        // process number means nothing here, so it is never found stale and only the user can tell
        // whether that copy still runs.
        const bool sameHost = found.host.isEmpty() || found.host == QSysInfo::machineHostName();
        const bool sameMachine = found.machineId.isEmpty() || found.machineId == QSysInfo::machineUniqueId();
        found.elsewhere = !(sameHost && sameMachine);
    }
    if (holder)
        *holder = found;
    return false;
}

QString alreadyRunningText(const LockHolder& holder, const QString& lockPath)
{
    const QString why = QStringLiteral("Only one copy can run at a time, because both would write the same "
                                       "settings and live data files");
    if (holder.elsewhere) {
        const QString process = holder.pid > 0 ? QStringLiteral(", process %1").arg(holder.pid) : QString();
        const QString file = QDir::toNativeSeparators(lockPath);
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
