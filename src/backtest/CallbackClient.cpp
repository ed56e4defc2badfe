// One job's callback posts, sent in order, each after the previous reply.
#include "backtest/CallbackClient.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>

CallbackClient::CallbackClient(QNetworkAccessManager* nam, QObject* parent) : QObject(parent), network(nam) {}

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
    current = network->post(next.request, next.body);
    connect(current, &QNetworkReply::finished, this, &CallbackClient::onFinished);
}

void CallbackClient::onFinished()
{
    QNetworkReply* reply = current;
    current = nullptr;
    if (reply->error() != QNetworkReply::NoError)
        qWarning() << "[BacktestController] HTTP POST error:" << reply->errorString().left(300);
    reply->deleteLater();
    sendNext();
}
