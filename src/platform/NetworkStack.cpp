// Socket-layer start and stop: Windows Sockets on Windows, SIGPIPE handling on POSIX systems; and
// whether the system offers the CA certificates TLS needs.
#include "platform/NetworkStack.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <csignal>
#endif

bool NetworkStack::startup()
{
#ifdef _WIN32
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
#else
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    return sigaction(SIGPIPE, &ignore, nullptr) == 0;
#endif
}

void NetworkStack::cleanup()
{
#ifdef _WIN32
    WSACleanup();
#endif
}

const char* NetworkStack::startedText()
{
#ifdef _WIN32
    return "WSAStartup initialized for IXWebSocket (Dhan broker)";
#else
    return "Network sockets initialized for IXWebSocket (Dhan broker)";
#endif
}

const char* NetworkStack::failedText()
{
#ifdef _WIN32
    return "WSAStartup failed - IXWebSocket (Dhan) will not work";
#else
    return "Network socket start-up failed - IXWebSocket (Dhan) will not work";
#endif
}

QStringList NetworkStack::caCertificateLocations()
{
#ifdef _WIN32
    return {};
#else
    // The list Qt 5 searches on Unix systems (its own, fixed: it reads no environment variable).
    return {QStringLiteral("/etc/ssl/certs/"),        QStringLiteral("/usr/lib/ssl/certs/"),
            QStringLiteral("/usr/share/ssl/"),        QStringLiteral("/usr/local/ssl/"),
            QStringLiteral("/var/ssl/certs/"),        QStringLiteral("/usr/local/ssl/certs/"),
            QStringLiteral("/etc/openssl/certs/"),    QStringLiteral("/opt/openssl/certs/"),
            QStringLiteral("/etc/ssl/"),              QStringLiteral("/etc/pki/tls/certs/ca-bundle.crt"),
            QStringLiteral("/usr/local/share/certs/ca-root-nss.crt")};
#endif
}

namespace {

bool holdsCertificate(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // A bundle's first certificate starts within its first lines; a certificate folder also holds
    // other files (configuration, keys), which carry no such line.
    const QByteArray head = file.read(64 * 1024);
    return head.contains("-----BEGIN CERTIFICATE-----") || head.contains("-----BEGIN TRUSTED CERTIFICATE-----");
}

} // namespace

bool NetworkStack::hasCaCertificates(const QStringList& locations)
{
    for (const QString& location : locations) {
        const QFileInfo info(location);
        if (info.isFile()) {
            if (holdsCertificate(location))
                return true;
            continue;
        }
        if (!info.isDir())
            continue;
        QDirIterator files(location, QDir::Files);
        while (files.hasNext()) {
            if (holdsCertificate(files.next()))
                return true;
        }
    }
    return false;
}
