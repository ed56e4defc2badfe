// The connector's main window and composition root: creates every service, wires them, routes
// ticks into the watchlist and on to AmiBroker, and tears it all down in a safe order.
#pragma once

#include "core/MarketData.h"
#include "symbols/IndianSymbolData.h"

#include <QAbstractSocket>

#include <QHash>
#include <QJsonObject>
#include <QMainWindow>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>

class AmiBrokerPlugin;
class BacktestController;
class BrokerAPI;
class CSVExporter;
class DataManager;
class FyersDecoder;
class FyersTickerMap;
class HistoricalDownloader;
class IBroker;
class ISymbolLookup;
class LiveFeeder;
class QComboBox;
class QDialog;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
class QTimer;
class QWebSocket;
class RowHighlighter;
class SQLiteOHLCStore;
class HistoryCandleWriter;
class SettingsManager;
class SymbolManager;
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
    // The window's own stream addresses; empty means the brokers' real hosts.
    QStringList fyersStreamUrls;
    QString zerodhaStreamUrl;
    // Pause before the next Fyers address is tried after a refused connection.
    int fyersRetryDelayMs = 2000;
    // Runs on every login object right after the window creates it (login hosts, ports).
    std::function<void(QObject*)> prepareLogin;
    // Wait before the Fyers login asks for the code the browser shows.
    int fyersCodePromptMs = 3000;
    // Settling time after a connection before the connector is handed the watchlist.
    int autoSubscribeDelayMs = 500;
    // After start-up: the pause before connecting (when the user asked for it), the pause before
    // the watchlist's instrument master is checked, and the pause before the table is rebuilt
    // after a silent master load (negative: 800 ms, Fyers 1500 ms).
    int connectOnStartupDelayMs = 1000;
    int startupDelayMs = 2000;
    int masterFollowUpMs = -1;
    // Pause before an on-demand load presses the symbol manager's load button.
    int loadButtonDelayMs = 500;
    // Runs on the symbol manager right after the window creates it (master hosts).
    std::function<void(SymbolManager*)> prepareSymbolManager;
    // Builds the settings dialog; empty means the program's own.
    std::function<QDialog*(SettingsManager*, QWidget* parent)> settingsDialog;
    // The running program's log file, which the settings dialog's "Clear Logs" must keep.
    QString logFilePath;
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
    // True from construction until the start-up load of the instrument master (from the cache
    // or, when missing, downloaded) ends.
    bool isDownloadingInstrumentMaster() const { return masterDownloading; }
    // The window's own stream socket (null before the first Start and between fail-over steps)
    // and the Fyers address it uses.
    QWebSocket* streamSocket() const { return webSocket; }
    int fyersAddressIndex() const { return fyersUrlIndex; }
    int fyersRefusedAttempts() const { return fyersConnectAttempts; }
    qint64 fyersFramesSeen() const { return fyersFramesReceived; }
    // Symbol lookups for subscriptions; the symbol manager's unless replaced here.
    void setSymbolLookups(ISymbolLookup* lookups) { symbolLookups = lookups; }
    SymbolManager* symbolManagerDialog() const { return symbolManager; }

protected:
    // Hides the search popup when the application loses activation; passes every event on.
    bool eventFilter(QObject* obj, QEvent* event) override;

private slots:
    // Connection control.
    void onConnectAction();
    void onDisconnectAction();
    void onConnectionStatusChanged(bool connected);
    void onErrorOccurred(const QString& error);
    void onQuoteFailed(const QString& symbol, const QString& reason, const QString& message);
    void onSymbolFailuresChanged();
    void onHistoryFailed(quint64 tag, const QString& symbol, const QString& reason, const QString& message);
    // The history queue gave up a request that had no reply in time.
    void onHistoryTimedOut(const QString& requestId, const QString& symbol, const QString& error);

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
    // Checks that AmiBroker answers its automation server and tells the user; a passed check
    // switches the automatic import on.
    void onTestAmiBroker();

    void onAboutAction();
    void onInstrumentListDownloaded();

    // Logins.
    void onQuickAuthAction();
    void onSettingsAction();

    // Instrument masters.
    void onResetAppCacheAction();
    void autoLoadSymbolData();
    void onLoadSymbolDataAction();
    void updateBrokerWithSymbolManager();

    // Live feed control.
    void onStartLiveFeed();
    void onStopLiveFeed();
    void connectToLiveDataFeed();
    void disconnectFromLiveDataFeed();
    void onLiveFeedStatusChanged(const QString& status);
    void subscribeToWatchlistSymbols();

    // The window's own stream socket.
    void onWebSocketConnected();
    void onWebSocketDisconnected();
    void onWebSocketError(QAbstractSocket::SocketError error);
    void onWebSocketTextMessageReceived(const QString& message);
    void onWebSocketBinaryMessageReceived(const QByteArray& message);
    void sendFyersPing();

    // Quick-add search.
    void onSymbolSearchTextChanged(const QString& text);
    void onSymbolSearchTriggered();
    void onSymbolSearchPopupItemClicked(int row, int column);
    void showSymbolSearchPopup();
    void updateSymbolCompleter();

private:
    static constexpr int kSearchPopupMinWidth = 700;
    // The popup's columns but the last (ISIN), which takes the rest.
    static constexpr int kSearchPopupColumnWidths[6] = {140, 80, 80, 90, 90, 70};

    void setupCustomUi();
    void setupConnections();
    void createMenus();
    void createStatusBar();
    void createLiveTab();
    void sizeWatchlistColumns();
    // Gives the columns their widths for the table's present width and the values it holds (see
    // the definition).
    void fitWatchlistColumns();
    // Finds the widest value of each data column, for the next fit.
    void measureWatchlistColumns();
    // A cell of a data column got this text: a longer one than the column was fitted to has it
    // fitted again, at most once a second.
    void noteCellText(int column, const QString& text)
    {
        if (text.size() > fittedChars[column])
            columnsOutgrown = true;
    }
    int rowButtonHeight() const;
    // Makes the table's rows follow `entries` (tokens, in order) with as few rows removed and
    // inserted as it can, and the row states with them; true for each row that was inserted.
    QVector<bool> alignWatchlistRows(const QStringList& entries);
    void buildWatchlistRow(int row, const QString& token, const QString& name);
    // Shows `name` in the row's name cell and hands it to the row's Remove handler.
    void renameWatchlistRow(int row, const QString& name);
    // Gives the rows on screen, and a screenful either side, their Load History and Remove
    // buttons where they have none yet.
    void ensureRowButtons();
    void createRowButtons(int row);
    void bindRowButtons(int row);
    void createBroker(int provider);
    void configureFacade();
    static QString routingKey(const TickData& tick);
    // Loads the instrument master from the cache off the window's thread, then goes on with the
    // start-up steps, or with the download when there is no usable cache.
    void loadInstrumentMasterFromCache();
    // The start-up download, once the window shows; the delayed start-up steps follow it.
    void downloadInstrumentMaster();
    void scheduleStartupSteps();
    void updateConnectionStatusLabel();
    // Whether the feed's connection is up now: the connector's stream (or the window's own), or
    // the facade's quote poll where there is no connector.
    bool feedConnectionUp() const;
    void showError(const QString& message);
    void populateTimeframeCombo(QComboBox* combo);
    void populateDateRangeCombo(QComboBox* combo);
    void updateCustomRangeVisibility();
    void requestHistory(const QString& token);
    void tellHistoryFailure(const QString& symbol, const QString& reason, const QString& message);
    void removeWatchlistToken(const QString& token, const QString& displayName);
    void loadAmiBrokerPathIntoField();
    void sendToStream(const QString& message);
    void onSettingsChanged();
    // Runs the table rebuild and re-subscription that the settings changes since the last run
    // call for, once for the whole burst.
    void runWatchlistUpdate();
    void showCredentialsNotConfigured(const QString& brokerName);
    // The common end of a successful login: save, tell the user, connect 300 ms later.
    void finishLogin(QObject* login, const QString& brokerName);
    void failLogin(QObject* login, const QString& brokerName, const QString& error);
    void setFeedButtons(bool startEnabled);
    void handleFyersWebSocketMessage(const QJsonObject& message);
    void handleFyersBinaryMessage(const QByteArray& message);
    void prepareFyersDecoding();  // the decoder and ticker map both Fyers paths share, made once
    void checkZerodhaInstrumentsMeta(const QJsonObject& message);
    void subscribeOnOwnStream(int provider, const QStringList& items);
    void requestSymbolMasterLoad(int provider);
    // Names the exchanges whose masters are missing, in the status line and, once, in a box.
    void tellMissingMasters(const QString& broker, const QStringList& exchanges);
    void handServicesToBroker();
    // The symbol manager, made on first use; `forUser` also hands it the facade and the
    // history queue, as the on-demand load does.
    SymbolManager* ensureSymbolManager(bool forUser);
    void refreshZerodhaMasterIfStale(const QString& remoteEtag);
    void logSearchDiagnostics(const QList<IndianSymbolData>& records);

    // Name under which a token's ticks are shown, stored and exported. May cache a newly
    // resolved name in the settings; that change leaves the table and the subscription alone.
    QString resolveDisplayName(const QString& token);
    // Row of the first watchlist entry with this token, or -1.
    int rowForToken(const QString& token) const;
    void logMissingRow(const QString& token) const;
    void routeToRow(const QString& token, const QString& displayName, const TickData& tick);
    struct RowUpdate;
    // Sets the cells of one row from its newest tick; true when the row's flash began now.
    bool applyTickToRow(int row, RowUpdate& update);
    void storeTick(const QString& displayName, const TickData& tick);
    // Paints the newest tick of every row that had one since the last paint.
    void flushRowUpdates();
    void showFeederStatus();

    MainWindowSeams seams;
    std::shared_ptr<UserPrompts> prompts;

    Ui_MainWindow* ui = nullptr;
    BrokerAPI* brokerAPI = nullptr;
    DataManager* dataManager = nullptr;
    AmiBrokerPlugin* amiBrokerPlugin = nullptr;
    HistoricalDownloader* historicalDownloader = nullptr;
    LiveFeeder* liveFeeder = nullptr;
    SettingsManager* settings = nullptr;  // the application's, or the window's own
    QDialog* settingsDialog = nullptr;     // made on first use, kept for the window's life
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
    QString zerodhaWsUrl;
    int fyersUrlIndex = 0;
    int fyersConnectAttempts = 0;
    int feedStops = 0;  // counts Stops: a fail-over retry scheduled before a Stop is dropped
    QTimer* pingTimer = nullptr;
    QList<IndianSymbolData> searchResults;  // popup rows, in row order
    bool searchDiagnosticsLogged = false;
    qint64 fyersFramesReceived = 0;  // frames on the window's Fyers stream
    // The window's own Fyers stream: books per ticker (for the socket they were built from) and
    // the naming of its ticks after the watchlist. Made with the first binary frame.
    std::unique_ptr<FyersDecoder> fyersDecoder;
    std::unique_ptr<FyersTickerMap> fyersTickers;
    const QWebSocket* fyersDecodedSocket = nullptr;
    bool fyersTicksLeftToConnector = false;  // logged once
    QString fyersLastComplaint;  // a damaged message repeats in every frame: logged when it changes
    ISymbolLookup* symbolLookups = nullptr;  // the symbol manager's, once it exists
    SymbolManager* symbolManager = nullptr;     // made on first use, kept for the window's life
    SymbolRepository* symbolRepository = nullptr;
    CSVExporter* csvExporter = nullptr;
    SQLiteOHLCStore* ohlcStore = nullptr;
    HistoryCandleWriter* candleWriter = nullptr;  // downloaded 1-minute and daily bars into ohlcStore
    BacktestController* backtestController = nullptr;
    bool brokerConnected = false;
    // Ticks since start; 64-bit because a busy feed passes 2^31 within days.
    qint64 tickCount = 0;

    QHash<QString, int> tokenRows;  // token -> first watchlist row with it; rebuilt with the table
    QHash<QString, bool> indexTokens;  // token -> is an index (no volume shown); rebuilt likewise
    RowHighlighter* rowHighlighter = nullptr;

    // Ticks reach the rows in paints of their newest values: a busy row is painted once per
    // paint however many ticks it had. Sized with the table.
    struct RowUpdate {
        QString token;
        QString name;
        QString rowName;  // the name the row was built or last renamed with
        TickData tick;  // prices, volume and time of the newest tick
        bool due = false;
        // What the row's cells show now, so a paint sets only what changed.
        struct Shown {
            QString name;
            bool painted = false;
            bool falling = false;
            bool index = false;
            double ltp = 0, open = 0, high = 0, low = 0, volume = 0;
            int second = -1;
        } shown;
    };
    QVector<RowUpdate> rowUpdates;
    int rowButtonsHeight = -1;  // the row buttons' height, the same for every row
    bool rebuildingRows = false;  // rows are being inserted, moved and removed: they lack their tokens
    int fittedWidth = -1;       // the table width the columns were last fitted to
    // Per data column, as last measured: the width its widest value needs (pixels, the item's
    // insets included) and the length of its longest text (characters).
    int columnNeeds[9] = {};
    int fittedChars[9] = {};
    bool columnsOutgrown = true;  // a value may no longer fit its column: measured at the next fit
    QVector<int> dueRows;
    QTimer* rowPaintTimer = nullptr;

    // Settings change in bursts; the watchlist follows once per burst.
    QTimer* watchlistUpdateTimer = nullptr;
    bool watchlistRefreshDue = false;
    bool resubscribeDue = false;
    QString statusAtFirstChange;  // the status line when the burst began
    bool learningName = false;    // a tick is caching its name: only that row changes

    // The feeder reports after every tick; its counter reaches the status line a few times a
    // second.
    QTimer* feederStatusTimer = nullptr;
    QString feederStatus;       // its newest report
    QString feederStatusShown;  // its report the status line got last
    // A result the feeder's running counter leaves on the status line while it is shown.
    QString lastingStatus;

    // Error boxes open now, by text: a repeated error is logged instead of stacking boxes.
    QHash<QString, QPointer<QObject>> openErrorBoxes;
    // Kinds of quote-poll failure already shown in a box: a repeat goes to the status line and
    // the log until the poll recovers or the user acts. A failure of one symbol is kept as
    // "symbol\nreason": it is told once per symbol and kind until that symbol answers again,
    // whatever the others do.
    QSet<QString> boxedQuoteFailures;
    // The open box of each kind of failure of one symbol: while it is open, other symbols failing
    // alike (a wrong address fails them all) are named by the label instead of more boxes.
    QHash<QString, QPointer<QObject>> openSymbolFailureBoxes;
    // Kinds of history failure already shown in a box, until a download succeeds or the user
    // connects or changes settings.
    QSet<QString> boxedHistoryFailures;
    // The text of the history failure just told: the errorOccurred that follows it opens no box.
    QString toldHistoryError;
    // The keys the connector was last subscribed to: a key that leaves the watchlist is
    // unsubscribed.
    QStringList connectorKeys;
    // An on-demand master load is on its way: further subscriptions do not ask again.
    bool masterLoadQueued = false;
    bool noMasterLoadLogged = false;  // the current broker has no master in the symbol manager
    bool masterDownloading = false;
    // Masters the start-up download could not fetch, told once it is over; the box is shown once.
    QStringList missingMasters;
    bool missingMastersShown = false;
    // The last "nothing subscribed" notice: a repeat of the same one is not logged again.
    QString unresolvedNotice;
};
