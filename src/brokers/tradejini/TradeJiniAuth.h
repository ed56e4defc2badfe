// TradeJini login: token state with its expiry and 5-minute warning timers.
#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QTimer;

class TradeJiniAuth : public QObject {
    Q_OBJECT
public:
    explicit TradeJiniAuth(QObject* parent = nullptr);
    ~TradeJiniAuth() override;

    // REST root (scheme, host and "/v2"); tests point it at 127.0.0.1.
    void setBaseUrl(const QString& url) { baseUrl = url; }
    QString getBaseUrl() const { return baseUrl; }
    QString getAccessToken() const { return accessToken; }

signals:
    void tokenExpired();
    void tokenExpiringIn5Minutes();

private slots:
    void onTokenExpired();
    void onTokenExpiringSoon();

private:
    QNetworkAccessManager* networkManager;
    QString clientId;
    QString clientSecret;
    QString redirectUri;
    QString accessToken;
    QString baseUrl;
    QDateTime tokenExpiry;  // local time; invalid while the lifetime is unknown
    QTimer* expiryTimer;
    QTimer* warningTimer;
};
