// Upstox browser login: authorization dialog in the system browser, the redirect caught on
// 127.0.0.1, the code exchanged for an access token, then the user's profile.
#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUrl>

class LoopbackRedirectServer;
class QNetworkAccessManager;
class QTcpSocket;

class UpstoxAuth : public QObject {
    Q_OBJECT
public:
    explicit UpstoxAuth(QObject* parent = nullptr);
    ~UpstoxAuth() override;

    void setApiKey(const QString& clientId);
    void setApiSecret(const QString& secret);
    void setRedirectUri(const QString& uri);
    // Moves the REST host; the authorization dialog URL follows it.
    void setBaseUrl(const QString& url);
    // Where the redirect listener binds (8765 unless a test moves it).
    void setCallbackPort(quint16 port) { localPort = port; }

    QString getApiKey() const { return apiKey; }
    QString getApiSecret() const { return apiSecret; }
    QString getBaseUrl() const { return baseUrl; }
    QString authorizationUrl() const { return authUrl; }
    int callbackPort() const { return localPort; }
    QString getAccessToken() const { return accessToken; }
    bool isAuthenticated() const { return authenticated; }
    QString getUserId() const { return userId; }
    QString getUserName() const { return userName; }
    QString getEmail() const { return email; }
    bool isListening() const;

    // True when key, secret and a token obtained by this object are all present.
    bool hasCredentials() const;

    void startAuthentication(const QString& apiKey, const QString& apiSecret, const QString& redirectUri);
    // False (and the failure reported) when the redirect port cannot be opened.
    bool startLocalServer();
    void stopLocalServer();
    void exchangeCodeForToken(const QString& code);
    void fetchProfile();

signals:
    void authenticationRequired(QUrl authUrl);
    void authenticationSuccessful(QString accessToken);
    void authenticationFailed(QString error);
    void profileReceived(QJsonObject profile);

private slots:
    void onTokenExchangeFinished();
    void onProfileRequestFinished();

private:
    void handleCallbackRequest(const QByteArray& requestLine, QTcpSocket* client);

    QNetworkAccessManager* networkManager;
    QString baseUrl;
    QString authUrl;
    QString accessToken;
    QString apiKey;
    QString apiSecret;
    QString redirectUri;
    QString userId;
    QString userName;
    QString email;
    bool authenticated = false;
    LoopbackRedirectServer* localServer = nullptr;
    quint16 localPort = 8765;
};
