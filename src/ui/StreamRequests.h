// The opening requests of the main window's own stream socket (Fyers address forms, Zerodha
// query), the texts of socket errors, and the masking of secrets in what is logged.
#pragma once

#include <QNetworkRequest>
#include <QString>
#include <QStringList>
#include <QUrl>

class StreamRequests
{
public:
    // The https origin sent as "Origin" on every Fyers opening request (host B's).
    static QString fyersOrigin();

    struct Opening {
        QNetworkRequest request;
        QString address;     // as opened, query included
        QString authForm;    // which authentication the request carries, secrets masked
    };

    // The request for Fyers address `index` of `urls` (entry 0 when out of range): entry 0
    // authorises with "<client id>:<token>", entry 1 with the token in the query, the others
    // with a bearer token and the client id.
    static Opening fyersOpening(const QStringList& urls, int index, const QString& accessToken,
                                const QString& clientId);

    // The Zerodha stream address with the key and token as a properly encoded query.
    static QUrl zerodhaStreamUrl(const QString& base, const QString& apiKey,
                                 const QString& accessToken);

    // Text shown for a socket error code and the detail line logged with it.
    static QString socketErrorText(int code);
    static QString socketErrorDetail(int code);

    // The address with the values of secret query items replaced by "***".
    static QString maskedUrl(const QUrl& url);
    // A JSON text with the values of "token", "access_token" and "api_key" replaced by "***";
    // anything that is not a JSON object is cut to `maxChars`.
    static QString maskedJson(const QString& text, int maxChars = 500);
    // A short, safe mention of a secret: the first four characters of a long one and "...",
    // "***" for a short one, "(empty)" for none.
    static QString preview(const QString& secret);
};
