// Fyers login: the authorization page in the browser and the exchange of the pasted code.
#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;

class FyersAuth : public QObject {
    Q_OBJECT
public:
    explicit FyersAuth(QObject* parent = nullptr);

    // REST API root (scheme, host and "/api/v3"); tests point it at 127.0.0.1.
    void setBaseUrl(const QString& url) { baseUrl = url; }
    QString getBaseUrl() const { return baseUrl; }
    QString getAccessToken() const { return accessToken; }

    // Builds the authorization address, emits authenticationRequired and opens it in the browser;
    // when no browser opens, authenticationFailed (at once) names the address to open by hand.
    void startAuthentication(const QString& clientId, const QString& redirectUri);
    // Posts the code with the hash of "clientId:appSecret"; ends in authenticationSuccessful or
    // authenticationFailed. `authCode` may be the whole redirect address the browser shows.
    void exchangeAuthCode(const QString& authCode, const QString& clientId, const QString& appSecret);

    // The code in what the user pasted: the "auth_code" of a redirect address (which also carries
    // "code=200", the status, not the code), or the trimmed text itself when it is no address.
    // Empty when an address holds no auth_code.
    static QString authCodeFrom(const QString& pasted);
    // The "appIdHash" the service checks: lower-case hex SHA-256 of "clientId:appSecret".
    static QString appIdHash(const QString& clientId, const QString& appSecret);

signals:
    void authenticationRequired(QUrl authUrl);
    void authenticationSuccessful(QString accessToken);
    void authenticationFailed(QString error);

private:
    QNetworkAccessManager* networkManager;
    QString baseUrl;
    QString accessToken;
};
