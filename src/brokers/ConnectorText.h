// Small text helpers the stream connectors share: log-safe texts and JSON fragments for hand-built frames.
#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QUrl>

namespace ConnectorText {

// Untrusted text goes to the log cut short.
inline QString clipped(const QString& text, int max = 300)
{
    return text.size() > max ? text.left(max) + QStringLiteral("...") : text;
}

// Stream addresses may carry credentials in their query: logs get scheme, host and path only.
inline QString withoutQuery(const QString& url)
{
    return QUrl(url).adjusted(QUrl::RemoveQuery | QUrl::RemoveUserInfo).toString();
}

// A JSON array of strings as compact text, escaped by Qt. Frames are assembled from such fragments
// where the field order should read as the service documents it.
inline QString jsonStringArray(const QStringList& items)
{
    return QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(items)).toJson(QJsonDocument::Compact));
}

inline QString jsonString(const QString& text)
{
    const QString array = jsonStringArray(QStringList{text});
    return array.mid(1, array.size() - 2);
}

// A JSON object as one line of compact text, the form the stream services take their requests in.
inline QString compactJson(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

}  // namespace ConnectorText
