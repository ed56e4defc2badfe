// Upstox login state.
#include "brokers/upstox/UpstoxAuth.h"

#include "brokers/BrokerHosts.h"

#include <QNetworkAccessManager>

UpstoxAuth::UpstoxAuth(QObject* parent) : QObject(parent), networkManager(new QNetworkAccessManager(this))
{
    setBaseUrl(BrokerHosts::upstoxRest());
}

void UpstoxAuth::setApiKey(const QString& clientId)
{
    apiKey = clientId;
}

void UpstoxAuth::setApiSecret(const QString& secret)
{
    apiSecret = secret;
}

void UpstoxAuth::setBaseUrl(const QString& url)
{
    baseUrl = url;
    authUrl = url + QLatin1String("/v2/login/authorization/dialog");
}
