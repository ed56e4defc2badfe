// One job's callback posts, sent in order, each after the previous reply.
#include "backtest/CallbackClient.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>

CallbackClient::CallbackClient(QNetworkAccessManager* nam, int timeoutMs, QObject* parent)
    : QObject(parent), network(nam)
{
    deadline.setSingleShot(true);
    deadline.setInterval(timeoutMs);
    connect(&deadline, &QTimer::timeout, this, [this] {
        if (!current)
            return;
        timedOut = true;
        current->abort();  // finishes the reply, which sends the next post
    });
}

void CallbackClient::post(const QNetworkRequest& request, const QByteArray& body)
{
    queue.enqueue({request, body});
    if (!current)
        sendNext();
}

void CallbackClient::finishWhenIdle()
{
    finishing = true;
    if (!current && queue.isEmpty())
        deleteLater();
}

void CallbackClient::sendNext()
{
    if (queue.isEmpty()) {
        if (finishing)
            deleteLater();
        return;
    }
    const Post next = queue.dequeue();
    timedOut = false;
    current = network->post(next.request, next.body);
    connect(current, &QNetworkReply::finished, this, &CallbackClient::onFinished);
    deadline.start();
}

void CallbackClient::onFinished()
{
    QNetworkReply* reply = current;
    current = nullptr;
    deadline.stop();
    if (timedOut) {
        qWarning() << "[BacktestController] HTTP POST error:"
                   << QStringLiteral("no complete reply within %1 ms").arg(deadline.interval());
    } else if (reply->error() != QNetworkReply::NoError) {
        qWarning() << "[BacktestController] HTTP POST error:" << reply->errorString().left(300);
    }
    reply->deleteLater();
    sendNext();
}
