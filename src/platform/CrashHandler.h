// Turns a fatal signal into a written record before the process ends: a crash block appended to the
// log file, the same block in a crash file of its own, and the fatal-error text on standard error.
#pragma once

#include <QString>

namespace CrashHandler {

// Registers the handler for SIGSEGV, SIGABRT, SIGFPE, SIGILL and SIGTERM (in that order) and prepares
// the crash folders from the application's current names. Call once, right after the application
// object exists.
void install();

// Prepares the crash folders and version again from the application's names and version. Start-up
// calls it once those are set, because the handler itself may not ask Qt for anything.
void refreshLocations();

// The log file that a crash block is appended to; empty (the default) appends nowhere.
void setLogFilePath(const QString& path);

// Writes the crash block stamped with the current local time: appended to logPath when that is not
// empty, and into a new crash_<yyyyMMdd_HHmmss>.txt in the application-data "crashes" folder, or in
// the "crashes" folder beside the executable when the former cannot be made. Returns the folder chosen
// for the crash file (with a trailing slash), whether or not the file could be written.
QString writeCrashLog(const QString& logPath, const QString& type, const QString& details);

// The crash type text of a signal, e.g. "Segmentation Fault (SIGSEGV)".
QString signalTypeText(int signal);

// The installed handler: writes the crash record, tells the user on standard error and aborts.
// Never returns.
[[noreturn]] void signalHandler(int signal);

} // namespace CrashHandler
