// Log line formatting and the message handler behind every qDebug/qInfo/qWarning/qCritical/qFatal.
#include "app/Logging.h"

#include <cstdio>
#include <cstdlib>

#include <QDateTime>
#include <QFile>
#include <QMutex>

namespace {

QMutex g_logMutex;
QFile* g_logFile = nullptr;  // guarded by g_logMutex

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
    return QStringLiteral("[%1] [%2] %3\n")
        .arg(time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")), logLevelName(type), message);
}

void logMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    QMutexLocker lock(&g_logMutex);
    const QString line = formatLogLine(type, QDateTime::currentDateTime(), message);

    if (type != QtDebugMsg && g_logFile && g_logFile->isOpen()) {
        g_logFile->write(line.toUtf8());
        // Flushed per line so that the last lines before a crash are on disk.
        g_logFile->flush();
    }

    const QByteArray local = line.toLocal8Bit();
    std::fwrite(local.constData(), 1, static_cast<size_t>(local.size()), stderr);
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
