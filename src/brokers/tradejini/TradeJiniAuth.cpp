// TradeJini login.
#include "brokers/tradejini/TradeJiniAuth.h"

#include "brokers/BrokerHosts.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <limits>

namespace {

// A QTimer interval is an int of milliseconds; longer lifetimes are clamped, the expiry stays exact.
int clampedMs(qint64 ms)
{
    return int(qBound<qint64>(0, ms, std::numeric_limits<int>::max()));
}

// A token counts only as a non-empty string.
QString tokenOf(const QJsonObject& o)
{
    return o.value(QLatin1String("access_token")).toString();
}

// Lifetime in seconds; bounded before the conversion, since the value comes off the wire.
qint64 expiresInOf(const QJsonObject& o)
{
    const double d = o.value(QLatin1String("expires_in")).toDouble();
    return d > 0 ? qint64(qMin(d, 3.2e9)) : 0;  // 3.2e9 s is a century
}

}  // namespace

TradeJiniAuth::TradeJiniAuth(QObject* parent)
    : QObject(parent),
      networkManager(new QNetworkAccessManager(this)),
      baseUrl(BrokerHosts::tradeJiniRest() + QLatin1String("/v2")),
      expiryTimer(new QTimer(this)),
      warningTimer(new QTimer(this))
{
    expiryTimer->setObjectName(QStringLiteral("expiryTimer"));
    warningTimer->setObjectName(QStringLiteral("warningTimer"));
    expiryTimer->setSingleShot(true);
    warningTimer->setSingleShot(true);
    connect(expiryTimer, &QTimer::timeout, this, &TradeJiniAuth::onTokenExpired);
    connect(warningTimer, &QTimer::timeout, this, &TradeJiniAuth::onTokenExpiringSoon);
    qDebug() << "[TradeJiniAuth] Created with base URL:" << baseUrl;
}

TradeJiniAuth::~TradeJiniAuth()
{
    qDebug() << "[TradeJiniAuth] Destroyed";
}

QNetworkReply* TradeJiniAuth::postForm(const QString& path, const QList<QPair<QString, QString>>& fields,
                                       const QByteArray& authorization)
{
    // Every value fully percent-encoded: a form decoder reads a bare '+' as a space.
    QByteArray body;
    for (const auto& f : fields) {
        if (!body.isEmpty())
            body += '&';
        body += QUrl::toPercentEncoding(f.first) + '=' + QUrl::toPercentEncoding(f.second);
    }
    QNetworkRequest req{QUrl(baseUrl + path)};
    req.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/x-www-form-urlencoded"));
    if (!authorization.isEmpty())
        req.setRawHeader("Authorization", authorization);
    return networkManager->post(req, body);
}

void TradeJiniAuth::authenticateWithPassword(const QString& apiKey, const QString& password, const QString& twoFa,
                                             const QString& twoFaTyp)
{
    clientId = apiKey;
    QNetworkReply* reply = postForm(QStringLiteral("/api-gw/oauth/individual-token-v2"),
                                    {{QStringLiteral("password"), password},
                                     {QStringLiteral("twoFa"), twoFa},
                                     {QStringLiteral("twoFaTyp"), twoFaTyp}},
                                    "Bearer " + apiKey.toUtf8());
    connect(reply, &QNetworkReply::finished, this, &TradeJiniAuth::onIndividualTokenReplyFinished);
    qDebug() << "[TradeJiniAuth] Authenticating with apiKey, password and 2FA type:" << twoFaTyp;
}

void TradeJiniAuth::setClientCredentials(const QString& id, const QString& secret)
{
    clientId = id;
    clientSecret = secret;
    qDebug() << "[TradeJiniAuth] Client credentials set for:" << id;
}

QString TradeJiniAuth::buildAuthorizationUrl() const
{
    return QStringLiteral("%1/api-gw/oauth/authorize?client_id=%2&redirect_uri=%3&response_type=code&scope=orders")
        .arg(baseUrl, clientId, redirectUri);
}

void TradeJiniAuth::startOAuthFlow(const QString& id, const QString& secret, const QString& redirect)
{
    clientId = id;
    clientSecret = secret;
    redirectUri = redirect;
    const QString url = buildAuthorizationUrl();
    qDebug() << "[TradeJiniAuth] OAuth flow started. Authorization URL:" << url;
    emit authorizationUrlReady(url);
}

void TradeJiniAuth::exchangeCodeForToken(const QString& code, const QString& id, const QString& secret,
                                         const QString& redirect)
{
    clientId = id;
    clientSecret = secret;
    redirectUri = redirect;
    QNetworkReply* reply = postForm(QStringLiteral("/api-gw/oauth/token"),
                                    {{QStringLiteral("code"), code},
                                     {QStringLiteral("client_id"), id},
                                     {QStringLiteral("client_secret"), secret},
                                     {QStringLiteral("redirect_uri"), redirect},
                                     {QStringLiteral("grant_type"), QStringLiteral("authorization_code")}},
                                    QByteArray());
    connect(reply, &QNetworkReply::finished, this, &TradeJiniAuth::onTokenReplyFinished);
    qDebug() << "[TradeJiniAuth] Exchanging code for access token";
}

void TradeJiniAuth::onIndividualTokenReplyFinished()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    const QByteArray body = reply->readAll();
    // The body carries the token: the log gets its size only.
    qDebug() << "[TradeJiniAuth] Individual token response:" << body.size() << "bytes";
    QString error;
    if (reply->error() != QNetworkReply::NoError) {
        error = QStringLiteral("Individual token authentication failed: %1").arg(reply->errorString());
    } else {
        QJsonParseError perr{};
        const QJsonDocument doc = QJsonDocument::fromJson(body, &perr);
        if (perr.error != QJsonParseError::NoError) {
            error = QStringLiteral("Failed to parse response: %1").arg(perr.errorString());
        } else {
            const QJsonObject o = doc.object();  // an array or scalar reads as an empty object: a failure
            const QString token = tokenOf(o);
            if (token.isEmpty()) {
                error = o.value(QLatin1String("msg")).toString();
                if (error.isEmpty())
                    error = QStringLiteral("Authentication failed");
            } else {
                accessToken = token;
                const qint64 expiresIn = expiresInOf(o);
                if (expiresIn > 0)
                    scheduleExpiryTimers(expiresIn);
                qDebug() << "[TradeJiniAuth] Individual token authentication successful";
                qDebug() << "[TradeJiniAuth] Scope:" << o.value(QLatin1String("scope")).toString() << "Expires in:"
                         << expiresIn << "seconds";
                emit authenticationSucceeded(accessToken, clientId);
                return;
            }
        }
    }
    qDebug() << "[TradeJiniAuth]" << error;
    emit authenticationFailed(error);
}

void TradeJiniAuth::onTokenReplyFinished()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    const QByteArray body = reply->readAll();
    qDebug() << "[TradeJiniAuth] Token response:" << body.size() << "bytes";
    if (reply->error() != QNetworkReply::NoError) {
        const QString error = QStringLiteral("Token exchange failed: %1").arg(reply->errorString());
        qDebug() << "[TradeJiniAuth]" << error;
        emit authenticationFailed(error);
        return;
    }
    QJsonParseError perr{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &perr);
    if (perr.error != QJsonParseError::NoError) {
        const QString error = QStringLiteral("Failed to parse token response: %1").arg(perr.errorString());
        qDebug() << "[TradeJiniAuth]" << error;
        emit authenticationFailed(error);
        return;
    }
    const QJsonObject o = doc.object();
    if (o.contains(QLatin1String("error"))) {
        const QString err = o.value(QLatin1String("error")).toString();
        const QString desc = o.value(QLatin1String("errorDesc")).toString();
        qDebug() << "[TradeJiniAuth] OAuth error:" << err << desc;
        emit authenticationFailed(err + QStringLiteral(": ") + desc);
        return;
    }
    const QString token = tokenOf(o);
    if (token.isEmpty()) {
        emit authenticationFailed(QStringLiteral("Invalid token response format"));
        return;
    }
    accessToken = token;
    const qint64 expiresIn = expiresInOf(o);
    if (expiresIn > 0)
        scheduleExpiryTimers(expiresIn);
    qDebug() << "[TradeJiniAuth] OAuth authentication successful, expires in:" << expiresIn << "seconds";
    emit authenticationSucceeded(accessToken, clientId);
}

void TradeJiniAuth::scheduleExpiryTimers(qint64 seconds)
{
    tokenExpiry = QDateTime::currentDateTime().addSecs(seconds);
    qDebug() << "[TradeJiniAuth] Token will expire at:" << tokenExpiry.toString(Qt::ISODate);
    expiryTimer->start(clampedMs(seconds * 1000));
    if (seconds > 300) {
        warningTimer->start(clampedMs(seconds * 1000 - 300000));
        qDebug() << "[TradeJiniAuth] Will warn 5 minutes before expiry";
    } else {
        warningTimer->stop();  // a warning meant for an earlier token must not fire for this one
    }
}

void TradeJiniAuth::clearToken()
{
    accessToken.clear();
    tokenExpiry = QDateTime();
    expiryTimer->stop();
    warningTimer->stop();
    qDebug() << "[TradeJiniAuth] Token cleared";
}

bool TradeJiniAuth::isTokenValid() const
{
    if (accessToken.isEmpty())
        return false;
    if (!tokenExpiry.isValid())
        return true;
    return QDateTime::currentDateTime() < tokenExpiry;
}

int TradeJiniAuth::secondsUntilExpiry() const
{
    if (!tokenExpiry.isValid())
        return -1;
    const qint64 s = QDateTime::currentDateTime().secsTo(tokenExpiry);
    return s > 0 ? int(qMin<qint64>(s, std::numeric_limits<int>::max())) : 0;
}

void TradeJiniAuth::onTokenExpired()
{
    // A clamped timer can fire before a very long lifetime is really over.
    if (tokenExpiry.isValid() && QDateTime::currentDateTime() < tokenExpiry.addSecs(-1)) {
        expiryTimer->start(clampedMs(QDateTime::currentDateTime().msecsTo(tokenExpiry)));
        return;
    }
    qDebug() << "[TradeJiniAuth] Token has expired!";
    clearToken();
    emit tokenExpired();
}

void TradeJiniAuth::onTokenExpiringSoon()
{
    if (tokenExpiry.isValid() && QDateTime::currentDateTime().msecsTo(tokenExpiry) > 300000 + 1000) {
        warningTimer->start(clampedMs(QDateTime::currentDateTime().msecsTo(tokenExpiry) - 300000));
        return;
    }
    qDebug() << "[TradeJiniAuth] Token expiring in" << secondsUntilExpiry() << "seconds (5 minute warning)";
    emit tokenExpiringIn5Minutes();
}
