// FlatTrade login.
#include "brokers/flattrade/FlatTradeAuth.h"

#include "brokers/LoginExchange.h"
#include "brokers/LoopbackRedirectServer.h"
#include "brokers/RedirectRequestLine.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDesktopServices>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrlQuery>

FlatTradeAuth::FlatTradeAuth(QObject* parent)
    : QObject(parent),
      networkManager(new QNetworkAccessManager(this)),
      redirectServer(new LoopbackRedirectServer(this)),
      loginUrl(QStringLiteral("https://auth.flattrade.in/")),
      tokenBaseUrl(QStringLiteral("https://authapi.flattrade.in"))
{
    for (quint16 p = 8765; p <= 8775; ++p)
        redirectPorts.append(p);
    connect(redirectServer, &LoopbackRedirectServer::requestLineReceived, this, &FlatTradeAuth::onRedirect);
}

bool FlatTradeAuth::isListening() const
{
    return redirectServer->isListening();
}

quint16 FlatTradeAuth::redirectPort() const
{
    return redirectServer->port();
}

void FlatTradeAuth::startAuthentication()
{
    if (apiKey.isEmpty()) {
        emit authenticationFailed(QStringLiteral("API Key is empty"));
        return;
    }
    if (!redirectServer->listen(redirectPorts)) {
        emit authenticationFailed(QStringLiteral("Could not start the local login server on %1")
                                      .arg(LoopbackRedirectServer::describePorts(redirectPorts)));
        return;
    }
    QUrl url(loginUrl);
    QUrlQuery q;
    q.addQueryItem(QStringLiteral("app_key"), apiKey);
    url.setQuery(q);
    qInfo() << "[FlatTradeAuth] Waiting for the login redirect on port" << redirectServer->port();
    if (!QDesktopServices::openUrl(url)) {
        // Nothing would ever reach the listener: stop it rather than leave the port taken.
        redirectServer->close();
        emit authenticationFailed(QStringLiteral("Failed to open browser for authorization"));
        return;
    }
    emit authenticationRequired(url);
}

void FlatTradeAuth::onRedirect(const QString& requestLine, QTcpSocket* client)
{
    // The page goes out before the signals: a receiver may open a modal box.
    const QUrl target = RedirectRequestLine::target(requestLine.toLatin1());
    const QUrlQuery q(target);
    if (!target.isValid() || q.isEmpty()) {
        LoopbackRedirectServer::respond(client, RedirectRequestLine::page(404, QStringLiteral("Not found"), QString()));
        return;
    }
    const QString code = q.queryItemValue(QStringLiteral("code"));
    redirectServer->close();
    if (code.isEmpty()) {
        LoopbackRedirectServer::respond(
            client, RedirectRequestLine::page(400, QStringLiteral("Login failed"),
                                              QStringLiteral("FlatTrade did not return a request code. Please try again.")));
        emit authenticationFailed(QStringLiteral("FlatTrade login did not return a request code"));
        return;
    }
    LoopbackRedirectServer::respond(client, RedirectRequestLine::page(200, QStringLiteral("Login successful"),
                                                                      QStringLiteral("You can close this window and return to Tickvane.")));
    exchangeCode(code);
}

void FlatTradeAuth::exchangeCode(const QString& code)
{
    const QByteArray hash =
        QCryptographicHash::hash((apiKey + code + apiSecret).toUtf8(), QCryptographicHash::Sha256).toHex();
    QJsonObject body;
    body.insert(QStringLiteral("api_key"), apiKey);
    body.insert(QStringLiteral("request_code"), code);
    body.insert(QStringLiteral("api_secret"), QString::fromLatin1(hash));
    QNetworkReply* reply = postLoginJson(networkManager, QUrl(tokenBaseUrl + QStringLiteral("/trade/apitoken")), body);
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        const QJsonObject root = QJsonDocument::fromJson(reply->readAll()).object();
        const QString token = root.value(QLatin1String("token")).toString();
        if (reply->error() == QNetworkReply::NoError && !token.isEmpty()) {
            accessToken = token;
            qInfo() << "[FlatTradeAuth] Request code exchanged, access token: Set";
            emit authenticationSuccessful(token, root.value(QLatin1String("client")).toString());
            return;
        }
        const QString message = loginReplyError(reply, root, QLatin1String("emsg"), QStringLiteral("No access token in the reply"));
        qWarning() << "[FlatTradeAuth] Token request failed:" << message;
        emit authenticationFailed(message);
    });
}
