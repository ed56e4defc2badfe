// The main window's instrument masters: handing the repository and settings to the connector,
// loading the current broker's master through the symbol manager, and the cache reset.
#include "ui/MainWindow.h"

#include "brokers/BrokerAPI.h"
#include "brokers/HistoricalDownloader.h"
#include "brokers/angelone/AngelOneBroker.h"
#include "brokers/dhan/DhanBroker.h"
#include "brokers/flattrade/FlatTradeBroker.h"
#include "brokers/fyers/FyersBroker.h"
#include "brokers/tradejini/TradeJiniBroker.h"
#include "brokers/zerodha/ZerodhaBroker.h"
#include "core/SettingsManager.h"
#include "symbols/SymbolRepository.h"
#include "ui/UserPrompts.h"
#include "ui/dialogs/SymbolManager.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QQueue>
#include <QTimer>
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
    } else if (auto* dhan = qobject_cast<DhanBroker*>(broker)) {
        dhan->setSymbolRepository(symbolRepository);
        dhan->setSettingsManager(settings);
        qDebug() << "[MainWindow] Set SymbolRepository and SettingsManager on DhanBroker";
    } else if (auto* angelOne = qobject_cast<AngelOneBroker*>(broker)) {
        angelOne->setSymbolRepository(symbolRepository);
        angelOne->setSettingsManager(settings);
        qDebug() << "[MainWindow] Set SymbolRepository and SettingsManager on AngelOneBroker "
                    "(redundant check)";
    } else if (auto* fyers = qobject_cast<FyersBroker*>(broker)) {
        // The connector also names its ticks and history after the instrument master, so it
        // gets the repository here as well.
        fyers->setSymbolRepository(symbolRepository);
        fyers->setSettingsManager(settings);
        qDebug() << "[MainWindow] Set SettingsManager on FyersBroker";
    }
}

SymbolManager* MainWindow::ensureSymbolManager(bool forUser)
{
    if (symbolManager)
        return symbolManager;
    symbolManager = new SymbolManager(settings, symbolRepository, this);
    if (seams.prepareSymbolManager)
        seams.prepareSymbolManager(symbolManager);
    // A subscription made before the master was in resolved fewer items (or none): once a load
    // brings records, the watchlist is subscribed again. Without records nothing changes, and a
    // new subscription would only ask for another load.
    const auto resubscribe = [this] {
        if (symbolManager && symbolManager->hasSymbols())
            onSettingsChanged();
    };
    connect(symbolManager, &SymbolManager::allExchangesLoaded, this, resubscribe);
    connect(symbolManager, &SymbolManager::loadFinished, this, [resubscribe](bool ok) {
        if (ok)
            resubscribe();
    });
    if (!symbolLookups)
        symbolLookups = symbolManager;
    if (forUser) {
        symbolManager->setBrokerApi(brokerAPI);
        if (historicalDownloader)
            historicalDownloader->setSymbolProvider(symbolManager);
        updateBrokerWithSymbolManager();
    }
    return symbolManager;
}

void MainWindow::autoLoadSymbolData()
{
    const int provider = settings->provider();
    const QString broker = SettingsManager::providerName(provider);
    qDebug() << "[Startup] Auto-loading symbol data for broker:" << broker;
    if (provider == SettingsManager::CustomAPI)
        return;  // no instrument master: the watchlist holds the symbols themselves
    QStringList items = settings->watchlistForBroker(broker);
    if (items.isEmpty())
        items = settings->watchlist();
    if (items.isEmpty()) {
        qDebug() << "[Startup] No watchlist items for broker" << broker
                 << ", skipping symbol data loading";
        return;
    }
    qDebug().noquote() << "[Startup] Found" << items.size()
                       << QStringLiteral("watchlist items: (%1)").arg(items.join(QStringLiteral(", ")));
    if (!symbolManager) {
        ensureSymbolManager(false);
        qDebug() << "[Startup] Created SymbolManager for auto-loading symbols";
    }

    // The first item tells whether the master is loaded already.
    const QString first = items.first();
    const QString probe = symbolManager->getSymbolForToken(first);
    const bool loaded = !probe.isEmpty() && probe != first;
    qDebug() << "[Startup] Testing token" << first << "-> symbol:" << probe << "hasData:" << loaded;
    if (loaded) {
        qDebug() << "[Startup] Symbol data already loaded, refreshing watchlist display";
        refreshWatchlistDisplay();
        return;
    }
    statusMessageLabel->setText(
        QStringLiteral("Loading %1 symbol data to convert tokens to symbol names...").arg(broker));

    int followUpMs = 800;
    switch (provider) {
    case SettingsManager::Fyers:
        qDebug() << "[Startup] Force-loading Fyers symbols (background, no UI)";
        symbolManager->loadFyersForSelectedExchange();
        followUpMs = 1500;
        break;
    case SettingsManager::Zerodha:
        qDebug() << "[Startup] Force-loading Zerodha symbols (silent)";
        symbolManager->loadZerodhaSymbolsSilent(QStringLiteral("NSE"));
        break;
    case SettingsManager::FlatTrade:
        qDebug() << "[Startup] Force-loading FlatTrade symbols from all exchanges (silent)";
        symbolManager->loadSymbolsSilently(QStringLiteral("FlatTrade"));
        break;
    case SettingsManager::TradeJini:
        qDebug() << "[Startup] Force-loading TradeJini symbols from all exchanges (silent)";
        symbolManager->loadSymbolsSilently(QStringLiteral("TradeJini"));
        break;
    default:
        // Their masters come with the repository's own load at start-up. Nothing here replaces the
        // text above, so when the broker came up first and nothing could be subscribed, the notice
        // that says why is put back.
        if (!unresolvedNotice.isEmpty())
            statusMessageLabel->setText(unresolvedNotice);
        return;
    }
    // A fixed pause, not the load's end: the table is rebuilt again when the repository
    // announces new symbols.
    if (seams.masterFollowUpMs >= 0)
        followUpMs = seams.masterFollowUpMs;
    QTimer::singleShot(followUpMs, this, [this, provider] {
        refreshWatchlistDisplay();
        updateBrokerWithSymbolManager();
        if (provider == SettingsManager::TradeJini)
            updateSymbolCompleter();
    });
}

void MainWindow::onLoadSymbolDataAction()
{
    const QString broker = SettingsManager::providerName(settings->provider());
    if (settings->provider() == SettingsManager::CustomAPI) {
        statusMessageLabel->setText(QStringLiteral(
            "Custom API has no symbol data to load: type a symbol into Quick Add and press Enter."));
        return;
    }
    qDebug() << "[Manual] Force loading symbol data for broker:" << broker;
    ensureSymbolManager(true);
    // The dialog's own choice starts at its first broker; the user asked for the current one.
    // A broker the dialog does not offer has nothing to load there: its load button would
    // fetch another broker's master.
    if (!symbolManager->selectBroker(broker)) {
        masterLoadQueued = false;
        qInfo().noquote() << QStringLiteral("[Manual] The Symbol Manager has no symbol data to "
                                            "load for %1; nothing loaded").arg(broker);
        statusMessageLabel->setText(
            QStringLiteral("The Symbol Manager has no symbol data to load for %1.").arg(broker));
        return;
    }
    statusMessageLabel->setText(QStringLiteral("Loading %1 symbol data...").arg(broker));
    symbolManager->show();
    symbolManager->raise();
    symbolManager->activateWindow();

    QTimer::singleShot(seams.loadButtonDelayMs, this, [this] {
        masterLoadQueued = false;
        if (!symbolManager)
            return;
        // The dialog's first button, direct children before grandchildren, is its load button.
        QPushButton* button = nullptr;
        QQueue<QObject*> queue;
        queue.enqueue(symbolManager);
        while (!queue.isEmpty() && !button) {
            for (QObject* child : queue.dequeue()->children()) {
                if (auto* b = qobject_cast<QPushButton*>(child)) {
                    button = b;
                    break;
                }
                queue.enqueue(child);
            }
        }
        if (button && (button->text().contains(QLatin1String("Load"))
                       || button->text().contains(QLatin1String("NSE")))) {
            qDebug() << "[Manual] Auto-clicking load button:" << button->text();
            // The outcome is reported when the load ends, not after a guessed pause; a failed
            // load keeps the dialog open with its own error.
            auto* once = new QObject(this);
            connect(symbolManager, &SymbolManager::loadFinished, once, [this, once](bool ok) {
                once->deleteLater();
                refreshWatchlistDisplay();
                if (!ok) {
                    statusMessageLabel->setText(QStringLiteral(
                        "Symbol data loading failed. See the Symbol Manager for the reason."));
                    return;
                }
                if (symbolManager)
                    symbolManager->hide();
                statusMessageLabel->setText(
                    QStringLiteral("Symbol data loading completed. Watchlist refreshed."));
            });
            button->click();
        } else {
            qDebug() << "[Manual] Could not find load button, keeping dialog open";
            statusMessageLabel->setText(QStringLiteral(
                "Symbol Manager opened. Please click 'Load Symbols' button to load symbol data."));
        }
    });
}

void MainWindow::updateBrokerWithSymbolManager()
{
    if (!brokerAPI || !symbolManager) {
        qDebug() << "[MainWindow] Cannot update broker: brokerAPI or symbolManager is null";
        return;
    }
    IBroker* broker = brokerAPI->implementation();
    if (!broker) {
        qDebug() << "[MainWindow] Cannot update broker: no broker implementation set";
        return;
    }
    if (auto* flatTrade = qobject_cast<FlatTradeBroker*>(broker)) {
        flatTrade->setSymbolRepository(symbolRepository);
        qDebug() << "[MainWindow] Updated FlatTradeBroker with SymbolRepository";
    } else if (auto* zerodha = qobject_cast<ZerodhaBroker*>(broker)) {
        zerodha->setSymbolRepository(symbolRepository);
        qDebug() << "[MainWindow] Updated ZerodhaBroker with SymbolRepository";
    } else {
        qDebug() << "[MainWindow] Broker does not require SymbolRepository (uses symbol names "
                    "directly)";
    }
}

void MainWindow::requestSymbolMasterLoad(int provider)
{
    if (!symbolManager || symbolManager->hasSymbols())
        return;
    const QString broker = SettingsManager::providerName(provider);
    if (!symbolManager->offersBroker(broker)) {
        // Every subscription would ask again: said once.
        if (!noMasterLoadLogged)
            qInfo().noquote() << QStringLiteral("[MainWindow] The Symbol Manager has no symbol "
                                                "data to load for %1; tokens are sent as they are")
                                     .arg(broker);
        noMasterLoadLogged = true;
        return;
    }
    QString text;
    switch (provider) {
    case SettingsManager::TradeJini:
        text = QStringLiteral("Loading TradeJini symbol master to resolve tokens...");
        break;
    case SettingsManager::FlatTrade:
        text = QStringLiteral("Loading FlatTrade symbol master to resolve tokens...");
        break;
    case SettingsManager::Zerodha:
        qDebug() << "[MainWindow->Zerodha] Symbol data not loaded - triggering Symbol Manager to "
                    "load Zerodha instrument master";
        text = QStringLiteral("Loading Zerodha instrument master to resolve tokens to symbols...");
        break;
    default:
        return;
    }
    statusMessageLabel->setText(text);
    if (masterLoadQueued)
        return;
    masterLoadQueued = true;
    QTimer::singleShot(100, Qt::PreciseTimer, this, [this] { onLoadSymbolDataAction(); });
}

void MainWindow::refreshZerodhaMasterIfStale(const QString& remoteEtag)
{
    if (!symbolManager)
        return;
    const QString metaPath =
        symbolManager->cacheMetaPath(QStringLiteral("Zerodha"), QStringLiteral("NSE"));
    const QString local =
        symbolManager->readCacheMeta(metaPath).value(QStringLiteral("etag")).toString();
    if (local.isEmpty()) {
        qDebug() << "[Symbol Sync] No local ETag present - starting silent download";
        symbolManager->loadZerodhaSymbolsSilent(QStringLiteral("NSE"));
    } else if (local == remoteEtag) {
        qDebug() << "[Symbol Sync] Local instrument master is up-to-date (etag matches)";
    } else {
        qDebug() << "[Symbol Sync] Remote ETag differs (local:" << local << ", remote:" << remoteEtag
                 << ") - refreshing cache";
        symbolManager->loadZerodhaSymbolsSilent(QStringLiteral("NSE"));
    }
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
             QStringLiteral("*_symbols.csv.meta.json"), QStringLiteral("*_symbols.meta.json")},
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
