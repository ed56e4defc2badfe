// What the main window hands a broker connector: its configuration map, stream addresses and
// the credential check done before connecting.
#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

class SettingsManager;

class BrokerConfig
{
public:
    // The six Fyers stream addresses, in failover order; entry 0 is handed to the connector.
    static QStringList fyersStreamUrls();
    static QString zerodhaStreamUrl();
    static QString flatTradeStreamUrl();

    // Configuration map for IBroker::initialize, read from the settings at call time so fresh
    // tokens reach the connector. Empty for providers without a connector ("Custom API" and
    // unknown values). TradeJini's keys are camel case, the others snake case.
    static QMap<QString, QString> forProvider(int provider, const SettingsManager& settings,
                                              const QStringList& fyersUrls);

    // The message to show when a credential the provider needs is empty; empty when all are
    // present. A text of blanks counts as present.
    static QString missingCredentials(int provider, const SettingsManager& settings);
};
