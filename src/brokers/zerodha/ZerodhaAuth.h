// Zerodha login state: API key, access token and the REST host the login talks to.
#pragma once

#include <QObject>
#include <QString>

class QNetworkAccessManager;

class ZerodhaAuth : public QObject {
    Q_OBJECT
public:
    explicit ZerodhaAuth(QObject* parent = nullptr);

    void setApiKey(const QString& apiKey);
    void setAccessToken(const QString& token);
    void setBaseUrl(const QString& url) { baseUrl = url; }

    QString getApiKey() const { return apiKey; }
    QString getAccessToken() const { return accessToken; }
    QString getBaseUrl() const { return baseUrl; }
    bool isAuthenticated() const { return authenticated; }
    QString tokenSetAt() const { return tokenTimestamp; }
    int redirectPort() const { return callbackPort; }

private:
    QNetworkAccessManager* networkManager;
    QString baseUrl;
    QString apiKey;
    QString accessToken;
    QString tokenTimestamp;  // ISO 8601 local time of the last setAccessToken
    bool authenticated = false;
    int callbackPort = 8766;  // first local redirect port tried
};
