// Runs one of the test peer programs from tools/ (found through TICKVANE_TOOLS_DIR) as a child
// process with a bounded wait, and hands back how it ended and what it printed.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

struct ToolResult {
    bool started = false;
    bool finished = false;  // false: still running at the time-out (and then killed)
    QProcess::ExitStatus exitStatus = QProcess::NormalExit;
    int exitCode = -1;  // for a crash, the number of the signal that ended it
    QByteArray standardOutput;
    QByteArray standardError;

    bool crashed() const { return finished && exitStatus == QProcess::CrashExit; }
};

// Full path of a tools/ program; empty when TICKVANE_TOOLS_DIR is not set.
QString toolPath(const QString& name);

ToolResult runTool(const QString& name, const QStringList& arguments, const QProcessEnvironment& environment,
                   int timeoutMs = 60000);
