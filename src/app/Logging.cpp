// Log line formatting and the message handler behind every qDebug/qInfo/qWarning/qCritical/qFatal.
#include "app/Logging.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <QDateTime>
#include <QFile>
#include <QMutex>

#include "app/LogTimeStamp.h"

namespace {

QMutex g_logMutex;
QFile* g_logFile = nullptr;  // guarded by g_logMutex
LogTimeStamp g_stamp;        // guarded by g_logMutex

// Put together by hand rather than with QString::arg: this runs for every tick's debug line.
QString composeLine(QtMsgType type, QLatin1String stamp, const QString& message)
{
    const QString level = logLevelName(type);
    QString line;
    line.reserve(stamp.size() + level.size() + message.size() + 6);
    line += QLatin1Char('[');
    line += stamp;
    line += QLatin1String("] [");
    line += level;
    line += QLatin1String("] ");
    line += message;
    line += QLatin1Char('\n');
    return line;
}

// The standard-error line, guarded by g_logMutex; it keeps its capacity from line to line. Never
// destroyed: messages may still come while static objects are torn down at exit.
std::string& stderrLine()
{
    static auto* line = new std::string;
    return *line;
}

// Appends `text` in the local 8-bit encoding. Log text is nearly always ASCII, which every local
// encoding writes byte for byte, so that case is copied without a conversion buffer.
void appendLocal8Bit(std::string& out, const QString& text)
{
    const QChar* chars = text.constData();
    const int size = text.size();
    for (int i = 0; i < size; ++i) {
        if (chars[i].unicode() >= 0x80) {
            const QByteArray local = text.toLocal8Bit();
            out.append(local.constData(), size_t(local.size()));
            return;
        }
    }
    for (int i = 0; i < size; ++i)
        out.push_back(char(chars[i].unicode()));
}

} // namespace

QString logLevelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg: return QStringLiteral("DEBUG");
    case QtInfoMsg: return QStringLiteral("INFO");
    case QtWarningMsg: return QStringLiteral("WARN");
    case QtCriticalMsg: return QStringLiteral("ERROR");
    case QtFatalMsg: return QStringLiteral("FATAL");
    }
    return QString();
}

QString formatLogLine(QtMsgType type, const QDateTime& time, const QString& message)
{
    const QByteArray stamp = time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")).toLatin1();
    return composeLine(type, QLatin1String(stamp), message);
}

void logMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    QMutexLocker lock(&g_logMutex);
    char stamp[LogTimeStamp::kLength];
    g_stamp.format(QDateTime::currentMSecsSinceEpoch(), stamp);

    if (type != QtDebugMsg && g_logFile && g_logFile->isOpen()) {
        g_logFile->write(composeLine(type, QLatin1String(stamp, LogTimeStamp::kLength), message).toUtf8());
        // Flushed per line so that the last lines before a crash are on disk.
        g_logFile->flush();
    }

    // Debug lines (one per tick) reach standard error only: made without a QString in between.
    std::string& line = stderrLine();
    line.clear();
    line += '[';
    line.append(stamp, LogTimeStamp::kLength);
    line += "] [";
    appendLocal8Bit(line, logLevelName(type));
    line += "] ";
    appendLocal8Bit(line, message);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);

    if (type == QtFatalMsg)
        std::abort();  // the crash handler reports it as an abort signal
}

namespace LogFile {

bool open(const QString& path)
{
    QMutexLocker lock(&g_logMutex);
    delete g_logFile;
    g_logFile = new QFile(path);
    // Append: a second start within the same second shares the file rather than wiping it.
    return g_logFile->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
}

QString path()
{
    QMutexLocker lock(&g_logMutex);
    return g_logFile && g_logFile->isOpen() ? g_logFile->fileName() : QString();
}

void close()
{
    QMutexLocker lock(&g_logMutex);
    if (!g_logFile)
        return;
    g_logFile->close();
    delete g_logFile;
    g_logFile = nullptr;
}

} // namespace LogFile
