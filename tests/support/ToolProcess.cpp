// Child-process runner for test peers.
#include "support/ToolProcess.h"

#include <QDir>

QString toolPath(const QString& name)
{
    const QString dir = qEnvironmentVariable("TICKVANE_TOOLS_DIR");
    if (dir.isEmpty())
        return QString();
    return QDir(dir).filePath(name);
}

ToolResult runTool(const QString& name, const QStringList& arguments, const QProcessEnvironment& environment,
                   int timeoutMs)
{
    ToolResult result;
    const QString program = toolPath(name);
    if (program.isEmpty())
        return result;
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    result.started = process.waitForStarted(timeoutMs);
    if (!result.started)
        return result;
    result.finished = process.waitForFinished(timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    result.exitStatus = process.exitStatus();
    result.exitCode = process.exitCode();
    result.standardOutput = process.readAllStandardOutput();
    result.standardError = process.readAllStandardError();
    return result;
}
