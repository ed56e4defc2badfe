// Zerodha login: browser login with a loopback redirect that catches the request token, and the
// exchange of that token for an access token.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

class LoopbackRedirectServer;
class QNetworkAccessManager;
class QTcpSocket;

class ZerodhaAuth : public QObject {
    Q_OBJECT
public:
    explicit ZerodhaAuth(QObject* parent = nullptr);

    void setApiKey(const QString& apiKey);
    void setAccessToken(const QString& token);
    // REST host of the session endpoint and the browser login page; tests point them at 127.0.0.1.
    void setBaseUrl(const QString& url) { baseUrl = url; }
    void setLoginUrl(const QString& url) { loginUrl = url; }
    // Ports the redirect listener tries in order (8766 to 8776 by default; 0 lets the system choose).
    void setRedirectPorts(const QList<quint16>& ports) { redirectPorts = ports; }

    QString getApiKey() const { return apiKey; }
    QString getAccessToken() const { return accessToken; }
    QString getBaseUrl() const { return baseUrl; }
    bool isAuthenticated() const { return authenticated; }
    QString tokenSetAt() const { return tokenTimestamp; }
    int redirectPort() const { return callbackPort; }
    bool isListening() const;

    // Keeps the key, starts the redirect listener and opens the login page in the browser. An
    // empty redirectUri means the listener's own address.
    void startAuthentication(const QString& apiKey, const QString& redirectUri);
    // Posts the request token with its checksum; ends in authenticationSuccessful(accessToken) or
    // authenticationFailed.
    void exchangeRequestToken(const QString& requestToken, const QString& apiKey, const QString& apiSecret);

signals:
    void authenticationRequired(QUrl loginUrl);
    // Carries the captured request token first, then the access token of a successful exchange.
    void authenticationSuccessful(QString token);
    void authenticationFailed(QString error);

private:
    void onRedirect(const QString& requestLine, QTcpSocket* client);

    QNetworkAccessManager* networkManager;
    LoopbackRedirectServer* redirectServer;
    QString baseUrl;
    QString loginUrl;
    QString apiKey;
    QString accessToken;
    QString redirectUri;
    QString tokenTimestamp;  // ISO 8601 local time of the last setAccessToken
    bool authenticated = false;
    int callbackPort = 8766;  // first local redirect port tried
    QList<quint16> redirectPorts;
};
