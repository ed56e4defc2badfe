// TradeJini login: password and one-time-code login, OAuth code exchange, token expiry timers.
#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

class TradeJiniAuth : public QObject {
    Q_OBJECT
public:
    explicit TradeJiniAuth(QObject* parent = nullptr);
    ~TradeJiniAuth() override;

    void authenticateWithPassword(const QString& apiKey, const QString& password, const QString& twoFa,
                                  const QString& twoFaTyp);
    void setClientCredentials(const QString& clientId, const QString& clientSecret);
    QString buildAuthorizationUrl() const;
    void startOAuthFlow(const QString& clientId, const QString& clientSecret, const QString& redirectUri);
    void exchangeCodeForToken(const QString& code, const QString& clientId, const QString& clientSecret,
                              const QString& redirectUri);
    void clearToken();
    bool isTokenValid() const;
    int secondsUntilExpiry() const;

    // REST root (scheme, host and "/v2"); tests point it at 127.0.0.1.
    void setBaseUrl(const QString& url) { baseUrl = url; }
    QString getBaseUrl() const { return baseUrl; }
    QString getAccessToken() const { return accessToken; }
    QDateTime tokenExpiryTime() const { return tokenExpiry; }

signals:
    void authenticationSucceeded(QString accessToken, QString clientId);
    void authenticationFailed(QString error);
    void authorizationUrlReady(QString url);
    void tokenExpired();
    void tokenExpiringIn5Minutes();

private slots:
    void onTokenReplyFinished();
    void onIndividualTokenReplyFinished();
    void onTokenExpired();
    void onTokenExpiringSoon();

private:
    QNetworkReply* postForm(const QString& path, const QList<QPair<QString, QString>>& fields,
                            const QByteArray& authorization);
    void scheduleExpiryTimers(qint64 expiresInSeconds);

    QNetworkAccessManager* networkManager;
    QString clientId;
    QString clientSecret;
    QString redirectUri;
    QString accessToken;
    QString baseUrl;
    QDateTime tokenExpiry;  // local time; invalid while the lifetime is unknown
    QTimer* expiryTimer;    // object name "expiryTimer"
    QTimer* warningTimer;   // object name "warningTimer"
};
