// REST requests with bounds on a reply that never ends or never stops growing: a transfer
// time-out and a size cap, shared by the connectors' candle-history requests.
#pragma once

#include <QByteArray>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

class BoundedRequest {
public:
    // A candle reply is a few megabytes at most (59 days of minute candles); more is not a reply.
    static constexpr qint64 kHistoryMaxBytes = 64 * 1024 * 1024;
    static constexpr int kHistoryTimeoutMs = 30000;

    // Starts the request with a transfer time-out of `timeoutMs` (the reply ends once nothing has
    // arrived for that long) and aborts the reply once more than `maxBytes` have arrived.
    static QNetworkReply* get(QNetworkAccessManager* network, QNetworkRequest request, int timeoutMs,
                              qint64 maxBytes);
    static QNetworkReply* post(QNetworkAccessManager* network, QNetworkRequest request, const QByteArray& body,
                               int timeoutMs, qint64 maxBytes);

    // For a finished reply of get or post: which bound ended it ("reply larger than N bytes", "no
    // answer within N s"), empty when neither did.
    static QString boundReached(const QNetworkReply* reply);

private:
    static QNetworkReply* bounded(QNetworkReply* reply, int timeoutMs, qint64 maxBytes);
};
