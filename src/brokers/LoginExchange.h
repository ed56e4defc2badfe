// The token request at the end of a browser login: a JSON POST with a bounded wait, and the error
// text of a failed answer.
#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QLatin1String>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>

// Posts body as compact JSON; a server that never answers ends in a time-out error after 30 s.
inline QNetworkReply* postLoginJson(QNetworkAccessManager* network, const QUrl& url, const QJsonObject& body)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setTransferTimeout(30000);
    return network->post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
}

// The broker's own message when it gave one (cut short), else the transport error, else fallback.
inline QString loginReplyError(const QNetworkReply* reply, const QJsonObject& root, QLatin1String messageKey,
                               const QString& fallback)
{
    QString message = root.value(messageKey).toString().left(300);
    if (message.isEmpty())
        message = reply->error() != QNetworkReply::NoError ? reply->errorString() : fallback;
    return message;
}
