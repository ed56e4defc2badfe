// Start-up and shutdown steps of the process.
#include "app/Startup.h"

#include <QApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QSslSocket>
#include <QStandardPaths>

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
    return exitCode;
}

} // namespace Startup
