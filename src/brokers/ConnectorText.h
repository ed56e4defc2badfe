// Small text helpers the stream connectors share for their log lines.
#pragma once

#include <QString>
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

}  // namespace ConnectorText
