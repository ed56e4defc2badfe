// Upstox browser login: redirect listener, code exchange, profile.
#include "brokers/upstox/UpstoxAuth.h"

#include "brokers/BrokerHosts.h"
#include "brokers/LoopbackRedirectServer.h"

#include <QDebug>
#include <QDesktopServices>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QUrlQuery>

namespace {

const char kSuccessPage[] =
    "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html><body><h2>Authorization successful!</h2>"
    "<p>You can close this window and return to Tickvane.</p></body></html>";
const char kFailurePage[] =
    "HTTP/1.1 400 Bad Request\r\nContent-Type: text/html\r\n\r\n<html><body><h2>Authorization failed</h2>"
    "<p>No authorization code received.</p></body></html>";

// Form values are percent-encoded whole: QUrlQuery would leave '+' alone, which a form decoder
// reads as a space.
QByteArray formField(const char* name, const QString& value)
{
    return QByteArray(name) + '=' + QUrl::toPercentEncoding(value);
}

QString clipped(const QByteArray& body)
{
    const QString text = QString::fromUtf8(body);
    return text.size() > 1000 ? text.left(1000) + QStringLiteral("...") : text;
}

}  // namespace

UpstoxAuth::UpstoxAuth(QObject* parent) : QObject(parent), networkManager(new QNetworkAccessManager(this))
{
    setBaseUrl(BrokerHosts::upstoxRest());
}

UpstoxAuth::~UpstoxAuth() = default;

void UpstoxAuth::setApiKey(const QString& clientId)
{
    apiKey = clientId;
}

void UpstoxAuth::setApiSecret(const QString& secret)
{
    apiSecret = secret;
}

void UpstoxAuth::setRedirectUri(const QString& uri)
{
    redirectUri = uri;
}

void UpstoxAuth::setBaseUrl(const QString& url)
{
    baseUrl = url;
    authUrl = url + QLatin1String("/v2/login/authorization/dialog");
}

bool UpstoxAuth::hasCredentials() const
{
    return !apiKey.isEmpty() && !apiSecret.isEmpty() && !accessToken.isEmpty();
}

bool UpstoxAuth::isListening() const
{
    return localServer && localServer->isListening();
}

void UpstoxAuth::startAuthentication(const QString& key, const QString& secret, const QString& uri)
{
    apiKey = key;
    apiSecret = secret;
    redirectUri = uri;
    // Without a listener the broker's redirect would reach whatever holds the port.
    if (!startLocalServer())
        return;

    QUrl url(authUrl);
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("client_id"), apiKey);
    query.addQueryItem(QStringLiteral("redirect_uri"), redirectUri);
    query.addQueryItem(QStringLiteral("response_type"), QStringLiteral("code"));
    url.setQuery(query);
    qInfo() << "[UpstoxAuth] Opening authorization URL:" << url.toString();
    emit authenticationRequired(url);
    QDesktopServices::openUrl(url);
}

bool UpstoxAuth::startLocalServer()
{
    if (!localServer) {
        localServer = new LoopbackRedirectServer(this);
        connect(localServer, &LoopbackRedirectServer::requestLineReceived, this,
                [this](const QString& line, QTcpSocket* client) { handleCallbackRequest(line.toUtf8(), client); });
    }
    if (!localServer->listen({localPort})) {
        qWarning() << "[UpstoxAuth] Failed to start local server on port" << localPort;
        emit authenticationFailed(QStringLiteral("Failed to start local callback server"));
        return false;
    }
    qInfo() << "[UpstoxAuth] Local server listening on port" << localPort;
    return true;
}

void UpstoxAuth::stopLocalServer()
{
    if (localServer)
        localServer->close();
}

void UpstoxAuth::handleCallbackRequest(const QByteArray& requestLine, QTcpSocket* client)
{
    qDebug() << "[UpstoxAuth] Received callback request";
    // Only the request line is searched: the redirect carries the code in its query, and a
    // header (a referrer, a cookie) must not supply one. The code is a parameter of its own, not
    // the tail of another name ("error_code").
    static const QRegularExpression pattern(QStringLiteral("[?&]code=([^&\\s#]+)"));
    const QString text = QString::fromUtf8(requestLine);
    const QRegularExpressionMatch match = pattern.match(text);
    // This was the redirect, with a code or without: the attempt ends here.
    stopLocalServer();
    if (!match.hasMatch()) {
        qWarning() << "[UpstoxAuth] No authorization code in request";
        LoopbackRedirectServer::respond(client, QByteArray(kFailurePage));
        emit authenticationFailed(QStringLiteral("No authorization code received"));
        return;
    }
    const QString code = match.captured(1);
    qInfo() << "[UpstoxAuth] Authorization code received";
    LoopbackRedirectServer::respond(client, QByteArray(kSuccessPage));
    exchangeCodeForToken(code);
}

void UpstoxAuth::exchangeCodeForToken(const QString& code)
{
    QNetworkRequest request(QUrl(baseUrl + QLatin1String("/v2/login/authorization/token")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.setRawHeader("Accept", "application/json");
    // The code arrives as it stood in the redirect URL, percent escapes and all: decode it once
    // so that encoding it for the form does not escape its escapes.
    const QString plainCode = QString::fromUtf8(QByteArray::fromPercentEncoding(code.toUtf8()));
    const QByteArray body = formField("code", plainCode) + '&' + formField("client_id", apiKey) + '&'
        + formField("client_secret", apiSecret) + '&' + formField("redirect_uri", redirectUri) + '&'
        + formField("grant_type", QStringLiteral("authorization_code"));
    qInfo() << "[UpstoxAuth] Exchanging authorization code for access token";
    QNetworkReply* reply = networkManager->post(request, body);
    connect(reply, &QNetworkReply::finished, this, &UpstoxAuth::onTokenExchangeFinished);
}

void UpstoxAuth::onTokenExchangeFinished()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    const QByteArray body = reply->readAll();
    if (reply->error() != QNetworkReply::NoError) {
        const QString error = reply->errorString();
        qWarning() << "[UpstoxAuth] Token exchange failed:" << error;
        qDebug() << "[UpstoxAuth] Response:" << clipped(body);
        emit authenticationFailed(error);
        return;
    }
    const QJsonObject obj = QJsonDocument::fromJson(body).object();
    const QJsonValue token = obj.value(QLatin1String("access_token"));
    // Only a real token is a success: an empty or non-text value would be stored and fail later.
    if (!token.isString() || token.toString().isEmpty()) {
        QString message = obj.value(QLatin1String("message")).toString();
        if (message.isEmpty())
            message = QStringLiteral("No access token in response");
        qWarning() << "[UpstoxAuth] Token exchange failed:" << message;
        emit authenticationFailed(message);
        return;
    }
    accessToken = token.toString();
    authenticated = true;
    qInfo() << "[UpstoxAuth] Access token received successfully";
    emit authenticationSuccessful(accessToken);
    fetchProfile();
}

void UpstoxAuth::fetchProfile()
{
    if (accessToken.isEmpty()) {
        qWarning() << "[UpstoxAuth] Cannot fetch profile: no access token";
        return;
    }
    QNetworkRequest request(QUrl(baseUrl + QLatin1String("/v2/user/profile")));
    request.setRawHeader("Authorization", QStringLiteral("Bearer %1").arg(accessToken).toUtf8());
    request.setRawHeader("Accept", "application/json");
    qInfo() << "[UpstoxAuth] Fetching user profile";
    QNetworkReply* reply = networkManager->get(request);
    connect(reply, &QNetworkReply::finished, this, &UpstoxAuth::onProfileRequestFinished);
}

void UpstoxAuth::onProfileRequestFinished()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        qWarning() << "[UpstoxAuth] Profile fetch failed:" << reply->errorString();
        return;
    }
    const QJsonObject obj = QJsonDocument::fromJson(reply->readAll()).object();
    if (!obj.contains(QLatin1String("data"))) {
        qWarning() << "[UpstoxAuth] Invalid profile response";
        return;
    }
    const QJsonObject data = obj.value(QLatin1String("data")).toObject();
    userId = data.value(QLatin1String("user_id")).toString();
    userName = data.value(QLatin1String("user_name")).toString();
    email = data.value(QLatin1String("email")).toString();
    qInfo() << "[UpstoxAuth] Profile received - User:" << userName << "ID:" << userId;
    emit profileReceived(data);
}
