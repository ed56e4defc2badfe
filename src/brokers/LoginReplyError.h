// The error text of a failed login reply: the broker's own message when it gave one (cut short),
// else the transport error, else the caller's fallback.
#pragma once

#include <QJsonObject>
#include <QLatin1String>
#include <QNetworkReply>
#include <QString>

inline QString loginReplyError(const QNetworkReply* reply, const QJsonObject& root, QLatin1String messageKey,
                               const QString& fallback)
{
    QString message = root.value(messageKey).toString().left(300);
    if (message.isEmpty())
        message = reply->error() != QNetworkReply::NoError ? reply->errorString() : fallback;
    return message;
}
