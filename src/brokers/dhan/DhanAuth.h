// Dhan consent login (consent, browser login caught on 127.0.0.1, consent exchange), profile
// check and token renewal. Stores nothing: receivers of authenticationSuccessful keep the token.
#pragma once

#include <QJsonObject>
#include <QNetworkRequest>
#include <QObject>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class LoopbackRedirectServer;

class DhanAuth : public QObject {
    Q_OBJECT
public:
    explicit DhanAuth(QObject* parent = nullptr);

    void setApiKey(const QString& key);
    void setApiSecret(const QString& secret);
    void setClientId(const QString& id);
    void setAccessToken(const QString& accessToken, const QString& clientId);
    QString getClientId() const { return clientId; }

    // Hosts in one place ("https://host", no path); tests point them at 127.0.0.1.
    void setAuthBaseUrl(const QString& url) { authBaseUrl = url; }
    void setApiBaseUrl(const QString& url) { apiBaseUrl = url; }
    // The redirect port registered at Dhan is 8767; tests move it to avoid clashes.
    void setLocalPort(quint16 port) { localPort = port; }
    quint16 getLocalPort() const { return localPort; }
    bool isListening() const;
    bool isAuthenticated() const { return authenticated; }
    QString getAccessToken() const { return accessToken; }

    void startAuthentication(const QString& apiKey, const QString& apiSecret, const QString& clientId,
                             const QString& redirectUri);
    // False (and the failure reported) when the redirect port cannot be opened.
    bool startLocalServer();
    void stopLocalServer();
    void consumeConsent(const QString& tokenId);
    void fetchProfile();
    bool validateToken();
    void refreshToken();

signals:
    void authenticationRequired(QUrl authUrl);
    void authenticationSuccessful(QString accessToken, QString clientId);
    void authenticationFailed(QString error);
    void consentGenerated(QString consentAppId);
    void profileReceived(QJsonObject profile);

private slots:
    void onGenerateConsentFinished();
    void onConsumeConsentFinished();
    void onRefreshTokenFinished();
    void onProfileRequestFinished();

private:
    // The answer page for one request line of the redirect listener.
    QByteArray handleOAuthRedirect(const QString& requestLine);
    // Auth-host request with the app's id and secret headers and one query item.
    QNetworkRequest appRequest(const QString& path, const QString& key, const QString& value) const;
    // In a reply slot: the reply's JSON object, or false once a failure has been reported.
    bool takeReplyObject(const char* failureLine, QJsonObject& object);

    QNetworkAccessManager* networkManager;
    QString apiBaseUrl;
    QString authBaseUrl;
    QString accessToken;
    QString clientId;
    QString clientName;
    QString clientUcc;
    QString apiKey;
    QString apiSecret;
    QString consentAppId;
    QString redirectUri;
    QString expiryTime;
    bool givenPowerOfAttorney = false;
    bool authenticated = false;
    LoopbackRedirectServer* localServer;
    quint16 localPort = 8767;
};
