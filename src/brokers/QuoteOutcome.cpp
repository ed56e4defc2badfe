// Failure kinds of a polled quote service and the texts that tell the user what to check.
#include "brokers/QuoteOutcome.h"

#include <QNetworkReply>

namespace {

// Texts from the wire are cut before they reach a box or the label.
QString shortText(const QString& s)
{
    return s.size() > 64 ? s.left(64) + QStringLiteral("...") : s;
}

}  // namespace

QuoteOutcome QuoteOutcome::fromReply(QNetworkReply* reply, bool timedOut, const QString& symbol)
{
    if (timedOut)
        return {TimedOut, 0, QString(), symbol};
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 401 || status == 403)
        return {KeyRefused, status, reply->errorString(), symbol};
    if (status == 404 && !symbol.isEmpty())
        return {UnknownSymbol, status, QString(), symbol};
    if (status >= 400)
        return {HttpError, status,
                reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString(), symbol};
    if (reply->error() != QNetworkReply::NoError)
        return {NotReachable, status, reply->errorString(), symbol};
    return {Ok, status, QString(), symbol};
}

bool QuoteOutcome::hasWebScheme(const QString& url)
{
    const QString u = url.trimmed();
    return u.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)
        || u.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
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
    case UnknownSymbol: return QStringLiteral("unknown symbol");
    case OtherSymbol: return QStringLiteral("other symbol");
    case NoBars: return QStringLiteral("no bars");
    }
    return QString();
}

QString QuoteOutcome::explanation(const QString& provider, const QString& url, int timeoutSeconds,
                                  Request request) const
{
    const bool history = request == History;
    const QString asked = shortText(symbol);
    switch (kind) {
    case Ok:
        return QString();
    case NotReachable: {
        const QString check = !hasWebScheme(url)
            ? QStringLiteral("The Custom URL in Settings has no http:// or https:// at its start: add it.")
            : QStringLiteral("Check the Custom URL in Settings and that the service is running.");
        return QStringLiteral("%1: the quote service at %2 is not reachable (%3).\n%4")
            .arg(provider, url, detail, check);
    }
    case KeyRefused:
        return QStringLiteral("%1: the quote service refused the API key (HTTP %2).\n"
                              "Check the API key in Settings.")
            .arg(provider)
            .arg(httpStatus);
    case HttpError:
        return QStringLiteral("%1: the quote service at %2 answered HTTP %3%4.\n%5")
            .arg(provider, url)
            .arg(httpStatus)
            .arg(detail.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(shortText(detail)),
                 history ? QStringLiteral("The service has a problem; download the history again when it answers.")
                         : QStringLiteral("The service has a problem; quotes resume when it answers again."));
    case NotJson:
        return QStringLiteral("%1: the reply of the quote service is not JSON (%2).\n"
                              "Check that the Custom URL in Settings is the quote service's address.")
            .arg(provider, detail);
    case TimedOut:
        return QStringLiteral("%1: the quote service at %2 sent no reply within %3 s.\n"
                              "Check that the service is running and answers within that time, "
                              "or allow it more with the Request timeout in Settings.")
            .arg(provider, url)
            .arg(timeoutSeconds);
    case UnknownSymbol:
        return QStringLiteral("%1: the service does not know this symbol (HTTP %2)\n%3")
            .arg(asked)
            .arg(httpStatus)
            .arg(history ? QStringLiteral("Check the symbol's name; no history was downloaded for it.")
                         : QStringLiteral("Check its name in the watchlist. If every symbol fails so, "
                                          "check the Custom URL in Settings."));
    case OtherSymbol:
        return history
            ? QStringLiteral("%1: the service answered with bars of %2\nNo history was stored for it.")
                  .arg(asked, shortText(detail))
            : QStringLiteral("%1: the service answered with a quote of %2\n"
                             "This symbol gets no price until the service answers for it; "
                             "the other symbols keep streaming.")
                  .arg(asked, shortText(detail));
    case NoBars:
        return QStringLiteral("No valid historical data received for ") + symbol;
    }
    return QString();
}
