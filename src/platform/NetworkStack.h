// Process-wide start and stop of the operating system's socket layer, done once around the event loop,
// and whether the system offers the CA certificates that TLS connections are checked against.
#pragma once

#include <QStringList>

class NetworkStack
{
public:
    // Makes sockets usable for the whole process. On Windows this starts Windows Sockets 2.2, which the
    // Dhan connector's socket client needs; on POSIX systems sockets need no start, but a write to a
    // socket whose peer has gone would raise SIGPIPE and end the process, so that signal is ignored.
    // Returns false when the socket layer cannot be used.
    static bool startup();

    // Releases what startup() took. Safe to call whether or not startup() succeeded.
    static void cleanup();

    // The log texts for the outcome of startup(), worded for the platform.
    static const char* startedText();
    static const char* failedText();

    // Where the TLS layer looks for trusted root (CA) certificates: the folders and bundle files
    // Qt searches on Linux and other Unix systems. Empty on Windows, where the system's own
    // certificate store is used.
    static QStringList caCertificateLocations();

    // True when one of `locations` (folders, whose files are looked at, or bundle files) holds a
    // PEM certificate. Stops at the first one, so it costs a file or two on a working system.
    static bool hasCaCertificates(const QStringList& locations);
};
