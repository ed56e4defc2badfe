// Upstox login state: client id and secret, the REST host and its authorization dialog.
#pragma once

#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QTcpServer;

class UpstoxAuth : public QObject {
    Q_OBJECT
public:
    explicit UpstoxAuth(QObject* parent = nullptr);

    void setApiKey(const QString& clientId);
    void setApiSecret(const QString& secret);
    // Moves the REST host; the authorization dialog URL follows it.
    void setBaseUrl(const QString& url);

    QString getApiKey() const { return apiKey; }
    QString getApiSecret() const { return apiSecret; }
    QString getBaseUrl() const { return baseUrl; }
    QString authorizationUrl() const { return authUrl; }
    int callbackPort() const { return redirectPort; }

private:
    QNetworkAccessManager* networkManager;
    QString baseUrl;
    QString authUrl;
    QString apiKey;
    QString apiSecret;
    QString accessToken;
    QTcpServer* callbackServer = nullptr;
    int redirectPort = 8765;
};
