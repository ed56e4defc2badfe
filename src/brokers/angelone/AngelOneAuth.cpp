// AngelOne login: direct (password and one-time code) and publisher (browser redirect).
#include "brokers/angelone/AngelOneAuth.h"

#include "brokers/BrokerHosts.h"
#include "brokers/LoopbackRedirectServer.h"

#include <QDebug>
#include <QDesktopServices>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTcpSocket>

namespace {

const char kRedirectOk[] =
    "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html><body><h2>AngelOne Authentication Successful!</h2>"
    "<p>You can close this window and return to the application.</p></body></html>";
const char kRedirectBad[] =
    "HTTP/1.1 400 Bad Request\r\nContent-Type: text/html\r\n\r\n<html><body><h2>Authentication Failed</h2>"
    "<p>Could not extract authentication tokens.</p></body></html>";

// The replies carry the session's tokens: the log gets whether each was there, never the value.
QJsonObject redacted(QJsonObject o)
{
    static const QStringList secrets{QStringLiteral("jwtToken"), QStringLiteral("refreshToken"),
                                     QStringLiteral("feedToken")};
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (it.value().isObject())
            it.value() = redacted(it.value().toObject());
        else if (secrets.contains(it.key()))
            it.value() = it.value().toString().isEmpty() ? QStringLiteral("Empty") : QStringLiteral("Set");
    }
    return o;
}

QString logText(const QJsonObject& o)
{
    return QString::fromUtf8(QJsonDocument(redacted(o)).toJson(QJsonDocument::Compact)).left(1000);
}

// The service's "message", or the fallback when it gives none.
QString messageOr(const QJsonObject& o, const char* fallback)
{
    const QString m = o.value(QLatin1String("message")).toString();
    return m.isEmpty() ? QString::fromLatin1(fallback) : m;
}

// "status" must be a JSON true and "data" present.
bool accepted(const QJsonObject& o)
{
    return o.value(QLatin1String("status")).toBool(false) && o.contains(QLatin1String("data"));
}

}  // namespace

AngelOneAuth::AngelOneAuth(QObject* parent)
    : QObject(parent),
      networkManager(new QNetworkAccessManager(this)),
      baseUrl(BrokerHosts::angelOneRest()),
      publisherLoginUrl(BrokerHosts::angelOnePublisherLogin())
{
}

AngelOneAuth::~AngelOneAuth() = default;

void AngelOneAuth::setApiKey(const QString& key)
{
    apiKey = key;
    qInfo() << "[AngelOneAuth] API Key set";
}

void AngelOneAuth::setClientCode(const QString& code)
{
    clientCode = code;
    qInfo() << "[AngelOneAuth] Client Code set";
}

void AngelOneAuth::setPassword(const QString& value)
{
    password = value;
    qInfo() << "[AngelOneAuth] Password set";
}

void AngelOneAuth::setTotp(const QString& value)
{
    totp = value;
    qInfo() << "[AngelOneAuth] TOTP set";
}

void AngelOneAuth::setState(const QString& value)
{
    state = value;
    qInfo() << "[AngelOneAuth] State set:" << value;
}

QNetworkRequest AngelOneAuth::smartApiRequest(const QUrl& url, const QString& key)
{
    QNetworkRequest req{url};
    req.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    req.setRawHeader("Accept", "application/json");
    req.setRawHeader("X-UserType", "USER");
    req.setRawHeader("X-SourceID", "WEB");
    req.setRawHeader("X-ClientLocalIP", "127.0.0.1");
    req.setRawHeader("X-ClientPublicIP", "127.0.0.1");
    req.setRawHeader("X-MACAddress", "00:00:00:00:00:00");
    req.setRawHeader("X-PrivateKey", key.toUtf8());
    return req;
}

QNetworkRequest AngelOneAuth::smartApiRequest(const QUrl& url, const QString& key, const QString& bearerToken)
{
    QNetworkRequest req = smartApiRequest(url, key);
    req.setRawHeader("Authorization", QStringLiteral("Bearer %1").arg(bearerToken).toUtf8());
    return req;
}

void AngelOneAuth::fail(const QString& logPrefix, const QString& error)
{
    qWarning().noquote() << logPrefix << error;
    emit authenticationFailed(error);
}

bool AngelOneAuth::readReply(QNetworkReply* reply, const char* failPrefix, const char* label, QJsonObject& out)
{
    if (!reply)
        return false;
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        fail(QString::fromLatin1(failPrefix), reply->errorString());
        return false;
    }
    // A body that is not a JSON object reads as an empty one: "status" false.
    out = QJsonDocument::fromJson(reply->readAll()).object();
    qDebug().noquote() << label << logText(out);
    return true;
}

// ---- direct login --------------------------------------------------------------------------

void AngelOneAuth::login(const QString& key, const QString& code, const QString& pass, const QString& oneTimeCode,
                         const QString& loginState)
{
    apiKey = key;
    clientCode = code;
    password = pass;
    totp = oneTimeCode;
    state = loginState;
    const QJsonObject body{{QStringLiteral("clientcode"), clientCode},
                           {QStringLiteral("password"), password},
                           {QStringLiteral("totp"), totp},
                           {QStringLiteral("state"), state}};
    QNetworkReply* reply = networkManager->post(smartApiRequest(QUrl(baseUrl + QStringLiteral("/rest/auth/angelbroking/user/v1/loginByPassword")), apiKey),
                                                QJsonDocument(body).toJson(QJsonDocument::Indented));
    qDebug() << "[AngelOneAuth] Authenticating with Angel One";
    connect(reply, &QNetworkReply::finished, this, &AngelOneAuth::onLoginFinished);
}

void AngelOneAuth::onLoginFinished()
{
    QJsonObject o;
    if (!readReply(qobject_cast<QNetworkReply*>(sender()), "[AngelOneAuth] Login failed:", "[AngelOneAuth] Login response:", o))
        return;
    if (!accepted(o)) {
        fail(QStringLiteral("[AngelOneAuth] Login failed:"), messageOr(o, "Unknown error during login"));
        return;
    }
    const QJsonObject data = o.value(QLatin1String("data")).toObject();
    jwtToken = data.value(QLatin1String("jwtToken")).toString();
    refreshToken = data.value(QLatin1String("refreshToken")).toString();
    feedToken = data.value(QLatin1String("feedToken")).toString();
    if (jwtToken.isEmpty()) {
        emit authenticationFailed(QStringLiteral("JWT token not received from server"));
        return;
    }
    authenticated = true;
    qInfo() << "[AngelOneAuth] Login successful";
    fetchProfile();
}

void AngelOneAuth::fetchProfile()
{
    if (jwtToken.isEmpty()) {
        emit authenticationFailed(QStringLiteral("JWT token not set"));
        return;
    }
    QNetworkReply* reply = networkManager->get(smartApiRequest(QUrl(baseUrl + QStringLiteral("/rest/secure/angelbroking/user/v1/getProfile")), apiKey, jwtToken));
    qDebug() << "[AngelOneAuth] Fetching profile";
    connect(reply, &QNetworkReply::finished, this, &AngelOneAuth::onProfileFinished);
}

void AngelOneAuth::onProfileFinished()
{
    QJsonObject o;
    if (!readReply(qobject_cast<QNetworkReply*>(sender()), "[AngelOneAuth] Profile fetch failed:", "[AngelOneAuth] Profile response:", o))
        return;
    if (!o.value(QLatin1String("status")).toBool(false)) {
        fail(QStringLiteral("[AngelOneAuth] Profile validation failed:"), messageOr(o, "Profile validation failed"));
        return;
    }
    qInfo() << "[AngelOneAuth] Profile validated successfully";
    emit authenticationSuccessful(jwtToken, refreshToken, feedToken);
}

bool AngelOneAuth::validateToken()
{
    if (jwtToken.isEmpty()) {
        qWarning() << "[AngelOneAuth] Missing JWT token";
        return false;
    }
    fetchProfile();
    return true;
}

// ---- publisher login -----------------------------------------------------------------------

void AngelOneAuth::startPublisherLogin(const QString& key, const QString& redirect, const QString& loginState)
{
    apiKey = key;
    redirectUri = redirect;
    state = loginState;
    const QUrl loginUrl(publisherLoginUrl + QStringLiteral("/publisher-login?api_key=%1&state=%2").arg(apiKey, state),
                        QUrl::TolerantMode);
    qInfo() << "[AngelOneAuth] OAuth URL:" << loginUrl.toString();
    // Without a listener the broker's redirect would reach whatever holds the port.
    if (!startLocalServer())
        return;
    emit authenticationRequired(loginUrl);
    QDesktopServices::openUrl(loginUrl);
}

bool AngelOneAuth::isLocalServerListening() const
{
    return localServer && localServer->isListening();
}

bool AngelOneAuth::startLocalServer()
{
    // One listener for every attempt: a new attempt takes over the browser's idle connections.
    if (!localServer) {
        localServer = new LoopbackRedirectServer(this);
        connect(localServer, &LoopbackRedirectServer::requestLineReceived, this, &AngelOneAuth::onLocalServerConnection);
    }
    if (!localServer->listen({localPort})) {
        qWarning() << "[AngelOneAuth] Failed to start local server on port" << localPort;
        emit authenticationFailed(QStringLiteral("Could not start local server for OAuth callback"));
        return false;
    }
    redirectUri = QStringLiteral("http://localhost:%1").arg(localPort);
    qInfo() << "[AngelOneAuth] Local server started on" << redirectUri;
    return true;
}

void AngelOneAuth::stopLocalServer()
{
    if (!localServer)
        return;
    // Kept: connections it accepted still get the neutral page.
    localServer->close();
}

void AngelOneAuth::onLocalServerConnection(const QString& requestLine, QTcpSocket* client)
{
    // Only the request line is searched: header values (a Referer, say) are not the redirect.
    // The tokens must be query parameters of their own, not the tail of another name.
    static const QRegularExpression authPattern(QStringLiteral("[?&]auth_token=([^&\\s#]+)"));
    static const QRegularExpression feedPattern(QStringLiteral("[?&]feed_token=([^&\\s#]+)"));
    const QRegularExpressionMatch auth = authPattern.match(requestLine);
    const QRegularExpressionMatch feed = feedPattern.match(requestLine);
    // The line carries the session's tokens: the log says only whether each came.
    qDebug() << "[AngelOneAuth] Received redirect, auth_token:" << (auth.hasMatch() ? "Set" : "Empty")
             << "feed_token:" << (feed.hasMatch() ? "Set" : "Empty");
    // This was the redirect: the attempt ends here, whatever the token exchange brings.
    if (localServer)
        localServer->close();
    if (!auth.hasMatch() || !feed.hasMatch()) {
        qWarning() << "[AngelOneAuth] Failed to extract tokens from redirect";
        LoopbackRedirectServer::respond(client, QByteArray(kRedirectBad));
        emit authenticationFailed(QStringLiteral("Failed to extract tokens from redirect"));
        return;
    }
    qInfo() << "[AngelOneAuth] Captured tokens from redirect";
    LoopbackRedirectServer::respond(client, QByteArray(kRedirectOk));
    onRedirectTokens(auth.captured(1), feed.captured(1));
}

void AngelOneAuth::onRedirectTokens(const QString& auth, const QString& feed)
{
    authToken = auth;
    feedToken = feed;
    qInfo() << "[AngelOneAuth] Received auth_token and feed_token from redirect";
    generateTokens(authToken);
}

void AngelOneAuth::generateTokens(const QString& token)
{
    const QJsonObject body{{QStringLiteral("refreshToken"), token}};
    QNetworkReply* reply = networkManager->post(smartApiRequest(QUrl(baseUrl + QStringLiteral("/rest/auth/angelbroking/jwt/v1/generateTokens")), apiKey),
                                                QJsonDocument(body).toJson(QJsonDocument::Indented));
    qDebug() << "[AngelOneAuth] Generating JWT from auth_token";
    connect(reply, &QNetworkReply::finished, this, &AngelOneAuth::onGenerateTokenFinished);
}

void AngelOneAuth::onGenerateTokenFinished()
{
    QJsonObject o;
    if (!readReply(qobject_cast<QNetworkReply*>(sender()), "[AngelOneAuth] Generate token failed:", "[AngelOneAuth] Generate token response:", o))
        return;
    if (!accepted(o)) {
        fail(QStringLiteral("[AngelOneAuth] Generate token failed:"), messageOr(o, "Failed to generate JWT token"));
        return;
    }
    const QJsonObject data = o.value(QLatin1String("data")).toObject();
    jwtToken = data.value(QLatin1String("jwtToken")).toString();
    refreshToken = data.value(QLatin1String("refreshToken")).toString();
    if (jwtToken.isEmpty()) {
        emit authenticationFailed(QStringLiteral("JWT token not received from server"));
        return;
    }
    authenticated = true;
    qInfo() << "[AngelOneAuth] JWT token generated successfully";
    stopLocalServer();
    emit authenticationSuccessful(jwtToken, refreshToken, feedToken);
}
