// Message capture for tests: a handler that records and chains.
#include "support/LogCapture.h"

#include <QMutex>
#include <QRegularExpression>

namespace {

QMutex g_captureMutex;
LogCapture* g_active = nullptr;  // guarded by g_captureMutex

} // namespace

LogCapture::LogCapture(bool forwardMessages) : forward(forwardMessages)
{
    QMutexLocker lock(&g_captureMutex);
    previousCapture = g_active;
    g_active = this;
    previousHandler = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    QMutexLocker lock(&g_captureMutex);
    qInstallMessageHandler(previousHandler);
    g_active = previousCapture;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    QtMessageHandler next = nullptr;
    {
        QMutexLocker lock(&g_captureMutex);
        // Each capture records and passes the message outwards; a capture that does not forward
        // keeps it from the captures and handlers installed before it.
        for (LogCapture* c = g_active; c; c = c->previousCapture) {
            c->captured.append({type, message});
            if (!c->forward)
                break;
            if (c->previousHandler != &LogCapture::handler) {
                next = c->previousHandler;
                break;
            }
        }
    }
    // Called outside the lock: the next handler may log again.
    if (next)
        next(type, context, message);
}

QList<LogCapture::Entry> LogCapture::entries() const
{
    QMutexLocker lock(&g_captureMutex);
    return captured;
}

QStringList LogCapture::messages() const
{
    QStringList out;
    for (const Entry& e : entries())
        out.append(e.message);
    return out;
}

QStringList LogCapture::messages(QtMsgType type) const
{
    QStringList out;
    for (const Entry& e : entries()) {
        if (e.type == type)
            out.append(e.message);
    }
    return out;
}

int LogCapture::count(const QString& text) const
{
    int n = 0;
    for (const Entry& e : entries())
        n += e.message.contains(text) ? 1 : 0;
    return n;
}

int LogCapture::count(QtMsgType type, const QString& text) const
{
    int n = 0;
    for (const Entry& e : entries())
        n += (e.type == type && e.message.contains(text)) ? 1 : 0;
    return n;
}

bool LogCapture::contains(const QRegularExpression& pattern) const
{
    for (const Entry& e : entries()) {
        if (pattern.match(e.message).hasMatch())
            return true;
    }
    return false;
}

int LogCapture::indexOf(const QString& text, int from) const
{
    const QList<Entry> all = entries();
    for (int i = qMax(0, from); i < all.size(); ++i) {
        if (all.at(i).message.contains(text))
            return i;
    }
    return -1;
}

void LogCapture::clear()
{
    QMutexLocker lock(&g_captureMutex);
    captured.clear();
}
