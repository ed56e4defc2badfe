// Dhan consent login, profile check and token renewal.
#include "brokers/dhan/DhanAuth.h"

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
#include <QTimer>
#include <QUrlQuery>

namespace {

const char kSuccessPage[] =
    "HTTP/1.1 200 OK\r\n"
    "Content-Type: text/html; charset=utf-8\r\n"
    "\r\n"
    "<html><head><title>Authentication Successful</title></head>"
    "<body style='font-family: Arial, sans-serif; text-align: center; padding: 50px;'>"
    "<h1 style='color: green;'>\xE2\x9C\x93 Authentication Successful!</h1>"
    "<p>You have successfully authenticated with Dhan.</p>"
    "<p>You can close this window and return to Tickvane.</p></body></html>";

const char kFailurePage[] =
    "HTTP/1.1 400 Bad Request\r\n"
    "Content-Type: text/html; charset=utf-8\r\n"
    "\r\n"
    "<html><head><title>Authentication Failed</title></head>"
    "<body style='font-family: Arial, sans-serif; text-align: center; padding: 50px;'>"
    "<h1 style='color: red;'>\xE2\x9C\x97 Authentication Failed</h1>"
    "<p>No tokenId received from Dhan.</p></body></html>";

QString wrapped(const QString& message)
{
    return QStringLiteral("Failed to authenticate with Dhan:\n\n%1\n\nPlease check your API credentials and try again.")
        .arg(message);
}

QJsonObject objectOf(const QByteArray& body)
{
    return QJsonDocument::fromJson(body).object();
}

QString str(const QJsonObject& o, const char* key)
{
    return o.value(QLatin1String(key)).toString();
}

QString messageOr(const QJsonObject& o, const char* fallback)
{
    const QString message = str(o, "message");
    return message.isEmpty() ? QString::fromLatin1(fallback) : message;
}

// Untrusted text goes to the log cut short.
QString clipped(const QByteArray& bytes, int max = 1000)
{
    const QString text = QString::fromUtf8(bytes.left(max));
    return bytes.size() > max ? text + QStringLiteral("...") : text;
}

// Qt's text for an HTTP error quotes the whole URL: the consent exchange carries the one-time
// token id in its query, which must reach no log line and no box.
QString errorWithoutQuery(const QNetworkReply* reply)
{
    QString text = reply->errorString();
    const QUrl url = reply->url();
    const QUrl::FormattingOptions forms[] = {QUrl::PrettyDecoded, QUrl::FullyEncoded, QUrl::FullyDecoded};
    for (QUrl::FormattingOptions form : forms)
        text.replace(url.toString(form), url.toString(form | QUrl::RemoveQuery));
    return text;
}

}  // namespace

DhanAuth::DhanAuth(QObject* parent)
    : QObject(parent),
      networkManager(new QNetworkAccessManager(this)),
      apiBaseUrl(BrokerHosts::dhanRest()),
      authBaseUrl(BrokerHosts::dhanAuth()),
      localServer(new LoopbackRedirectServer(this))
{
    connect(localServer, &LoopbackRedirectServer::requestLineReceived, this,
            [this](const QString& line, QTcpSocket* client) {
                LoopbackRedirectServer::respond(client, handleOAuthRedirect(line));
            });
}

void DhanAuth::setApiKey(const QString& key)
{
    apiKey = key;
    qInfo() << "[DhanAuth] API Key set";
}

void DhanAuth::setApiSecret(const QString& secret)
{
    apiSecret = secret;
    qInfo() << "[DhanAuth] API Secret set";
}

void DhanAuth::setClientId(const QString& id)
{
    clientId = id;
    qInfo() << "[DhanAuth] Client ID set:" << id;
}

void DhanAuth::setAccessToken(const QString& token, const QString& id)
{
    accessToken = token;
    clientId = id;
    authenticated = !token.isEmpty();
    qInfo() << "[DhanAuth] Access Token set directly (24-hour validity from Dhan Web)";
    if (authenticated)
        emit authenticationSuccessful(accessToken, clientId);
}

bool DhanAuth::isListening() const
{
    return localServer->isListening();
}

void DhanAuth::startAuthentication(const QString& key, const QString& secret, const QString& id, const QString& uri)
{
    apiKey = key;
    apiSecret = secret;
    clientId = id;
    redirectUri = uri;

    const QNetworkRequest request = appRequest(QStringLiteral("/app/generate-consent"), QStringLiteral("client_id"), clientId);
    const QUrl url = request.url();

    // The app id identifies the app and may be shown shortened; the secret never is.
    const QString keyShown = apiKey.isEmpty() ? QStringLiteral("EMPTY") : apiKey.left(10) + QStringLiteral("...");
    qInfo() << "[DhanAuth] ========================================";
    qInfo() << "[DhanAuth] Step 1: Generating consent with API key";
    qInfo() << "[DhanAuth] URL:" << url.toString();
    qInfo() << "[DhanAuth] API Key (app_id):" << keyShown;
    qInfo() << "[DhanAuth] API Secret (app_secret):" << (apiSecret.isEmpty() ? "EMPTY" : "Set");
    qInfo() << "[DhanAuth] Client ID:" << (clientId.isEmpty() ? QStringLiteral("EMPTY") : clientId);
    qInfo() << "[DhanAuth] Redirect URI:" << redirectUri;
    qInfo() << "[DhanAuth] ========================================";

    // Without a listener the broker's redirect would reach whatever holds the port: no consent,
    // no browser.
    if (!startLocalServer())
        return;

    // Qt would add this type to a bodiless POST anyway (with a warning); say it outright.
    QNetworkRequest post(request);
    post.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    QNetworkReply* reply = networkManager->post(post, QByteArray());
    connect(reply, &QNetworkReply::finished, this, &DhanAuth::onGenerateConsentFinished);
}

bool DhanAuth::startLocalServer()
{
    if (localServer->listen({localPort})) {
        qInfo() << "[DhanAuth] Local callback server started on" << redirectUri;
        return true;
    }
    qWarning() << "[DhanAuth] Failed to start local server on port" << localPort;
    qWarning() << "[DhanAuth] Error:" << localServer->errorString();
    emit authenticationFailed(
        QStringLiteral("Could not start local server on port %1.\nPlease ensure no other application is using this port.")
            .arg(localPort));
    return false;
}

void DhanAuth::stopLocalServer()
{
    if (!localServer->isListening())
        return;
    localServer->close();
    qInfo() << "[DhanAuth] Local callback server stopped";
}

void DhanAuth::onGenerateConsentFinished()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    const QByteArray body = reply->readAll();

    if (reply->error() != QNetworkReply::NoError) {
        QString error = reply->errorString();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        qWarning() << "[DhanAuth] Generate consent failed with status code:" << status;
        qWarning() << "[DhanAuth] Error:" << error;
        qWarning() << "[DhanAuth] Response:" << clipped(body);
        const QJsonDocument doc = QJsonDocument::fromJson(body);
        const QString message = str(doc.object(), "message");
        if (!doc.isNull() && !message.isEmpty())
            error = message;
        stopLocalServer();
        emit authenticationFailed(wrapped(error));
        return;
    }

    const QJsonObject o = objectOf(body);
    // The reply names the consent, which opens the login page: the log gets its status only.
    qDebug() << "[DhanAuth] Generate consent response, status:" << str(o, "status")
             << "consentAppId:" << (str(o, "consentAppId").isEmpty() ? "Empty" : "Set");
    if (str(o, "status") != QLatin1String("success")) {
        const QString message = messageOr(o, "Generate consent failed");
        qWarning() << "[DhanAuth]" << message;
        stopLocalServer();
        emit authenticationFailed(wrapped(message));
        return;
    }
    consentAppId = str(o, "consentAppId");
    qInfo() << "[DhanAuth] Step 1 success - Consent generated, id:" << (consentAppId.isEmpty() ? "Empty" : "Set");
    qInfo() << "[DhanAuth] Consent status:" << str(o, "consentStatus");
    emit consentGenerated(consentAppId);
    const QUrl loginUrl(QStringLiteral("%1/login/consentApp-login?consentAppId=%2").arg(authBaseUrl, consentAppId));
    qInfo() << "[DhanAuth] Step 2: Opening browser for user login";
    qInfo() << "[DhanAuth] User will be redirected with tokenId to:" << redirectUri;
    emit authenticationRequired(loginUrl);
    QDesktopServices::openUrl(loginUrl);
}

QByteArray DhanAuth::handleOAuthRedirect(const QString& text)
{
    // Only the request line is searched: a header cannot pose as the redirect.
    static const QRegularExpression pattern(QStringLiteral("GET /\\?tokenId=([^&\\s]+)"));
    const QRegularExpressionMatch m = pattern.match(text);
    // The line carries the one-time token id: the log says only whether it came.
    qDebug() << "[DhanAuth] Received OAuth redirect, tokenId:" << (m.hasMatch() ? "Set" : "Empty");
    stopLocalServer();
    if (m.hasMatch()) {
        const QString tokenId = m.captured(1);
        qInfo() << "[DhanAuth] Step 2 complete - Received tokenId from browser redirect";
        // The exchange starts once the page is on its way to the browser.
        QTimer::singleShot(0, this, [this, tokenId] { consumeConsent(tokenId); });
        return QByteArray(kSuccessPage);
    }
    QTimer::singleShot(0, this,
                       [this] { emit authenticationFailed(QStringLiteral("No tokenId received from Dhan OAuth redirect")); });
    return QByteArray(kFailurePage);
}

QNetworkRequest DhanAuth::appRequest(const QString& path, const QString& key, const QString& value) const
{
    QUrl url(authBaseUrl + path);
    QUrlQuery query;
    query.addQueryItem(key, value);
    url.setQuery(query);
    QNetworkRequest request(url);
    request.setRawHeader("app_id", apiKey.toUtf8());
    request.setRawHeader("app_secret", apiSecret.toUtf8());
    return request;
}

bool DhanAuth::takeReplyObject(const char* failureLine, QJsonObject& object)
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return false;
    reply->deleteLater();
    // An HTTP error status counts as a failed exchange: its body is not read.
    if (reply->error() != QNetworkReply::NoError) {
        const QString error = errorWithoutQuery(reply);
        qWarning() << failureLine << error;
        emit authenticationFailed(error);
        return false;
    }
    object = objectOf(reply->readAll());
    return true;
}

void DhanAuth::consumeConsent(const QString& tokenId)
{
    if (apiKey.isEmpty() || apiSecret.isEmpty()) {
        emit authenticationFailed(QStringLiteral("API key or secret not set"));
        return;
    }
    QNetworkReply* reply =
        networkManager->get(appRequest(QStringLiteral("/app/consumeApp-consent"), QStringLiteral("tokenId"), tokenId));
    qDebug() << "[DhanAuth] Step 3: Consuming consent with tokenId";
    connect(reply, &QNetworkReply::finished, this, &DhanAuth::onConsumeConsentFinished);
}

void DhanAuth::onConsumeConsentFinished()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    const QString tokenId = reply ? QUrlQuery(reply->url()).queryItemValue(QStringLiteral("tokenId")) : QString();
    QJsonObject o;
    if (!takeReplyObject("[DhanAuth] Consume consent failed:", o))
        return;
    // Only a real token is a login: an empty or non-text one would be stored and fail later.
    const QString token = str(o, "accessToken");
    if (token.isEmpty()) {
        QString message = messageOr(o, "Failed to get access token");
        // A refusal may quote the one-time token id back.
        if (!tokenId.isEmpty())
            message.replace(tokenId, QStringLiteral("***"));
        qWarning() << "[DhanAuth] Consume consent failed:" << message;
        emit authenticationFailed(message);
        return;
    }
    accessToken = token;
    clientId = str(o, "dhanClientId");
    clientName = str(o, "dhanClientName");
    clientUcc = str(o, "dhanClientUcc");
    givenPowerOfAttorney = o.value(QStringLiteral("givenPowerOfAttorney")).toBool(false);
    expiryTime = str(o, "expiryTime");
    authenticated = true;
    qInfo() << "[DhanAuth] Step 3 success - Authentication successful";
    qInfo() << "[DhanAuth] Client ID:" << clientId;
    qInfo() << "[DhanAuth] Client Name:" << clientName;
    qInfo() << "[DhanAuth] Client UCC:" << clientUcc;
    qInfo() << "[DhanAuth] Power of Attorney:" << givenPowerOfAttorney;
    qInfo() << "[DhanAuth] Access Token expires:" << expiryTime;
    emit authenticationSuccessful(accessToken, clientId);
}

void DhanAuth::fetchProfile()
{
    if (accessToken.isEmpty()) {
        emit authenticationFailed(QStringLiteral("Access token not set"));
        return;
    }
    QNetworkRequest request(QUrl(apiBaseUrl + QStringLiteral("/v2/profile")));
    request.setRawHeader("access-token", accessToken.toUtf8());
    QNetworkReply* reply = networkManager->get(request);
    qDebug() << "[DhanAuth] Fetching profile";
    connect(reply, &QNetworkReply::finished, this, &DhanAuth::onProfileRequestFinished);
}

void DhanAuth::onProfileRequestFinished()
{
    QJsonObject o;
    if (!takeReplyObject("[DhanAuth] Profile fetch failed:", o))
        return;
    if (!o.contains(QStringLiteral("dhanClientId"))) {
        qWarning() << "[DhanAuth]" << "Invalid profile response";
        emit authenticationFailed(QStringLiteral("Invalid profile response"));
        return;
    }
    clientId = str(o, "dhanClientId");
    authenticated = true;
    qInfo() << "[DhanAuth] Profile validated successfully";
    qInfo() << "[DhanAuth] Client ID:" << clientId;
    qInfo() << "[DhanAuth] Token valid until:" << str(o, "tokenValidity");
    qInfo() << "[DhanAuth] Active segments:" << str(o, "activeSegment");
    qInfo() << "[DhanAuth] DDPI status:" << str(o, "ddpi");
    qInfo() << "[DhanAuth] Data plan:" << str(o, "dataPlan");
    qInfo() << "[DhanAuth] Data valid until:" << str(o, "dataValidity");
    emit authenticationSuccessful(accessToken, clientId);
    emit profileReceived(o);
}

bool DhanAuth::validateToken()
{
    if (accessToken.isEmpty()) {
        qWarning() << "[DhanAuth] Missing access token";
        return false;
    }
    fetchProfile();
    return true;
}

void DhanAuth::refreshToken()
{
    if (accessToken.isEmpty() || clientId.isEmpty()) {
        emit authenticationFailed(QStringLiteral("Access token or client ID not set"));
        return;
    }
    QNetworkRequest request(QUrl(apiBaseUrl + QStringLiteral("/v2/RenewToken")));
    request.setRawHeader("access-token", accessToken.toUtf8());
    request.setRawHeader("dhanClientId", clientId.toUtf8());
    QNetworkReply* reply = networkManager->get(request);
    qDebug() << "[DhanAuth] Refreshing access token";
    connect(reply, &QNetworkReply::finished, this, &DhanAuth::onRefreshTokenFinished);
}

void DhanAuth::onRefreshTokenFinished()
{
    QJsonObject o;
    if (!takeReplyObject("[DhanAuth] Refresh token failed:", o))
        return;
    const QString token = str(o, "accessToken");
    if (token.isEmpty()) {
        const QString message = messageOr(o, "Token refresh failed");
        qWarning() << "[DhanAuth]" << message;
        emit authenticationFailed(message);
        return;
    }
    accessToken = token;
    expiryTime = str(o, "expiryTime");
    qInfo() << "[DhanAuth] Token refreshed successfully (24-hour validity)";
    qInfo() << "[DhanAuth] New expiry:" << expiryTime;
    emit authenticationSuccessful(accessToken, clientId);
}
