// Zerodha login state.
#include "brokers/zerodha/ZerodhaAuth.h"

#include "brokers/BrokerHosts.h"

#include <QDateTime>
#include <QNetworkAccessManager>

ZerodhaAuth::ZerodhaAuth(QObject* parent)
    : QObject(parent), networkManager(new QNetworkAccessManager(this)), baseUrl(BrokerHosts::zerodhaRest())
{
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
