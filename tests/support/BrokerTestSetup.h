// The start every connector test shares: settings written to a test folder under a name of the
// test's own, the market-data types known to queued signals and, for tests whose expected epochs
// are local times, the exchange's zone.
#pragma once

#include "core/MarketData.h"

#include <QCoreApplication>
#include <QStandardPaths>

#include <ctime>

inline void setUpBrokerTest(const char* name, bool exchangeZone = false)
{
    if (exchangeZone) {
        qputenv("TZ", "Asia/Kolkata");
        tzset();
    }
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("TickvaneTest"));
    QCoreApplication::setApplicationName(QString::fromLatin1(name));
    registerMarketDataTypes();
}
