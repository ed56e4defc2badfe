// FlatTrade login: browser login with a loopback redirect that catches the request code, which is
// then exchanged for an access token.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

class LoopbackRedirectServer;
class QNetworkAccessManager;
class QTcpSocket;

class FlatTradeAuth : public QObject {
    Q_OBJECT
public:
    explicit FlatTradeAuth(QObject* parent = nullptr);

    void setApiKey(const QString& key) { apiKey = key; }
    void setApiSecret(const QString& secret) { apiSecret = secret; }
    // The browser login page and the token endpoint's host; tests point them at 127.0.0.1.
    void setLoginUrl(const QString& url) { loginUrl = url; }
    void setTokenBaseUrl(const QString& url) { tokenBaseUrl = url; }
    // Ports the redirect listener tries in order (8765 to 8775 by default; 0 lets the system choose).
    void setRedirectPorts(const QList<quint16>& ports) { redirectPorts = ports; }
    bool isListening() const;
    quint16 redirectPort() const;
    QString getAccessToken() const { return accessToken; }

    // Starts the redirect listener and opens the login page; the caught code is exchanged here.
    void startAuthentication();
    void exchangeCode(const QString& code);

signals:
    void authenticationRequired(QUrl loginUrl);
    void authenticationSuccessful(QString accessToken, QString clientId);
    void authenticationFailed(QString error);

private:
    void onRedirect(const QString& requestLine, QTcpSocket* client);

    QNetworkAccessManager* networkManager;
    LoopbackRedirectServer* redirectServer;
    QString loginUrl;
    QString tokenBaseUrl;
    QString apiKey;
    QString apiSecret;
    QString accessToken;
    QList<quint16> redirectPorts;
};
