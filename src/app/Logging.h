// The process-wide log file and the Qt message handler that writes every message to it and to
// standard error.
#pragma once

#include <QString>
#include <QtGlobal>

class QDateTime;

// "DEBUG", "INFO", "WARN", "ERROR" or "FATAL"; empty for any other message type.
QString logLevelName(QtMsgType type);

// One log line: "[<yyyy-MM-dd HH:mm:ss.zzz>] [<level>] <message>\n".
QString formatLogLine(QtMsgType type, const QDateTime& time, const QString& message);

// The handler given to qInstallMessageHandler. Every line goes to standard error; all but debug
// lines also go to the log file while it is open. A fatal message aborts the process. Lines from
// different threads never interleave.
void logMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

namespace LogFile {

// Creates the process-wide log file object for `path` and opens it for appending. Returns false when
// it does not open; the object then stays, unopened, until close().
bool open(const QString& path);

// The path of the open log file; empty when none is open.
QString path();

// Closes and drops the log file; later messages reach standard error only.
void close();

} // namespace LogFile
