// Posts one backtest job's reports to the callback service strictly one after another.
#pragma once

#include <QByteArray>
#include <QNetworkRequest>
#include <QObject>
#include <QQueue>
#include <QTimer>

class QNetworkAccessManager;
class QNetworkReply;

// A service that closes a job on its "done" post must have seen every earlier post by then, so each
// post waits until the one before it has finished or failed. `timeoutMs` bounds each whole post,
// reply included: a transfer time-out only notices silence, so a peer that trickles a byte now and
// then would hold the queue (and the job's "done") for ever.
// Each job has its own client: the posts of different jobs do not wait for each other.
class CallbackClient : public QObject {
    Q_OBJECT
public:
    CallbackClient(QNetworkAccessManager* network, int timeoutMs, QObject* parent = nullptr);

    void post(const QNetworkRequest& request, const QByteArray& body);
    // The job has nothing more to post: the client deletes itself once its queue is empty.
    void finishWhenIdle();
    int pendingCount() const { return queue.size() + (current ? 1 : 0); }

private:
    void sendNext();
    void onFinished();

    struct Post {
        QNetworkRequest request;
        QByteArray body;
    };
    QNetworkAccessManager* network;
    QQueue<Post> queue;
    QNetworkReply* current = nullptr;
    QTimer deadline;  // runs while `current` is out
    bool timedOut = false;
    bool finishing = false;
};
