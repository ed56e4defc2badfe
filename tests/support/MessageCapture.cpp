// A message handler that records what the code under test logs.
#include "MessageCapture.h"

#include <QMutex>
#include <QMutexLocker>

namespace {

QMutex captureMutex;
QList<QPair<QtMsgType, QString>> captured;
QtMessageHandler previousHandler = nullptr;

void captureHandler(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    {
        QMutexLocker lock(&captureMutex);
        captured.append({type, text});
    }
    // Warnings and worse still reach the test output.
    if (type != QtDebugMsg && type != QtInfoMsg && previousHandler)
        previousHandler(type, context, text);
}

} // namespace

MessageCapture::MessageCapture()
{
    clear();
    previousHandler = qInstallMessageHandler(captureHandler);
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(previousHandler);
}

int MessageCapture::count(const QString& fragment) const
{
    QMutexLocker lock(&captureMutex);
    int n = 0;
    for (const auto& m : qAsConst(captured))
        n += m.second.contains(fragment) ? 1 : 0;
    return n;
}

int MessageCapture::count(const QString& fragment, QtMsgType type) const
{
    QMutexLocker lock(&captureMutex);
    int n = 0;
    for (const auto& m : qAsConst(captured))
        n += (m.first == type && m.second.contains(fragment)) ? 1 : 0;
    return n;
}

QStringList MessageCapture::messages() const
{
    QMutexLocker lock(&captureMutex);
    QStringList out;
    for (const auto& m : qAsConst(captured))
        out << m.second;
    return out;
}

void MessageCapture::clear()
{
    QMutexLocker lock(&captureMutex);
    captured.clear();
}
