// Whether a download reply carries an instrument master.
#include "symbols/MasterReply.h"

#include <QNetworkReply>
#include <QNetworkRequest>

namespace MasterReply {

QString failure(const QNetworkReply* reply)
{
    if (reply->error() != QNetworkReply::NoError)
        return reply->errorString();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status > 299)
        return QStringLiteral("HTTP status %1").arg(status);
    return QString();
}

}  // namespace MasterReply
