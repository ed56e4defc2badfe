// Fyers login.
#include "brokers/fyers/FyersAuth.h"

#include "brokers/BrokerHosts.h"
#include "brokers/LoginExchange.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDesktopServices>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrlQuery>

FyersAuth::FyersAuth(QObject* parent)
    : QObject(parent),
      networkManager(new QNetworkAccessManager(this)),
      baseUrl(BrokerHosts::fyersRest() + QLatin1String("/api/v3"))
{
}

void FyersAuth::startAuthentication(const QString& clientId, const QString& redirectUri)
{
    QUrl url(baseUrl + QStringLiteral("/generate-authcode"));
    QUrlQuery q;
    q.addQueryItem(QStringLiteral("client_id"), clientId);
    q.addQueryItem(QStringLiteral("redirect_uri"), redirectUri);
    q.addQueryItem(QStringLiteral("response_type"), QStringLiteral("code"));
    q.addQueryItem(QStringLiteral("state"), QStringLiteral("sample_state"));
    url.setQuery(q);
    emit authenticationRequired(url);
    QDesktopServices::openUrl(url);
}

void FyersAuth::exchangeAuthCode(const QString& authCode, const QString& clientId, const QString& appSecret)
{
    const QByteArray hash =
        QCryptographicHash::hash((clientId + QLatin1Char(':') + appSecret).toUtf8(), QCryptographicHash::Sha256).toHex();
    QJsonObject body;
    body.insert(QStringLiteral("grant_type"), QStringLiteral("authorization_code"));
    body.insert(QStringLiteral("appIdHash"), QString::fromLatin1(hash));
    body.insert(QStringLiteral("code"), authCode.trimmed());
    QNetworkReply* reply = postLoginJson(networkManager, QUrl(baseUrl + QStringLiteral("/validate-authcode")), body);
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        const QJsonObject root = QJsonDocument::fromJson(reply->readAll()).object();
        const QString token = root.value(QLatin1String("access_token")).toString();
        if (reply->error() == QNetworkReply::NoError && !token.isEmpty()) {
            accessToken = token;
            qInfo() << "[FyersAuth] Auth code exchanged, access token: Set";
            emit authenticationSuccessful(token);
            return;
        }
        const QString message = loginReplyError(reply, root, QLatin1String("message"), QStringLiteral("No access token in the reply"));
        qWarning() << "[FyersAuth] Auth code exchange failed:" << message;
        emit authenticationFailed(message);
    });
}
