// Time-out and size cap of history requests.
#include "brokers/BoundedRequest.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {

const char kTimeoutProperty[] = "boundedTimeoutMs";
const char kMaxBytesProperty[] = "boundedMaxBytes";
const char kOversizedProperty[] = "boundedOversized";

}  // namespace

QNetworkReply* BoundedRequest::get(QNetworkAccessManager* network, QNetworkRequest request, int timeoutMs,
                                   qint64 maxBytes)
{
    request.setTransferTimeout(timeoutMs);
    return bounded(network->get(request), timeoutMs, maxBytes);
}

QNetworkReply* BoundedRequest::post(QNetworkAccessManager* network, QNetworkRequest request, const QByteArray& body,
                                    int timeoutMs, qint64 maxBytes)
{
    request.setTransferTimeout(timeoutMs);
    return bounded(network->post(request, body), timeoutMs, maxBytes);
}

QNetworkReply* BoundedRequest::bounded(QNetworkReply* reply, int timeoutMs, qint64 maxBytes)
{
    reply->setProperty(kTimeoutProperty, timeoutMs);
    reply->setProperty(kMaxBytesProperty, maxBytes);
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [reply, maxBytes](qint64 received, qint64) {
        if (received > maxBytes && !reply->property(kOversizedProperty).toBool()) {
            reply->setProperty(kOversizedProperty, true);
            reply->abort();
        }
    });
    return reply;
}

QString BoundedRequest::boundReached(const QNetworkReply* reply)
{
    if (reply->property(kOversizedProperty).toBool())
        return QStringLiteral("reply larger than %1 bytes").arg(reply->property(kMaxBytesProperty).toLongLong());
    // The transfer time-out cancels the reply; nothing else here does.
    if (reply->error() == QNetworkReply::OperationCanceledError || reply->error() == QNetworkReply::TimeoutError) {
        const int ms = reply->property(kTimeoutProperty).toInt();
        return ms % 1000 == 0 ? QStringLiteral("no answer within %1 s").arg(ms / 1000)
                              : QStringLiteral("no answer within %1 ms").arg(ms);
    }
    return QString();
}
