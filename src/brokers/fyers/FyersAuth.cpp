// Fyers login state.
#include "brokers/fyers/FyersAuth.h"

#include "brokers/BrokerHosts.h"

#include <QNetworkAccessManager>

FyersAuth::FyersAuth(QObject* parent)
    : QObject(parent),
      networkManager(new QNetworkAccessManager(this)),
      baseUrl(BrokerHosts::fyersRest() + QLatin1String("/api/v3"))
{
}
