// AngelOne login: client code, password and one-time code confirmed by a profile check, or the
// publisher login in the browser with a loopback redirect and a token exchange.
#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUrl>

class LoopbackRedirectServer;
class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
class QTcpSocket;

class AngelOneAuth : public QObject {
    Q_OBJECT
public:
    explicit AngelOneAuth(QObject* parent = nullptr);
    ~AngelOneAuth() override;

    void setApiKey(const QString& key);
    void setClientCode(const QString& code);
    void setPassword(const QString& password);
    void setTotp(const QString& totp);
    void setState(const QString& state);
    QString getJwtToken() const { return jwtToken; }
    QString getFeedToken() const { return feedToken; }
    QString getRefreshToken() const { return refreshToken; }
    QString getRedirectUri() const { return redirectUri; }
    bool isAuthenticated() const { return authenticated; }

    // Hosts in one place ("https://host", no trailing slash); tests point them at 127.0.0.1.
    void setBaseUrl(const QString& url) { baseUrl = url; }
    void setPublisherLoginUrl(const QString& url) { publisherLoginUrl = url; }
    // The redirect port registered with the app; tests use a free one.
    void setLocalPort(quint16 port) { localPort = port; }
    quint16 getLocalPort() const { return localPort; }
    bool isLocalServerListening() const;

    void login(const QString& apiKey, const QString& clientCode, const QString& password, const QString& totp,
               const QString& state);
    void fetchProfile();
    bool validateToken();

    void startPublisherLogin(const QString& apiKey, const QString& redirectUri, const QString& state);
    // False (and the failure reported) when the redirect port cannot be opened.
    bool startLocalServer();
    void stopLocalServer();
    void onRedirectTokens(const QString& authToken, const QString& feedToken);
    void generateTokens(const QString& refreshToken);

    // A request to the SmartAPI host with the header set every such request carries; the second
    // form adds the bearer token.
    static QNetworkRequest smartApiRequest(const QUrl& url, const QString& apiKey);
    static QNetworkRequest smartApiRequest(const QUrl& url, const QString& apiKey, const QString& bearerToken);

signals:
    void authenticationRequired(QUrl loginUrl);
    void authenticationSuccessful(QString jwtToken, QString refreshToken, QString feedToken);
    void authenticationFailed(QString error);

private slots:
    void onLoginFinished();
    void onProfileFinished();
    void onGenerateTokenFinished();
    void onLocalServerConnection(const QString& requestLine, QTcpSocket* client);

private:
    void fail(const QString& logPrefix, const QString& error);
    // Releases the reply; on a network or HTTP error reports it and returns false, else parses
    // the body into `out` and logs it (tokens masked) after `label`.
    bool readReply(QNetworkReply* reply, const char* failPrefix, const char* label, QJsonObject& out);

    QNetworkAccessManager* networkManager;
    QString baseUrl;
    QString publisherLoginUrl;
    QString apiKey;
    QString clientCode;
    QString password;
    QString totp;
    QString state;
    QString jwtToken;
    QString refreshToken;
    QString feedToken;
    QString authToken;
    QString redirectUri;
    LoopbackRedirectServer* localServer = nullptr;
    quint16 localPort = 27016;
    bool authenticated = false;
};
