// Failure kinds of a polled quote service and the texts that tell the user what to check.
#include "brokers/QuoteOutcome.h"

#include <QNetworkReply>

QuoteOutcome QuoteOutcome::fromReply(QNetworkReply* reply, bool timedOut)
{
    if (timedOut)
        return {TimedOut, 0, QString()};
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 401 || status == 403)
        return {KeyRefused, status, reply->errorString()};
    if (status >= 400)
        return {HttpError, status,
                reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString()};
    if (reply->error() != QNetworkReply::NoError)
        return {NotReachable, status, reply->errorString()};
    return {Ok, status, QString()};
}

QString QuoteOutcome::reason() const
{
    switch (kind) {
    case Ok: return QString();
    case NotReachable: return QStringLiteral("not reachable");
    case KeyRefused: return QStringLiteral("key refused");
    case HttpError: return QStringLiteral("HTTP %1").arg(httpStatus);
    case NotJson: return QStringLiteral("not JSON");
    case TimedOut: return QStringLiteral("timed out");
    }
    return QString();
}

QString QuoteOutcome::explanation(const QString& provider, const QString& url, int timeoutSeconds) const
{
    switch (kind) {
    case Ok:
        return QString();
    case NotReachable:
        return QStringLiteral("%1: the quote service at %2 is not reachable (%3).\n"
                              "Check the Custom URL in Settings and that the service is running.")
            .arg(provider, url, detail);
    case KeyRefused:
        return QStringLiteral("%1: the quote service refused the API key (HTTP %2).\n"
                              "Check the API key in Settings.")
            .arg(provider)
            .arg(httpStatus);
    case HttpError:
        return QStringLiteral("%1: the quote service at %2 answered HTTP %3%4.\n"
                              "The service has a problem; quotes resume when it answers again.")
            .arg(provider, url)
            .arg(httpStatus)
            .arg(detail.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(detail));
    case NotJson:
        return QStringLiteral("%1: the reply of the quote service is not JSON (%2).\n"
                              "Check that the Custom URL in Settings is the quote service's address.")
            .arg(provider, detail);
    case TimedOut:
        return QStringLiteral("%1: the quote service at %2 sent no reply within %3 s.\n"
                              "Check that the service is running and answers within that time.")
            .arg(provider, url)
            .arg(timeoutSeconds);
    }
    return QString();
}
