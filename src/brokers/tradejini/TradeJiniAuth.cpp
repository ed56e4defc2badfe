// TradeJini login.
#include "brokers/tradejini/TradeJiniAuth.h"

#include "brokers/BrokerHosts.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QTimer>

TradeJiniAuth::TradeJiniAuth(QObject* parent)
    : QObject(parent),
      networkManager(new QNetworkAccessManager(this)),
      baseUrl(BrokerHosts::tradeJiniRest() + QLatin1String("/v2")),
      expiryTimer(new QTimer(this)),
      warningTimer(new QTimer(this))
{
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

void TradeJiniAuth::onTokenExpired()
{
    accessToken.clear();
    emit tokenExpired();
}

void TradeJiniAuth::onTokenExpiringSoon()
{
    emit tokenExpiringIn5Minutes();
}
