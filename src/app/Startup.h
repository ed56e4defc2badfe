// Start-up and shutdown of the Tickvane process, in the order the rest of the program relies on:
// crash handler, sockets, names, one-copy lock, log file, TLS check, settings store, main window,
// event loop.
#pragma once

#include <QString>
#include <QStringList>

#include "platform/NetworkStack.h"

class QDateTime;
class QLockFile;

namespace Startup {

extern const char* const kApplicationVersion;  // "6.2.9"
extern const char* const kBuild;               // "B0420.02"

// Runs the whole program; returns the event loop's exit code.
int run(int argc, char** argv);

// Organization and application names, domain and version. The settings store and the
// application-data folder derive from these.
void setApplicationIdentity();

// The log folder (application-data folder + "/logs/") and the file name for a run started at `start`.
QString logDirectory();
QString logFileName(const QDateTime& start);

// The lock file that keeps a second copy from running for the same user: in the application-data
// folder, held from before the log file opens until the settings are saved at exit.
QString instanceLockPath();

// Who holds the one-copy lock, as its file says.
struct LockHolder {
    enum Kind {
        Running,    // a copy runs on this computer (pid 0: the file cannot be read, but a copy holds it)
        Elsewhere,  // written on another computer, whose processes cannot be checked here
        LeftOver,   // left on this computer by no running copy, and it could not be removed
    };
    Kind kind = Running;
    qint64 pid = 0;          // 0 when the file does not say
    QString host;            // the computer that wrote it; empty when the file does not say
    QByteArray machineId;    // that computer's machine id; empty when the file does not say
    QString removeError;     // LeftOver: the system's reason the file could not be removed
};

// Takes the one-copy lock `lock`, made on `path`. A lock that no running copy of this computer holds
// (a crash, a restart) is taken over. Returns false when another copy holds it, when it was left
// behind but cannot be removed (`holder` then says which, as far as the file tells) or when the lock
// file cannot be made (lock.error() tells which).
bool lockInstance(QLockFile& lock, LockHolder* holder, const QString& path = instanceLockPath());

// What a start that did not get the lock tells the user; `lockPath` is named whenever the user may
// have to delete it.
QString alreadyRunningText(const LockHolder& holder, const QString& lockPath);

// Creates the log folder, opens the log file, installs the message handler, hands the path to the
// crash handler and writes the start-up banner. Returns false, with a warning on Qt's default
// output and no handler installed, when the log file cannot be opened; the program carries on.
bool openLog();

// Writes whether TLS is usable, with the library versions, to the log, and warns when none of
// `caLocations` (where the TLS layer looks for trusted root certificates) holds one: every
// certificate check, and so every broker connection, would then fail.
void checkTls(const QStringList& caLocations = NetworkStack::caCertificateLocations());

// Closes the log file; later messages reach standard error only.
void closeLog();

} // namespace Startup
