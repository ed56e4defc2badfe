// Zerodha login.
#include "brokers/zerodha/ZerodhaAuth.h"

#include "brokers/BrokerHosts.h"
#include "brokers/LoginExchange.h"
#include "brokers/LoopbackRedirectServer.h"
#include "brokers/RedirectRequestLine.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QDesktopServices>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrlQuery>

namespace {

QList<quint16> defaultPorts()
{
    QList<quint16> ports;
    for (quint16 p = 8766; p <= 8776; ++p)
        ports.append(p);
    return ports;
}

}  // namespace

ZerodhaAuth::ZerodhaAuth(QObject* parent)
    : QObject(parent),
      networkManager(new QNetworkAccessManager(this)),
      redirectServer(new LoopbackRedirectServer(this)),
      baseUrl(BrokerHosts::zerodhaRest()),
      loginUrl(QStringLiteral("https://kite.zerodha.com/connect/login")),
      redirectPorts(defaultPorts())
{
    connect(redirectServer, &LoopbackRedirectServer::requestLineReceived, this, &ZerodhaAuth::onRedirect);
}

void ZerodhaAuth::setApiKey(const QString& key)
{
    apiKey = key;
}

void ZerodhaAuth::setAccessToken(const QString& token)
{
    accessToken = token;
    authenticated = !token.isEmpty();
    tokenTimestamp = QDateTime::currentDateTime().toString(Qt::ISODate);
}

bool ZerodhaAuth::isListening() const
{
    return redirectServer->isListening();
}

void ZerodhaAuth::startAuthentication(const QString& key, const QString& uri)
{
    apiKey = key;
    if (!redirectServer->listen(redirectPorts)) {
        emit authenticationFailed(QStringLiteral("Could not start the local login server on %1")
                                      .arg(LoopbackRedirectServer::describePorts(redirectPorts)));
        return;
    }
    callbackPort = redirectServer->port();
    redirectUri = uri.isEmpty() ? QStringLiteral("http://127.0.0.1:%1").arg(callbackPort) : uri;
    QUrl url(loginUrl);
    QUrlQuery q;
    q.addQueryItem(QStringLiteral("v"), QStringLiteral("3"));
    q.addQueryItem(QStringLiteral("api_key"), apiKey);
    url.setQuery(q);
    qInfo() << "[ZerodhaAuth] Waiting for the login redirect on port" << callbackPort;
    emit authenticationRequired(url);
    QDesktopServices::openUrl(url);
}

void ZerodhaAuth::onRedirect(const QString& requestLine, QTcpSocket* client)
{
    // The page goes out before the signals: a receiver may open a modal box.
    const QUrl target = RedirectRequestLine::target(requestLine.toLatin1());
    const QUrlQuery q(target);
    if (!target.isValid() || target.path() != QLatin1String("/") || q.isEmpty()) {
        LoopbackRedirectServer::respond(client, RedirectRequestLine::page(404, QStringLiteral("Not found"), QString()));
        return;
    }
    const QString token = q.queryItemValue(QStringLiteral("request_token"));
    const QString status = q.queryItemValue(QStringLiteral("status"));
    redirectServer->close();
    if (token.isEmpty() || (!status.isEmpty() && status != QLatin1String("success"))) {
        LoopbackRedirectServer::respond(
            client, RedirectRequestLine::page(400, QStringLiteral("Login failed"),
                                              QStringLiteral("Zerodha did not return a request token. Please try again.")));
        emit authenticationFailed(QStringLiteral("Zerodha login did not return a request token"));
        return;
    }
    LoopbackRedirectServer::respond(client, RedirectRequestLine::page(200, QStringLiteral("Login successful"),
                                                                      QStringLiteral("You can close this window and return to Tickvane.")));
    qInfo() << "[ZerodhaAuth] Request token captured";
    emit authenticationSuccessful(token);
}

void ZerodhaAuth::exchangeRequestToken(const QString& requestToken, const QString& key, const QString& secret)
{
    const QByteArray checksum =
        QCryptographicHash::hash((key + requestToken + secret).toUtf8(), QCryptographicHash::Sha256).toHex();
    QUrlQuery form;
    form.addQueryItem(QStringLiteral("api_key"), key);
    form.addQueryItem(QStringLiteral("request_token"), requestToken);
    form.addQueryItem(QStringLiteral("checksum"), QString::fromLatin1(checksum));
    QNetworkRequest request(QUrl(baseUrl + QStringLiteral("/session/token")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    request.setRawHeader("X-Kite-Version", "3");
    request.setTransferTimeout(30000);
    QNetworkReply* reply = networkManager->post(request, form.toString(QUrl::FullyEncoded).toUtf8());
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        const QJsonObject root = QJsonDocument::fromJson(reply->readAll()).object();
        const QString token = root.value(QLatin1String("data")).toObject().value(QLatin1String("access_token")).toString();
        if (reply->error() == QNetworkReply::NoError && !token.isEmpty()) {
            setAccessToken(token);
            qInfo() << "[ZerodhaAuth] Session created, access token: Set";
            emit authenticationSuccessful(token);
            return;
        }
        const QString message = loginReplyError(reply, root, QLatin1String("message"), QStringLiteral("No access token in the session reply"));
        qWarning() << "[ZerodhaAuth] Session request failed:" << message;
        emit authenticationFailed(message);
    });
}
