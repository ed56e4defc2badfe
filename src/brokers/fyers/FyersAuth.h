// Fyers login state: access token and the REST API root the login talks to.
#pragma once

#include <QObject>
#include <QString>

class QNetworkAccessManager;

class FyersAuth : public QObject {
    Q_OBJECT
public:
    explicit FyersAuth(QObject* parent = nullptr);

    void setBaseUrl(const QString& url) { baseUrl = url; }
    QString getBaseUrl() const { return baseUrl; }
    QString getAccessToken() const { return accessToken; }

private:
    QNetworkAccessManager* networkManager;
    QString baseUrl;
    QString accessToken;
};
