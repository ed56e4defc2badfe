// The connector's main window and composition root: creates every service, wires them, routes
// ticks into the watchlist and on to AmiBroker, and tears it all down in a safe order.
#pragma once

#include "core/MarketData.h"

#include <QHash>
#include <QJsonObject>
#include <QMainWindow>
#include <QStringList>

#include <functional>
#include <memory>

class AmiBrokerPlugin;
class BacktestController;
class BrokerAPI;
class CSVExporter;
class DataManager;
class HistoricalDownloader;
class IBroker;
class LiveFeeder;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
class QTimer;
class QWebSocket;
class RowHighlighter;
class SQLiteOHLCStore;
class SettingsManager;
class SymbolRepository;
class UserPrompts;
class Ui_MainWindow;

// What the window takes from outside besides its parent. Every field may stay empty: the window
// then uses the real connector of the provider, real message boxes and the real instrument hosts.
struct MainWindowSeams {
    // Creates the connector of a provider (broker type) as a child of `parent`, or returns null
    // when the provider has none.
    std::function<IBroker*(int provider, QObject* parent)> brokerFactory;
    // Answers the window's message boxes.
    std::shared_ptr<UserPrompts> prompts;
    // Runs on the new instrument repository before the start-up load (download hosts, clock).
    std::function<void(SymbolRepository*)> prepareRepository;
};

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    explicit MainWindow(MainWindowSeams seams, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The backtest job entry: a job from any source goes to the backtest controller unchanged.
    void handleBacktestJob(const QJsonObject& job);

    // The connector the factory made for the current provider, when one was made.
    static IBroker* createDefaultBroker(int provider, QObject* parent);

    // Services, for the application and for tests that drive the window.
    SettingsManager* settingsManager() const { return settings; }
    BrokerAPI* brokerFacade() const { return brokerAPI; }
    DataManager* dataStore() const { return dataManager; }
    CSVExporter* exporter() const { return csvExporter; }
    LiveFeeder* feeder() const { return liveFeeder; }
    HistoricalDownloader* downloader() const { return historicalDownloader; }
    SymbolRepository* repository() const { return symbolRepository; }
    qint64 ticksReceived() const { return tickCount; }

private slots:
    // Connection control.
    void onConnectAction();
    void onDisconnectAction();
    void onConnectionStatusChanged(bool connected);
    void onErrorOccurred(const QString& error);

    // Tick routing.
    void onTickReceived(TickData tick);
    void updateSymbolPrice(const QString& token, const TickData& tick);
    void updateStatusBar();

    // Watchlist.
    void refreshWatchlistDisplay();
    void addSymbolToWatchlist(const QString& symbolName, const QString& token,
                              const QString& exchange);
    void onClearSymbols();
    void showWatchlistContextMenu(const QPoint& pos);

    // History backfill.
    void onHistoricalDataReceived(const QString& symbol, const QList<OHLCData>& data);
    void onDownloadProgress(int completed, int total);

    // AmiBroker.
    void onAmiBrokerPathChanged(const QString& path);
    void updateCSVStatus();
    void onCsvImportCompleted();

    void onAboutAction();
    void onInstrumentListDownloaded();

private:
    void setupCustomUi();
    void setupConnections();
    void createMenus();
    void createStatusBar();
    void createLiveTab();
    void createBroker(int provider);
    void configureFacade();
    static QString routingKey(const TickData& tick);
    void loadInstrumentMaster();
    void updateConnectionStatusLabel();
    void showError(const QString& message);
    void populateTimeframeCombo(QComboBox* combo);
    void populateDateRangeCombo(QComboBox* combo);
    void updateCustomRangeVisibility();
    void requestHistory(const QString& token);
    void removeWatchlistToken(const QString& token, const QString& displayName);
    void loadAmiBrokerPathIntoField();
    void sendToStream(const QString& message);

    // Name under which a token's ticks are shown, stored and exported. May cache a newly
    // resolved name in the settings, whose change signal rebuilds the watchlist table: callers
    // must not hold table items across it.
    QString resolveDisplayName(const QString& token);
    // Row of the first watchlist entry with this token, or -1.
    int rowForToken(const QString& token) const;
    void logMissingRow(const QString& token) const;
    void routeToRow(const QString& token, const QString& displayName, const TickData& tick);
    void applyTickToRow(int row, const QString& token, const QString& displayName,
                        const TickData& tick);
    void storeTick(const QString& displayName, const TickData& tick);

    MainWindowSeams seams;
    std::shared_ptr<UserPrompts> prompts;

    Ui_MainWindow* ui = nullptr;
    BrokerAPI* brokerAPI = nullptr;
    DataManager* dataManager = nullptr;
    AmiBrokerPlugin* amiBrokerPlugin = nullptr;
    HistoricalDownloader* historicalDownloader = nullptr;
    LiveFeeder* liveFeeder = nullptr;
    SettingsManager* settings = nullptr;  // the application's, or the window's own
    QLabel* statusMessageLabel = nullptr;
    QLabel* connectionLabel = nullptr;
    QLabel* brokerLabel = nullptr;
    QLabel* tickCountLabel = nullptr;
    QTimer* statusTimer = nullptr;
    QPushButton* authButton = nullptr;
    QTableWidget* watchlistTable = nullptr;
    QLineEdit* symbolSearchEdit = nullptr;
    QPushButton* addSymbolButton = nullptr;
    QTableWidget* symbolSearchPopup = nullptr;  // own top-level window, deleted by the destructor
    QWebSocket* webSocket = nullptr;            // the window's own stream socket, when open
    bool wsConnected = false;
    QStringList fyersWsUrls;
    QTimer* pingTimer = nullptr;
    SymbolRepository* symbolRepository = nullptr;
    CSVExporter* csvExporter = nullptr;
    SQLiteOHLCStore* ohlcStore = nullptr;
    BacktestController* backtestController = nullptr;
    bool brokerConnected = false;
    // Ticks since start; 64-bit because a busy feed passes 2^31 within days.
    qint64 tickCount = 0;

    QHash<QString, int> tokenRows;  // token -> first watchlist row with it; rebuilt with the table
    QHash<QString, bool> indexTokens;  // token -> is an index (no volume shown); rebuilt likewise
    RowHighlighter* rowHighlighter = nullptr;
};
