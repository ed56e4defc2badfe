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
    if (!QDesktopServices::openUrl(url)) {
        const QString address = url.toString();
        qWarning() << "[FyersAuth] No browser could be opened for the authorization page";
        emit authenticationFailed(QStringLiteral("Failed to open browser. Please manually navigate to: ") + address);
    }
}

QString FyersAuth::authCodeFrom(const QString& pasted)
{
    const QString text = pasted.trimmed();
    const int query = text.indexOf(QLatin1Char('?'));
    const bool address = query >= 0 || text.contains(QLatin1String("://")) || text.contains(QLatin1Char('='));
    if (!address)
        return text;
    QString items = text.mid(query + 1);
    items.truncate(items.indexOf(QLatin1Char('#')) >= 0 ? items.indexOf(QLatin1Char('#')) : items.size());
    QUrlQuery q(items);
    return q.queryItemValue(QStringLiteral("auth_code"), QUrl::FullyDecoded).trimmed();
}

QString FyersAuth::appIdHash(const QString& clientId, const QString& appSecret)
{
    return QString::fromLatin1(
        QCryptographicHash::hash((clientId + QLatin1Char(':') + appSecret).toUtf8(), QCryptographicHash::Sha256).toHex());
}

void FyersAuth::exchangeAuthCode(const QString& authCode, const QString& clientId, const QString& appSecret)
{
    const QString code = authCodeFrom(authCode);
    if (code.isEmpty()) {
        const QString message = QStringLiteral("No auth_code in the pasted redirect address");
        qWarning() << "[FyersAuth] Auth code exchange failed:" << message;
        QMetaObject::invokeMethod(this, [this, message] { emit authenticationFailed(message); }, Qt::QueuedConnection);
        return;
    }
    QJsonObject body;
    body.insert(QStringLiteral("grant_type"), QStringLiteral("authorization_code"));
    body.insert(QStringLiteral("appIdHash"), appIdHash(clientId, appSecret));
    body.insert(QStringLiteral("code"), code);
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
