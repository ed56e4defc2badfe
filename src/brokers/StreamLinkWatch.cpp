// Size caps and time-outs of a broker stream socket.
#include "brokers/StreamLinkWatch.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>

StreamLinkWatch::StreamLinkWatch(QObject* parent)
    : QObject(parent), handshakeTimer(new QTimer(this)), silenceTimer(new QTimer(this)), probeTimer(new QTimer(this))
{
    clock = [] {
        static const QElapsedTimer monotonic = [] {
            QElapsedTimer t;
            t.start();
            return t;
        }();
        return monotonic.elapsed();
    };
    probeInterval = kSilenceTimeoutMs / 3;
    probeTimer->setObjectName(QStringLiteral("probe"));
    // One shot, armed for the time left: a timer that fires a moment early (a coarse timer may)
    // is armed again for the rest instead of letting the probe slip a whole interval.
    probeTimer->setSingleShot(true);
    probeTimer->setTimerType(Qt::PreciseTimer);
    connect(probeTimer, &QTimer::timeout, this, &StreamLinkWatch::onProbeTimeout);
    handshakeTimer->setSingleShot(true);
    handshakeTimer->setInterval(kHandshakeTimeoutMs);
    silenceTimer->setSingleShot(true);
    silenceTimer->setInterval(kSilenceTimeoutMs);
    connect(handshakeTimer, &QTimer::timeout, this, &StreamLinkWatch::onHandshakeTimeout);
    connect(silenceTimer, &QTimer::timeout, this, &StreamLinkWatch::onSilenceTimeout);
}

void StreamLinkWatch::limitSizes(QWebSocket* s)
{
    s->setMaxAllowedIncomingMessageSize(kMaxMessageBytes);
    s->setMaxAllowedIncomingFrameSize(kMaxMessageBytes);
}

void StreamLinkWatch::setTimeouts(int handshakeMs, int silenceMs)
{
    handshakeTimer->setInterval(handshakeMs);
    silenceTimer->setInterval(silenceMs);
    this->silenceMs = silenceMs;
    probeInterval = std::max(1, silenceMs / 3);
}

void StreamLinkWatch::setClock(std::function<qint64()> msClock)
{
    clock = std::move(msClock);
}

void StreamLinkWatch::watch(QWebSocket* s)
{
    stop();
    socket = s;
    limitSizes(s);
    // Every frame counts as life, also each piece of a message still being put together.
    const auto alive = [this, s] {
        if (s == socket)
            lastFrameAt = clock();
    };
    connect(s, &QWebSocket::connected, this, [this, s] {
        if (s != socket)
            return;
        handshakeTimer->stop();
        lastFrameAt = clock();
        silenceTimer->start(silenceMs);
        probeTimer->start(probeInterval);
    });
    connect(s, &QWebSocket::disconnected, this, [this, s] {
        if (s == socket)
            stop();
    });
    connect(s, &QWebSocket::textFrameReceived, this, alive);
    connect(s, &QWebSocket::binaryFrameReceived, this, alive);
    connect(s, &QWebSocket::pong, this, alive);
    handshakeTimer->start();
}

void StreamLinkWatch::stop()
{
    handshakeTimer->stop();
    silenceTimer->stop();
    probeTimer->stop();
    if (socket)
        disconnect(socket, nullptr, this, nullptr);
    socket = nullptr;
}

void StreamLinkWatch::onHandshakeTimeout()
{
    if (!socket)
        return;
    const int seconds = handshakeTimer->interval() / 1000;
    stop();
    emit expired(QStringLiteral("WebSocket handshake not finished within %1 s").arg(seconds));
}

void StreamLinkWatch::onProbeTimeout()
{
    if (!socket || socket->state() != QAbstractSocket::ConnectedState)
        return;
    const qint64 left = probeInterval - msSinceFrame();
    if (left > 0) {
        probeTimer->start(int(left));
        return;
    }
    socket->ping();
    probeTimer->start(probeInterval);
}

void StreamLinkWatch::onSilenceTimeout()
{
    if (!socket)
        return;
    const qint64 left = silenceMs - msSinceFrame();
    if (left > 0) {
        silenceTimer->start(int(left));
        return;
    }
    const int seconds = silenceMs / 1000;
    stop();
    emit expired(QStringLiteral("No data from the server for %1 s; connection treated as lost").arg(seconds));
}

QString StreamLinkWatch::closeProblem(const QWebSocket* s)
{
    return s ? closeProblem(int(s->closeCode()), s->closeReason()) : QString();
}

QString StreamLinkWatch::closeProblem(int code, const QString& reason)
{
    if (code == QWebSocketProtocol::CloseCodeNormal)
        return QString();
    const QString shown = reason.left(200);
    return shown.isEmpty() ? QStringLiteral("Connection closed by the server (code %1)").arg(code)
                           : QStringLiteral("Connection closed by the server (code %1): %2").arg(QString::number(code), shown);
}

bool StreamLinkWatch::refusedAuthentication(const QString& errorText)
{
    // Qt words a refused upgrade as "... Unhandled http status code: 401 (Unauthorized).".
    static const QRegularExpression re(QStringLiteral("status code: (401|403)\\b"));
    return re.match(errorText).hasMatch();
}
