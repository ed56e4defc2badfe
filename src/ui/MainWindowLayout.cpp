// The main window's own widgets on top of the generated form: menus, status bar, the Market Feed
// tab with its toolbar and watchlist table, and the watchlist's row operations.
#include "ui/MainWindow.h"

#include "brokers/BrokerAPI.h"
#include "brokers/LiveFeeder.h"
#include "core/SettingsManager.h"
#include "symbols/SymbolRepository.h"
#include "ui/ElidedLabel.h"
#include "ui/BackfillChoices.h"
#include "ui/CutTextDelegate.h"
#include "ui/RowHighlighter.h"
#include "ui/StatusLine.h"
#include "ui/UserPrompts.h"
#include "ui/WatchlistFormat.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QDebug>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSet>
#include <QStyle>
#include <QStatusBar>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>
#include <utility>

namespace {

const char* const kVersion = "6.2.9";
const char* const kBuild = "B0420.02";
const char* const kPreRelease = " [BETA]";

// Every button looks inert while it is disabled, whatever its colour when it can be pressed.
#define DISABLED_LOOK "QPushButton:disabled { background:#cfcfcf; color:#8a8a8a; }"

const char* const kToolbarStyle =
    "QFrame#liveToolbar {  background: #f5f5f5;  border: 1px solid #d0d0d0;  border-radius: 4px;}";
const char* const kAuthStyle =
    "QPushButton { background:#FF9800; color:white; font-weight:bold; padding:0 14px; "
    "border-radius:3px; }QPushButton:hover { background:#e68900; }" DISABLED_LOOK;
const char* const kStartStyle =
    "QPushButton { background:#4CAF50; color:white; font-weight:bold; padding:0 14px; "
    "border-radius:3px; }QPushButton:hover { background:#43a047; }" DISABLED_LOOK;
// Stop Feed has a disabled look of its own; the shared one must not come after it and win.
const char* const kStopStyle =
    "QPushButton { background:#e53935; color:white; font-weight:bold; padding:0 14px; "
    "border-radius:3px; }QPushButton:hover { background:#c62828; }QPushButton:disabled { "
    "background:#bdbdbd; color:#fff; }";
const char* const kClearStyle =
    "QPushButton { background:#9e9e9e; color:white; padding:0 10px; border-radius:3px; "
    "}QPushButton:hover { background:#757575; }" DISABLED_LOOK;
const char* const kBacktestStyle =
    "QPushButton { background:#6A1B9A; color:white; font-weight:bold; border:none; "
    "border-radius:4px; padding:0 14px; }QPushButton:hover { background:#7B1FA2; "
    "}QPushButton:pressed { background:#4A148C; }" DISABLED_LOOK;
const char* const kCaptionStyle = "font-weight:bold; color:#444;";
const char* const kQuickAddFrameStyle =
    "QFrame {    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #f8f9fa, stop:1 "
    "#ffffff);    border: 2px solid #3498db;    border-radius: 6px;    padding: 5px;    "
    "margin-bottom: 5px;}";
const char* const kQuickAddLabelStyle =
    "QLabel {    font-weight: bold;    font-size: 9pt;    color: #2c3e50;    background: "
    "transparent;    border: none;}";
const char* const kSearchEditStyle =
    "QLineEdit {    padding: 6px 12px;    border: 2px solid #bdc3c7;    border-radius: 15px;    "
    "font-size: 9pt;    background-color: white;    selection-background-color: "
    "#3498db;}QLineEdit:focus {    border: 2px solid #3498db;    background-color: "
    "#ffffff;}QLineEdit:hover {    border: 2px solid #7f8c8d;}";
const char* const kAddButtonStyle =
    "QPushButton {    background-color: #27ae60;    color: white;    border: none;    "
    "border-radius: 15px;    padding: 6px 20px;    font-weight: bold;    font-size: "
    "9pt;}QPushButton:hover {    background-color: #229954;}QPushButton:pressed {    "
    "background-color: #1e8449;}QPushButton:disabled {    background-color: #95a5a6;    color: "
    "#ecf0f1;}";
const char* const kPopupStyle =
    "QTableWidget {    border: 2px solid #3498db;    border-radius: 4px;    background-color: "
    "white;    font-size: 9pt;    gridline-color: #e0e0e0;    alternate-background-color: "
    "#f8f9fa;}QTableWidget::item {    padding: 5px;    border-bottom: 1px solid "
    "#ecf0f1;}QTableWidget::item:selected {    background-color: #3498db;    color: "
    "white;}QTableWidget::item:hover {    background-color: #ecf0f1;}QHeaderView::section {    "
    "background-color: #2c3e50;    color: white;    padding: 6px;    border: 1px solid #34495e;    "
    "font-weight: bold;    font-size: 8pt;}";
constexpr int kItemPadding = 5;  // the watchlist items' padding below
constexpr int kButtonRowsAhead = 40;  // rows beyond the screen that have their buttons made
const char* const kWatchlistStyle =
    "QTableWidget {    gridline-color: #e0e0e0;    background-color: white;    "
    "alternate-background-color: #f8f9fa;    border: 1px solid #ccc;}QTableWidget::item {    "
    "padding: 5px;    border-bottom: 1px solid #e0e0e0;}QHeaderView::section {    "
    "background-color: #2c3e50;    color: white;    padding: 8px 5px;    border: 1px solid "
    "#34495e;    font-weight: bold;}QTableWidget::item:selected {    background-color: #3498db;    "
    "color: white;}";
const char* const kLoadHistoryStyle =
    "QPushButton { background-color: #607D8B; color: white; padding: 4px 8px; border-radius: "
    "4px; } QPushButton:hover { background-color: #455A64; }" DISABLED_LOOK;
const char* const kRemoveStyle =
    "QPushButton { background-color: #e53935; color: white; padding: 4px 8px; border-radius: "
    "4px; } QPushButton:hover { background-color: #c62828; }" DISABLED_LOOK;

// The row buttons' looks, given once to the whole table instead of to each button: a style sheet
// of its own makes every button build its own style, which costs more than the rest of its row.
const char* const kLoadHistoryName = "watchlistLoadHistory";
const char* const kRemoveName = "watchlistRemove";

QString rowButtonRules(const char* style, const char* objectName)
{
    return QString::fromLatin1(style).replace(
        QLatin1String("QPushButton"), QLatin1String("QPushButton#") + QLatin1String(objectName));
}

QPushButton* toolbarButton(const QString& text, const char* style, const QString& objectName = {})
{
    auto* b = new QPushButton(text);
    if (!objectName.isEmpty())
        b->setObjectName(objectName);
    b->setFixedHeight(32);
    b->setStyleSheet(QString::fromLatin1(style));
    // Never narrower than its text: the window grows instead of cutting the labels.
    b->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    return b;
}

QLabel* caption(const QString& text, const QString& style)
{
    auto* l = new QLabel(text);
    l->setStyleSheet(style);
    return l;
}

QDateEdit* backfillDateEdit(const QString& objectName)
{
    auto* edit = new QDateEdit;
    edit->setObjectName(objectName);
    edit->setFixedHeight(32);
    edit->setCalendarPopup(true);
    edit->setDisplayFormat(QStringLiteral("dd-MM-yyyy"));
    return edit;
}

// What a watchlist cell takes around its text: the items' padding, the margin the style keeps on
// either side before it cuts a text, the grid line, and a pixel for the text's fractional width.
int cellTextInset(const QTableWidget* table)
{
    const int margin = table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, table) + 1;
    return 2 * kItemPadding + 2 * margin + 1 + 1;
}

// The names stand out from the numbers.
QFont watchlistNameFont()
{
    QFont font(QStringLiteral("Arial"), 9, QFont::Bold);
    font.setItalic(false);
    return font;
}

QFrame* verticalLine(bool sunken)
{
    auto* line = new QFrame;
    line->setFrameShape(QFrame::VLine);
    if (sunken)
        line->setFrameShadow(QFrame::Sunken);
    line->setStyleSheet(QStringLiteral("color:#c0c0c0;"));
    return line;
}

} // namespace

void MainWindow::setupCustomUi()
{
    createMenus();
    createStatusBar();
    createLiveTab();
    // Only the Market Feed page is used; the other two stay in the object tree, hidden.
    ui->tabWidget->removeTab(2);
    ui->tabWidget->removeTab(1);
    // The hidden "Historical Data" page has its own "fromDateEdit" and "toDateEdit". A stacked
    // widget keeps its current page last among its children, and a by-name search from the
    // window would meet the hidden namesakes first: the Market Feed page goes to the front.
    ui->liveDataTab->lower();
    updateConnectionStatusLabel();
}

void MainWindow::createMenus()
{
    QMenu* connection = menuBar()->addMenu(QStringLiteral("&Connection"));
    QAction* connectAct = connection->addAction(QStringLiteral("&Connect"));
    connectAct->setShortcut(QKeySequence(QStringLiteral("Ctrl+C")));
    connect(connectAct, &QAction::triggered, this, &MainWindow::onConnectAction);
    QAction* disconnectAct = connection->addAction(QStringLiteral("&Disconnect"));
    disconnectAct->setShortcut(QKeySequence(QStringLiteral("Ctrl+D")));
    connect(disconnectAct, &QAction::triggered, this, &MainWindow::onDisconnectAction);
    connection->addSeparator();
    QAction* exitAct = connection->addAction(QStringLiteral("E&xit"));
    exitAct->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    connect(exitAct, &QAction::triggered, this, &QWidget::close);

    QMenu* tools = menuBar()->addMenu(QStringLiteral("&Tools"));
    QAction* resetAct = tools->addAction(QStringLiteral("&Reset App Cache..."));
    resetAct->setShortcut(QKeySequence());
    connect(resetAct, &QAction::triggered, this, &MainWindow::onResetAppCacheAction);
    tools->addSeparator();
    QAction* settingsAct = tools->addAction(QStringLiteral("&Settings"));
    settingsAct->setShortcut(QKeySequence(QStringLiteral("Ctrl+S")));
    connect(settingsAct, &QAction::triggered, this, &MainWindow::onSettingsAction);

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    QAction* aboutAct = help->addAction(QStringLiteral("&About"));
    aboutAct->setShortcut(QKeySequence());
    connect(aboutAct, &QAction::triggered, this, &MainWindow::onAboutAction);
}

void MainWindow::createStatusBar()
{
    // The connection label names failing symbols, which can be long: like the status line it
    // has a slot of its own and a cut text reads whole on hover, so it neither widens the
    // window nor lays it out again when it changes.
    // However narrow the window, it keeps room to say how many symbols stream: the other slots
    // give way first.
    auto* connectionLine = new StatusLine(QStringLiteral("Disconnected"), QString(40, QLatin1Char('x')),
                                          QStringLiteral("Streaming 10 of 10…"));
    connectionLabel = connectionLine->label();
    // The configured provider, connected or not; the connection label tells which.
    brokerLabel = new QLabel(QStringLiteral("Broker: %1").arg(
        SettingsManager::providerName(settings ? settings->provider() : -1)));
    brokerLabel->setStyleSheet(
        QStringLiteral("QLabel { font-weight: bold; margin-left: 10px; margin-right: 10px; }"));
    // The two texts that change while ticks stream (the counter every second, the feed's status
    // a few times a second) sit in slots of their own: a label that grew or shrank with its text
    // would have the whole window, watchlist table included, laid out again.
    auto* statusLine = new StatusLine(QStringLiteral("Ready"));
    statusMessageLabel = statusLine->label();
    auto* tickCountLine = new StatusLine(QStringLiteral("Ticks: 0"), QStringLiteral("Ticks: 0000000000"));
    tickCountLabel = tickCountLine->label();

    // The version gives way before the connection's count when the window is narrow.
    const QString version = QStringLiteral("v%1%2 (Build %3)")
                                .arg(QLatin1String(kVersion), QLatin1String(kPreRelease), QLatin1String(kBuild));
    auto* versionLine = new StatusLine(version, version, QStringLiteral("v%1…").arg(QLatin1String(kVersion)));
    versionLine->label()->setStyleSheet(QStringLiteral("QLabel { color: #666; margin-left: 10px; }"));

    statusBar()->addWidget(connectionLine);
    statusBar()->addWidget(brokerLabel);

    authButton = new QPushButton(QStringLiteral("Authenticate"));
    authButton->setFixedHeight(18);
    authButton->setStyleSheet(
        QStringLiteral("QPushButton { font-size: 11px; padding: 0 6px; margin-left: 4px; }"));

    connect(authButton, &QPushButton::clicked, this, &MainWindow::onQuickAuthAction);

    statusBar()->addPermanentWidget(tickCountLine);
    statusBar()->addPermanentWidget(statusLine);
    statusBar()->addPermanentWidget(authButton);
    statusBar()->addPermanentWidget(versionLine);

    statusTimer = new QTimer(this);
    connect(statusTimer, &QTimer::timeout, this, &MainWindow::updateStatusBar);
    statusTimer->start(1000);
}

void MainWindow::createLiveTab()
{
    QWidget* page = ui->tabWidget->widget(0);
    if (!page)
        return;
    delete page->layout();
    auto* pageLayout = new QVBoxLayout(page);
    pageLayout->setSpacing(10);
    pageLayout->setContentsMargins(10, 10, 10, 10);

    // Toolbar.
    auto* toolbar = new QFrame;
    toolbar->setObjectName(QStringLiteral("liveToolbar"));
    toolbar->setStyleSheet(QString::fromLatin1(kToolbarStyle));
    toolbar->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Minimum);
    // Two rows: beside the feed buttons, the backfill choices with the custom range's date fields
    // would make the window wider than a 1366 px screen.
    auto* rows = new QVBoxLayout(toolbar);
    rows->setContentsMargins(10, 8, 10, 8);
    rows->setSpacing(6);
    auto* bar = new QHBoxLayout;
    bar->setSpacing(6);
    rows->addLayout(bar);

    QPushButton* feedAuth = toolbarButton(QStringLiteral("Authenticate"), kAuthStyle,
                                          QStringLiteral("feedAuthBtn"));
    QPushButton* startFeed = toolbarButton(QStringLiteral("▶  Start Feed"), kStartStyle);
    QPushButton* stopFeed = toolbarButton(QStringLiteral("■  Stop Feed"), kStopStyle);
    stopFeed->setEnabled(false);
    QPushButton* clearAll = toolbarButton(QStringLiteral("Clear All"), kClearStyle);
    QPushButton* backtest = toolbarButton(QStringLiteral("▶ Backtest"), kBacktestStyle,
                                          QStringLiteral("backtestBtn"));
    bar->addWidget(feedAuth);
    bar->addWidget(startFeed);
    bar->addWidget(stopFeed);
    bar->addWidget(clearAll);
    bar->addSpacing(4);
    bar->addWidget(verticalLine(false));
    bar->addSpacing(4);
    bar->addSpacing(4);
    bar->addWidget(verticalLine(true));
    bar->addSpacing(4);
    bar->addWidget(backtest);
    bar->addStretch();

    auto* backfill = new QHBoxLayout;
    backfill->setSpacing(6);
    rows->addLayout(backfill);
    backfill->addWidget(caption(QStringLiteral("Backfill:"),
                                QStringLiteral("font-weight:bold; color:#1565C0; font-size:11px; "
                                               "padding: 0 2px;")));
    backfill->addSpacing(4);
    backfill->addWidget(caption(QStringLiteral("Timeframe:"), QString::fromLatin1(kCaptionStyle)));
    auto* timeframe = new QComboBox;
    timeframe->setObjectName(QStringLiteral("timeframeCombo"));
    timeframe->setFixedHeight(32);
    timeframe->setMinimumWidth(120);
    backfill->addWidget(timeframe);
    backfill->addSpacing(10);
    backfill->addWidget(caption(QStringLiteral("Date Range:"), QString::fromLatin1(kCaptionStyle)));
    auto* dateRange = new QComboBox;
    dateRange->setObjectName(QStringLiteral("dateRangeCombo"));
    dateRange->setFixedHeight(32);
    dateRange->setMinimumWidth(140);
    backfill->addWidget(dateRange);
    backfill->addSpacing(6);
    QLabel* fromLabel = caption(QStringLiteral("From:"), QString::fromLatin1(kCaptionStyle));
    backfill->addWidget(fromLabel);
    QDateEdit* fromEdit = backfillDateEdit(QStringLiteral("fromDateEdit"));
    backfill->addWidget(fromEdit);
    backfill->addSpacing(4);
    QLabel* toLabel = caption(QStringLiteral("To:"), QString::fromLatin1(kCaptionStyle));
    backfill->addWidget(toLabel);
    QDateEdit* toEdit = backfillDateEdit(QStringLiteral("toDateEdit"));
    backfill->addWidget(toEdit);
    backfill->addStretch();

    // Restore the stored backfill choices before any change handler is connected, so that
    // restoring writes nothing back.
    populateTimeframeCombo(timeframe);
    populateDateRangeCombo(dateRange);
    if (settings) {
        const int tf = timeframe->findData(settings->historicalTimeframe(), Qt::UserRole,
                                           Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (tf >= 0)
            timeframe->setCurrentIndex(tf);
        const int dr = dateRange->findText(settings->historicalDateRange(),
                                           Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (dr >= 0)
            dateRange->setCurrentIndex(dr);
        fromEdit->setDate(settings->historicalFromDate());
        toEdit->setDate(settings->historicalToDate());
    } else {
        fromEdit->setDate(QDate::currentDate().addYears(-1));
        toEdit->setDate(QDate::currentDate());
    }
    auto applyRangeVisibility = [dateRange, fromLabel, fromEdit, toLabel, toEdit] {
        const bool custom = dateRange->currentData().toInt() == BackfillChoices::CustomRange;
        fromLabel->setVisible(custom);
        fromEdit->setVisible(custom);
        toLabel->setVisible(custom);
        toEdit->setVisible(custom);
    };
    applyRangeVisibility();

    connect(dateRange, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [applyRangeVisibility](int) { applyRangeVisibility(); });
    connect(timeframe, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this, timeframe](int index) {
                if (settings && index >= 0)
                    settings->setHistoricalTimeframe(timeframe->itemData(index).toString());
            });
    connect(dateRange, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this, dateRange](int index) {
                if (settings && index >= 0)
                    settings->setHistoricalDateRange(dateRange->itemText(index));
            });
    connect(fromEdit, &QDateEdit::dateChanged, this, [this](const QDate& d) {
        if (settings)
            settings->setHistoricalFromDate(d);
    });
    connect(toEdit, &QDateEdit::dateChanged, this, [this](const QDate& d) {
        if (settings)
            settings->setHistoricalToDate(d);
    });

    connect(backtest, &QPushButton::clicked, this, [this] {
        prompts->information(
            nullptr, QStringLiteral("Backtest"),
            QStringLiteral("<b>Backtest module is coming soon!</b><br><br>You will be able to test "
                           "your trading strategies against historical market data using the "
                           "built-in Strategy Builder. Stay tuned for this feature in an upcoming "
                           "release."));
    });

    // AmiBroker group: hidden for good; its path field and status label drive the export.
    auto* amiGroup = new QGroupBox;
    amiGroup->setVisible(false);
    auto* amiLayout = new QVBoxLayout(amiGroup);
    auto* amiRow = new QHBoxLayout;
    amiRow->addWidget(new QLabel(QStringLiteral("AmiBroker Path:")));
    auto* pathEdit = new QLineEdit;
    pathEdit->setObjectName(QStringLiteral("amiBrokerPathEdit"));
    amiRow->addWidget(pathEdit);
    amiRow->addWidget(new QPushButton(QStringLiteral("Browse")));
    auto* testAmiBroker = new QPushButton(QStringLiteral("Test AmiBroker"));
    testAmiBroker->setObjectName(QStringLiteral("testAmiBrokerBtn"));
    amiRow->addWidget(testAmiBroker);
    amiLayout->addLayout(amiRow);
    auto* csvStatus = new QLabel(QStringLiteral("Status: Not configured"));
    csvStatus->setObjectName(QStringLiteral("csvStatusLabel"));
    amiLayout->addWidget(csvStatus);

    pageLayout->addWidget(toolbar);
    pageLayout->addWidget(amiGroup);

    // Watchlist group with the quick-add row.
    auto* watchGroup = new QGroupBox(QStringLiteral("Live Watchlist - Real-time Market Data"));
    auto* watchLayout = new QVBoxLayout(watchGroup);
    auto* quickAdd = new QFrame;
    quickAdd->setMaximumHeight(55);
    quickAdd->setStyleSheet(QString::fromLatin1(kQuickAddFrameStyle));
    auto* quickLayout = new QHBoxLayout(quickAdd);
    quickLayout->setSpacing(8);
    quickLayout->setContentsMargins(8, 5, 8, 5);
    auto* quickLabel = new QLabel(QStringLiteral("🔍 Quick Add:"));
    quickLabel->setStyleSheet(QString::fromLatin1(kQuickAddLabelStyle));
    quickLayout->addWidget(quickLabel);
    symbolSearchEdit = new QLineEdit;
    symbolSearchEdit->setObjectName(QStringLiteral("symbolSearchEdit"));
    symbolSearchEdit->setPlaceholderText(
        QStringLiteral("Type symbol name (e.g., RELIANCE, INFY, TCS) and press Enter..."));
    symbolSearchEdit->setFixedHeight(30);
    symbolSearchEdit->setStyleSheet(QString::fromLatin1(kSearchEditStyle));
    quickLayout->addWidget(symbolSearchEdit, 1);
    addSymbolButton = new QPushButton(QStringLiteral("➕ Add"));
    addSymbolButton->setFixedHeight(30);
    addSymbolButton->setStyleSheet(QString::fromLatin1(kAddButtonStyle));
    quickLayout->addWidget(addSymbolButton);

    // Search results pop up in their own frameless window above everything.
    symbolSearchPopup = new QTableWidget;
    symbolSearchPopup->setWindowFlags(Qt::ToolTip | Qt::FramelessWindowHint
                                      | Qt::WindowStaysOnTopHint);
    symbolSearchPopup->setFocusPolicy(Qt::NoFocus);
    symbolSearchPopup->setAttribute(Qt::WA_ShowWithoutActivating);
    symbolSearchPopup->setColumnCount(7);
    symbolSearchPopup->setHorizontalHeaderLabels({"Symbol", "Exchange", "Token", "Type", "Expiry",
                                                  "Strike", "ISIN"});
    symbolSearchPopup->setSelectionBehavior(QAbstractItemView::SelectRows);
    symbolSearchPopup->setSelectionMode(QAbstractItemView::SingleSelection);
    symbolSearchPopup->setEditTriggers(QAbstractItemView::NoEditTriggers);
    symbolSearchPopup->horizontalHeader()->setStretchLastSection(true);
    symbolSearchPopup->verticalHeader()->setVisible(false);
    symbolSearchPopup->setShowGrid(true);
    symbolSearchPopup->setAlternatingRowColors(true);
    symbolSearchPopup->setMaximumHeight(300);
    symbolSearchPopup->setMinimumWidth(kSearchPopupMinWidth);
    symbolSearchPopup->setStyleSheet(QString::fromLatin1(kPopupStyle));
    for (int col = 0; col < 6; ++col)
        symbolSearchPopup->setColumnWidth(col, kSearchPopupColumnWidths[col]);
    symbolSearchPopup->hide();

    watchlistTable = new QTableWidget;
    watchlistTable->setColumnCount(10);
    watchlistTable->setHorizontalHeaderLabels({"Symbol", "LTP", "Change", "% Change", "Open",
                                               "High", "Low", "LTQ", "Time", "Actions"});
    watchlistTable->setAlternatingRowColors(true);
    watchlistTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    watchlistTable->setSortingEnabled(false);
    watchlistTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    watchlistTable->setStyleSheet(QString::fromLatin1(kWatchlistStyle)
                                  + rowButtonRules(kLoadHistoryStyle, kLoadHistoryName)
                                  + rowButtonRules(kRemoveStyle, kRemoveName));
    watchlistTable->setItemDelegate(new CutTextDelegate(watchlistTable));
    sizeWatchlistColumns();
    watchlistTable->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(watchlistTable, &QTableWidget::customContextMenuRequested, this,
            &MainWindow::showWatchlistContextMenu);
    rowHighlighter = new RowHighlighter(watchlistTable, 500, this);
    connect(watchlistTable->verticalScrollBar(), &QScrollBar::valueChanged, this,
            &MainWindow::ensureRowButtons);

    watchLayout->addWidget(quickAdd);
    watchLayout->addWidget(watchlistTable);
    pageLayout->addWidget(watchGroup);

    connect(symbolSearchEdit, &QLineEdit::textChanged, this, &MainWindow::onSymbolSearchTextChanged);
    connect(symbolSearchEdit, &QLineEdit::returnPressed, this, &MainWindow::onSymbolSearchTriggered);
    connect(addSymbolButton, &QPushButton::clicked, this, &MainWindow::onSymbolSearchTriggered);
    connect(symbolSearchPopup, &QTableWidget::cellClicked, this,
            &MainWindow::onSymbolSearchPopupItemClicked);
    // Sees every object's events, to hide the popup when the application loses activation.
    qApp->installEventFilter(this);

    connect(feedAuth, &QPushButton::clicked, this, &MainWindow::onQuickAuthAction);
    connect(startFeed, &QPushButton::clicked, this, &MainWindow::onStartLiveFeed);
    connect(stopFeed, &QPushButton::clicked, this, &MainWindow::onStopLiveFeed);
    connect(clearAll, &QPushButton::clicked, this, &MainWindow::onClearSymbols);
    connect(pathEdit, &QLineEdit::textChanged, this, &MainWindow::onAmiBrokerPathChanged);
    connect(testAmiBroker, &QPushButton::clicked, this, &MainWindow::onTestAmiBroker);

    startFeed->setObjectName(QStringLiteral("startLiveFeedBtn"));
    stopFeed->setObjectName(QStringLiteral("stopLiveFeedBtn"));

    refreshWatchlistDisplay();
}

void MainWindow::onAboutAction()
{
    const QString text =
        QStringLiteral(
            "<h2>Tickvane Connector</h2><p><b>Version %1</b> (Build %2)</p><p>Professional stock "
            "data connector supporting multiple brokers</p><ul><li>Real-time and historical data "
            "feeds</li><li>Multi-broker support (Zerodha, FlatTrade, TradeJini)</li><li>Advanced "
            "symbol management</li><li>WebSocket-based live data streaming</li></ul><p "
            "style='margin-top:10px;'><i>Built with Qt Framework</i></p>")
            .arg(QLatin1String(kVersion))
            .arg(QLatin1String(kBuild));
    prompts->about(this, QStringLiteral("About Tickvane"), text);
}

// ---------------------------------------------------------------------------------------------
// Watchlist

int MainWindow::rowButtonHeight() const
{
    return watchlistTable->fontMetrics().height() + 2 * 4 + 4;
}

void MainWindow::sizeWatchlistColumns()
{
    // The Actions column takes whatever room the others leave.
    watchlistTable->horizontalHeader()->setStretchLastSection(true);
    fitWatchlistColumns();

    // Rows are as tall as the row buttons; rows far from the screen have no buttons yet and are
    // as tall all the same.
    QPushButton load(QStringLiteral("Load History"));
    load.setStyleSheet(QString::fromLatin1(kLoadHistoryStyle));
    const int rowHeight = qMax(qMax(rowButtonHeight(), load.sizeHint().height()),
                               watchlistTable->fontMetrics().height())
        + 2 * kItemPadding + 4;
    watchlistTable->verticalHeader()->setDefaultSectionSize(
        qMax(rowHeight, watchlistTable->verticalHeader()->defaultSectionSize()));
}

void MainWindow::measureWatchlistColumns()
{
    columnsOutgrown = false;
    const QFontMetrics fm = watchlistTable->fontMetrics();
    const QFontMetrics nameFm(watchlistNameFont().resolve(watchlistTable->font()));
    const QHeaderView* header = watchlistTable->horizontalHeader();
    const int rows = watchlistTable->rowCount();
    // Numbers are measured by their shape: of the longest texts of a column, the one with every
    // digit (and minus) a zero is as wide as any value of that length can be, so a later value
    // outgrows the column only by being longer, which costs the tick path a length check. The
    // column's longest texts mostly share a shape: few are measured.
    const int inset = cellTextInset(watchlistTable);
    QString shape;
    QSet<QString> shapes;
    for (int col = 0; col < 9; ++col) {
        int widest = 0;
        int longest = 0;
        shapes.clear();
        for (int row = 0; row < rows; ++row) {
            const QTableWidgetItem* item = watchlistTable->item(row, col);
            if (!item)
                continue;
            const QString text = item->text();
            if (col == 0) {
                widest = qMax(widest, nameFm.horizontalAdvance(text));
                longest = qMax(longest, int(text.size()));
                continue;
            }
            if (text.size() < longest)
                continue;
            if (text.size() > longest) {
                longest = text.size();
                shapes.clear();
            }
            shape.resize(text.size());
            for (int i = 0; i < text.size(); ++i) {
                const QChar c = text.at(i);
                shape[i] = c.isDigit() || c == QLatin1Char('-') ? QLatin1Char('0') : c;
            }
            if (!shapes.contains(shape))
                shapes.insert(shape);
        }
        for (const QString& s : qAsConst(shapes))
            widest = qMax(widest, fm.horizontalAdvance(s));
        // The header reads whole too ("% Change" in bold is wider than its column's own width).
        columnNeeds[col] = qMax(widest + inset, header->sectionSizeHint(col));
        fittedChars[col] = longest;
    }
}

void MainWindow::fitWatchlistColumns()
{
    // Each column is as wide as its own width, or as its widest value (or header) where that is
    // wider: a cut price or change reads as another number ("1228…" for 122845.55), so those
    // are never cut. A table too narrow for all of it (the window's default 1000 px with
    // six-digit prices) first takes the room the values leave in their columns, then cuts the
    // name, then the volume and the time (a cut cell reads whole on hover), then what the
    // Actions column keeps beyond its two buttons, so both stay in view. Wider, the room goes
    // back in the opposite order, and Actions stretches only once every value is whole.
    static const int widths[] = {120, 80, 70, 80, 70, 70, 70, 100, 80};
    constexpr int actionsWidth = 200;
    constexpr int narrowest = 40;
    // Until the table is on screen its width (and the style's fonts) mean nothing: the columns'
    // own widths.
    if (!watchlistTable->isVisible()) {
        for (int col = 0; col < 9; ++col)
            watchlistTable->setColumnWidth(col, widths[col]);
        fittedWidth = -1;
        return;
    }
    const bool remeasured = columnsOutgrown;
    if (remeasured)
        measureWatchlistColumns();
    const int available = watchlistTable->viewport()->width();
    if (available == fittedWidth && !remeasured)
        return;
    fittedWidth = available;

    int fitted[9];
    int wanted = 0;
    for (int col = 0; col < 9; ++col) {
        fitted[col] = qMax(widths[col], columnNeeds[col]);
        wanted += fitted[col];
    }
    int shortfall = wanted - (available - actionsWidth);
    const auto narrow = [&](int col, int floor) {
        const int given = qMin(qMax(shortfall, 0), qMax(0, fitted[col] - floor));
        fitted[col] -= given;
        shortfall -= given;
    };
    for (int col : {0, 7, 8, 2, 3, 1, 4, 5, 6})
        narrow(col, columnNeeds[col]);
    // A cut name, volume or time keeps a few characters, and its header.
    const QFontMetrics fm = watchlistTable->fontMetrics();
    const QFontMetrics nameFm(watchlistNameFont().resolve(watchlistTable->font()));
    const QHeaderView* header = watchlistTable->horizontalHeader();
    const int inset = cellTextInset(watchlistTable);
    const auto readable = [&](const QFontMetrics& metrics, int col) {
        return qMax(metrics.horizontalAdvance(QStringLiteral("0000…")) + inset,
                    header->sectionSizeHint(col));
    };
    narrow(0, readable(nameFm, 0));
    // The volume and the time give up alike.
    const int ltqFloor = readable(fm, 7);
    const int timeFloor = readable(fm, 8);
    if (shortfall > 0) {
        const int half = shortfall / 2;
        const int fromTime = qMin(shortfall - half, qMax(0, fitted[8] - timeFloor));
        fitted[8] -= fromTime;
        shortfall -= fromTime;
        narrow(7, ltqFloor);
        narrow(8, timeFloor);
    }
    // The Actions column needs the buttons' texts with their 8 px side padding, the 6 px between
    // them and the item's padding; it takes what the others leave.
    const int buttons = fm.horizontalAdvance(QStringLiteral("Load History"))
        + fm.horizontalAdvance(QStringLiteral("Remove")) + 4 * 8 + 6 + 2 * kItemPadding + 8;
    shortfall -= qMin(qMax(shortfall, 0), qMax(0, actionsWidth - buttons));
    // Narrower still, the buttons stay in view before the name, volume and time stay readable:
    // those three give up what is missing in proportion, so that none is left a mere ellipsis
    // while the others keep some room. The prices and changes stay whole; past that the table
    // scrolls.
    if (shortfall > 0) {
        int spare = 0;
        for (int col : {0, 7, 8})
            spare += qMax(0, fitted[col] - narrowest);
        const int taken = qMin(shortfall, spare);
        int left = taken;
        for (int col : {0, 7, 8}) {
            const int share = spare > 0 ? int(qint64(taken) * qMax(0, fitted[col] - narrowest) / spare) : 0;
            fitted[col] -= share;
            left -= share;
        }
        shortfall -= taken - left;
        for (int col : {0, 7, 8})  // what rounding left over
            narrow(col, narrowest);
    }
    for (int col = 0; col < 9; ++col)
        watchlistTable->setColumnWidth(col, fitted[col]);
}

void MainWindow::refreshWatchlistDisplay()
{
    if (!watchlistTable || !settings)
        return;
    watchlistRefreshDue = false;
    const QString broker = SettingsManager::providerName(settings->provider());
    QStringList entries = settings->watchlistForBroker(broker);
    if (entries.isEmpty())
        entries = settings->watchlist();
    qDebug() << "[Watchlist] Refreshing display with" << entries.size() << "items (showing"
             << entries.size() << ")";

    // While the start-up master is on its way the names are coming: no hint to load them.
    if (symbolRepository && symbolRepository->isEmpty() && !entries.isEmpty() && !masterDownloading) {
        qDebug() << "[Watchlist] No symbol data loaded. Symbols will show as tokens.";
        statusMessageLabel->setText(QStringLiteral(
            "Symbols showing as numbers? Right-click on watchlist → 'Load Symbol Data' or use "
            "Tools → Symbol Manager"));
    }

    QStringList names;
    names.reserve(entries.size());
    for (const QString& token : qAsConst(entries)) {
        QString repoName;
        if (symbolRepository) {
            repoName = symbolRepository->symbolForToken(token);
            qDebug() << "[Watchlist] Retrieved symbol for token" << token << "=" << repoName;
        }
        names << WatchlistFormat::displayName(token, repoName);
        if (!repoName.isEmpty() && repoName != token)
            qDebug() << "[Watchlist] Using symbol name:" << names.last();
        else
            qDebug() << "[Watchlist] Symbol name not found or equals token, using token as "
                        "display:"
                     << token;
    }

    // Rows of tokens that stay keep their items, buttons and last tick: only rows that came or
    // moved are built, and a row whose name changed gets the new name.
    rebuildingRows = true;
    QVector<bool> built = alignWatchlistRows(entries);
    tokenRows.clear();
    indexTokens.clear();  // the master may have changed
    dueRows.clear();
    // Cells are set with the model's signals held and the view repainted once at the end, not
    // once per cell.
    QAbstractItemModel* model = watchlistTable->model();
    const bool wasBlocked = model->blockSignals(true);
    for (int row = 0; row < entries.size(); ++row) {
        const QString& token = entries.at(row);
        if (!tokenRows.contains(token))
            tokenRows.insert(token, row);
        RowUpdate& update = rowUpdates[row];
        if (built.at(row))
            buildWatchlistRow(row, token, names.at(row));
        else if (update.rowName != names.at(row))
            renameWatchlistRow(row, names.at(row));
        if (update.due)
            dueRows.append(row);
    }
    model->blockSignals(wasBlocked);
    rebuildingRows = false;
    watchlistTable->viewport()->update();
    if (!dueRows.isEmpty() && !rowPaintTimer->isActive())
        rowPaintTimer->start(0);
    // Rows and names came or went: the columns follow what the table holds now.
    columnsOutgrown = true;
    fitWatchlistColumns();
    ensureRowButtons();
}

QVector<bool> MainWindow::alignWatchlistRows(const QStringList& entries)
{
    // What the old rows hold, by token, for rows that are built again at another place.
    QHash<QString, RowUpdate> carried;
    QVector<RowUpdate> old = std::exchange(rowUpdates, {});
    old.resize(watchlistTable->rowCount());
    QHash<QString, int> oldLeft;  // per token: old rows not passed yet
    QHash<QString, int> newLeft;  // per token: entries not placed yet
    for (const RowUpdate& u : qAsConst(old))
        ++oldLeft[u.token];
    for (const QString& token : entries)
        ++newLeft[token];

    // One pass over both lists: a row whose token comes next in both stays; a row whose token
    // is not wanted any more goes; an entry no old row is left for is inserted. A row whose token
    // is wanted later goes too and is built again there with what it showed.
    enum Step { Keep, Remove, Insert };
    QVector<Step> steps;
    steps.reserve(old.size() + entries.size());
    int i = 0, j = 0;
    while (i < old.size() || j < entries.size()) {
        const QString* o = i < old.size() ? &old.at(i).token : nullptr;
        const QString* n = j < entries.size() ? &entries.at(j) : nullptr;
        if (o && n && *o == *n) {
            steps << Keep;
            --oldLeft[*o];
            --newLeft[*n];
            ++i, ++j;
        } else if (o && (!n || newLeft.value(*o) == 0 || oldLeft.value(*n) > 0)) {
            if (newLeft.value(*o) > 0)
                carried.insert(*o, old.at(i));
            steps << Remove;
            --oldLeft[*o];
            ++i;
        } else {
            steps << Insert;
            --newLeft[*n];
            ++j;
        }
    }

    const bool structural = std::any_of(steps.cbegin(), steps.cend(), [](Step s) { return s != Keep; });
    if (structural && rowHighlighter)
        rowHighlighter->clearAll();  // its flashes are kept by row number
    // Runs of removals and insertions go to the model in one call each; a removal followed by
    // an insertion hands its rows over to the new entries instead, which are set up in place.
    QVector<QPair<Step, int>> runs;
    for (Step step : qAsConst(steps)) {
        if (runs.isEmpty() || runs.last().first != step)
            runs.append({step, 0});
        ++runs.last().second;
    }
    QAbstractItemModel* model = watchlistTable->model();
    rowUpdates.reserve(entries.size());
    QVector<bool> built;
    built.reserve(entries.size());
    const auto placeEntry = [&](int j) {
        const QString& token = entries.at(j);
        RowUpdate update;
        auto it = carried.find(token);
        // A tick that came before the move is shown as well, even when the row had not painted
        // it yet: it carries the name the row is known by.
        if (it != carried.end() && (it->shown.painted || it->due)) {
            // Shown again from its last tick at the next paint.
            update.tick = it->tick;
            update.name = it->name;
            update.due = true;
        }
        update.token = token;
        rowUpdates << std::move(update);
        built << true;
    };
    int row = 0;
    int firstMoved = INT_MAX;  // the first row whose items moved to another row
    i = j = 0;
    for (int k = 0; k < runs.size(); ++k) {
        const int run = runs[k].second;
        if (runs[k].first == Keep) {
            for (int r = 0; r < run; ++r) {
                rowUpdates << std::move(old[i++]);
                built << false;
            }
            j += run;
            row += run;
        } else if (runs[k].first == Remove) {
            const bool before = k + 1 < runs.size() && runs[k + 1].first == Insert;
            const int handed = before ? std::min(run, runs[k + 1].second) : 0;
            if (run > handed) {
                model->removeRows(row + handed, run - handed);
                firstMoved = std::min(firstMoved, row + handed);
            }
            i += run;
            for (int r = 0; r < handed; ++r)
                placeEntry(j++);
            row += handed;
            if (before)
                runs[k + 1].second -= handed;
        } else if (run > 0) {
            model->insertRows(row, run);
            firstMoved = std::min(firstMoved, row);
            for (int r = 0; r < run; ++r)
                placeEntry(j++);
            row += run;
        }
    }
    // Items remember their place for the table's lookups by item; after rows moved they are
    // looked for across the whole table at every change, a tick's included, until they are
    // placed again.
    if (firstMoved < watchlistTable->rowCount()) {
        const bool wasBlocked = model->blockSignals(true);
        for (int r = firstMoved; r < watchlistTable->rowCount(); ++r) {
            for (int col = 0; col < watchlistTable->columnCount(); ++col) {
                if (QTableWidgetItem* item = watchlistTable->takeItem(r, col))
                    watchlistTable->setItem(r, col, item);
            }
        }
        model->blockSignals(wasBlocked);
    }
    return built;
}

void MainWindow::buildWatchlistRow(int row, const QString& token, const QString& name)
{
    const int lastPricedColumn = 8;
    QTableWidgetItem* nameItem = watchlistTable->item(row, 0);
    if (nameItem) {
        // A row handed over from an entry that went: its items and buttons start afresh.
        nameItem->setText(name);
        for (int col = 1; col <= lastPricedColumn; ++col) {
            if (QTableWidgetItem* item = watchlistTable->item(row, col)) {
                item->setText(QStringLiteral("--"));
                item->setData(Qt::ForegroundRole, QVariant());
                item->setData(Qt::BackgroundRole, QVariant());
            }
        }
    } else {
        nameItem = new QTableWidgetItem(name);
        watchlistTable->setItem(row, 0, nameItem);
        for (int col = 1; col <= lastPricedColumn; ++col)
            watchlistTable->setItem(row, col, new QTableWidgetItem(QStringLiteral("--")));
        watchlistTable->setItem(row, 9, new QTableWidgetItem);
    }
    qDebug() << "[Watchlist] Set table row" << row << "column 0 to:" << name;
    nameItem->setData(Qt::UserRole, token);
    nameItem->setBackground(QBrush(WatchlistFormat::symbolBackground()));
    nameItem->setFont(watchlistNameFont());
    // Whatever buttons the row has, made before its token was stored or handed over from the
    // entry that went, act on this token from now on.
    renameWatchlistRow(row, name);
}

void MainWindow::ensureRowButtons()
{
    // Rows get their buttons when they come near the screen: a thousand button widgets on the
    // table would make every rebuild, scroll and resize move all of them.
    // While the rows are being rebuilt, the table resizes and scrolls with every insertion and
    // removal (a tenth row widens the row numbers), and rows do not hold their tokens yet: the
    // rebuild makes the buttons once it is done.
    if (rebuildingRows)
        return;
    const int rows = std::min(watchlistTable ? watchlistTable->rowCount() : 0, int(rowUpdates.size()));
    if (rows == 0)
        return;
    int first = watchlistTable->rowAt(0);
    int last = watchlistTable->rowAt(watchlistTable->viewport()->height() - 1);
    if (first < 0)
        first = 0;
    if (last < 0)
        last = rows - 1;
    const int margin = std::max(kButtonRowsAhead, last - first + 1);
    first = std::max(0, first - margin);
    last = std::min(rows - 1, last + margin);
    for (int row = first; row <= last; ++row) {
        if (!watchlistTable->cellWidget(row, 9))
            createRowButtons(row);
    }
}

void MainWindow::createRowButtons(int row)
{
    auto* actions = new QWidget;
    auto* actionsLayout = new QHBoxLayout(actions);
    actionsLayout->setContentsMargins(0, 0, 0, 0);
    actionsLayout->setSpacing(6);
    auto* loadHistory = new QPushButton(QStringLiteral("Load History"));
    loadHistory->setObjectName(QLatin1String(kLoadHistoryName));
    loadHistory->setToolTip(
        QStringLiteral("Request historical data for this symbol and import into AmiBroker"));
    auto* remove = new QPushButton(QStringLiteral("Remove"));
    remove->setObjectName(QLatin1String(kRemoveName));
    remove->setToolTip(QStringLiteral("Remove this symbol from your watchlist"));
    // Tall enough for the text with its descenders, whatever the style's own idea.
    const int buttonHeight = rowButtonHeight();
    loadHistory->setMinimumHeight(buttonHeight);
    remove->setMinimumHeight(buttonHeight);
    actionsLayout->addWidget(loadHistory);
    actionsLayout->addWidget(remove);
    actionsLayout->addStretch();
    watchlistTable->setCellWidget(row, 9, actions);
    // The row is as tall as its buttons in the font they are finally shown with, plus the
    // items' padding, which the cell widget is inset by. Every row's buttons are alike.
    if (rowButtonsHeight < 0)
        rowButtonsHeight = qMax(loadHistory->sizeHint().height(), buttonHeight);
    const int needed = rowButtonsHeight + kItemPadding * 2 + 4;
    if (watchlistTable->rowHeight(row) < needed)
        watchlistTable->setRowHeight(row, needed);
    bindRowButtons(row);
}

void MainWindow::renameWatchlistRow(int row, const QString& name)
{
    RowUpdate& update = rowUpdates[row];
    update.rowName = name;
    update.shown.name.clear();  // the next tick shows its own name again
    const QString& token = update.token;
    QTableWidgetItem* nameItem = watchlistTable->item(row, 0);
    if (nameItem && nameItem->text() != name) {
        nameItem->setText(name);
        qDebug() << "[Watchlist] Set table row" << row << "column 0 to:" << name;
    }
    if (nameItem) {
        const bool fallback = WatchlistFormat::isFallbackName(name, token);
        nameItem->setData(Qt::ForegroundRole,
                          fallback ? QVariant(QBrush(WatchlistFormat::fallbackForeground())) : QVariant());
        nameItem->setToolTip(fallback ? WatchlistFormat::fallbackToolTip() : QString());
    }
    bindRowButtons(row);
}

void MainWindow::bindRowButtons(int row)
{
    // The one place a row's buttons learn what they act on: whenever they are made, and whenever
    // the row's token or name changes. The handlers own copies of the token and name, since the
    // row's widgets may be replaced by a rebuild while a handler runs.
    QWidget* actions = watchlistTable->cellWidget(row, 9);
    if (!actions || row >= rowUpdates.size())
        return;
    const QString token = rowUpdates.at(row).token;
    const QString name = rowUpdates.at(row).rowName;
    if (auto* load = actions->findChild<QPushButton*>(QLatin1String(kLoadHistoryName))) {
        load->setProperty("watchlistToken", token);
        load->setEnabled(!token.isEmpty() && brokerAPI);
        disconnect(load, &QPushButton::clicked, this, nullptr);
        connect(load, &QPushButton::clicked, this, [this, token] { requestHistory(token); });
    }
    auto* remove = actions->findChild<QPushButton*>(QLatin1String(kRemoveName));
    if (!remove)
        return;
    remove->setProperty("watchlistToken", token);
    disconnect(remove, &QPushButton::clicked, this, nullptr);
    connect(remove, &QPushButton::clicked, this, [this, token, name] {
        // A tick may have taught the row a name since it was built: ask with what it shows.
        const int shownRow = rowForToken(token);
        const QTableWidgetItem* item = shownRow >= 0 ? watchlistTable->item(shownRow, 0) : nullptr;
        removeWatchlistToken(token, item && !item->text().isEmpty() ? item->text() : name);
    });
}

void MainWindow::addSymbolToWatchlist(const QString& symbolName, const QString& token,
                                      const QString& exchange)
{
    if (!settings)
        return;
    qDebug() << "[MainWindow] Adding symbol to watchlist:" << symbolName << "Token:" << token
             << "Exchange:" << exchange;
    const QString broker = SettingsManager::providerName(settings->provider());
    if (settings->watchlistForBroker(broker).contains(token, Qt::CaseSensitive)) {
        statusMessageLabel->setText(
            exchange.isEmpty()
                ? QStringLiteral("'%1' is already in your watchlist.").arg(symbolName)
                : QStringLiteral("'%1' (%2) is already in your watchlist.").arg(symbolName, exchange));
        return;
    }
    settings->addSymbolForBroker(broker, token);
    settings->saveSettings();
    refreshWatchlistDisplay();
    if (wsConnected || (brokerAPI && brokerAPI->implementation()))
        subscribeToWatchlistSymbols();
    else if (brokerAPI && liveFeeder && liveFeeder->isRunning())
        liveFeeder->addSymbol(token);  // a running quote poll asks for it from now on
    statusMessageLabel->setText(
        exchange.isEmpty() ? QStringLiteral("✓ '%1' added to watchlist").arg(symbolName)
                           : QStringLiteral("✓ '%1' (%2) added to watchlist").arg(symbolName, exchange));
    qDebug() << "[MainWindow] Symbol added successfully:" << symbolName << "with token" << token;
}

void MainWindow::removeWatchlistToken(const QString& token, const QString& displayName)
{
    const auto answer = prompts->question(this, QStringLiteral("Remove Symbol"),
                                          QStringLiteral("Remove %1 from watchlist?").arg(displayName),
                                          QMessageBox::No);
    if (answer != QMessageBox::Yes || !settings)
        return;
    // The row's key exactly as stored: keys such as Upstox's "NSE_INDEX|Nifty 50" are mixed
    // case, and an upper-cased one would match nothing.
    bool removed = false;
    const QString current = settings->currentBroker();
    const QString shownBroker = SettingsManager::providerName(settings->provider());
    for (const QString& broker : {current, shownBroker}) {
        if (!broker.isEmpty() && settings->watchlistForBroker(broker).contains(token)) {
            settings->removeSymbolForBroker(broker, token);
            removed = true;
        }
    }
    QStringList active = settings->watchlist();
    if (active.removeAll(token) > 0) {
        settings->setWatchlist(active);
        removed = true;
    }
    if (!removed) {
        qWarning() << "[MainWindow] Remove: key not in the watchlist:" << token;
        refreshWatchlistDisplay();
        statusMessageLabel->setText(
            QStringLiteral("%1 was not found in the watchlist; nothing was removed.").arg(displayName));
        return;
    }
    settings->saveSettings();
    refreshWatchlistDisplay();
    statusMessageLabel->setText(QStringLiteral("Removed %1 from watchlist.").arg(displayName));
}

void MainWindow::onClearSymbols()
{
    const auto answer = prompts->question(
        this, QStringLiteral("Clear Watchlist"),
        QStringLiteral("Remove all symbols from live feed watchlist?"), QMessageBox::NoButton);
    if (answer != QMessageBox::Yes)
        return;
    if (liveFeeder)
        liveFeeder->clearSymbols();
    // Written at once, as a removal is: a crash or kill must not bring the symbols back.
    if (settings)
        settings->saveSettings();
    if (watchlistTable) {
        watchlistTable->setRowCount(0);
        tokenRows.clear();
        dueRows.clear();
        rowUpdates.clear();
        columnsOutgrown = true;
        fitWatchlistColumns();
    }
}

void MainWindow::showWatchlistContextMenu(const QPoint& pos)
{
    QMenu menu(this);
    QAction* refresh = menu.addAction(QStringLiteral("🔄 Refresh Symbols"));
    refresh->setToolTip(QStringLiteral("Refresh watchlist to show symbol names instead of tokens"));
    QAction* manager = menu.addAction(QStringLiteral("⚙️ Open Symbol Manager"));
    manager->setToolTip(
        QStringLiteral("Open Symbol Manager to load symbols and manage watchlist"));
    menu.addSeparator();
    QAction* clear = menu.addAction(QStringLiteral("🗑️ Clear All"));
    clear->setToolTip(QStringLiteral("Clear all symbols from watchlist"));

    QAction* chosen = prompts->popup(&menu, watchlistTable->viewport()->mapToGlobal(pos));
    if (chosen == refresh) {
        qDebug() << "[Context Menu] Refreshing watchlist display";
        refreshWatchlistDisplay();
        statusMessageLabel->setText(QStringLiteral("Watchlist refreshed."));
    } else if (chosen == manager) {
        statusMessageLabel->setText(QStringLiteral(
            "Use the 'Quick Add' search box above to find and add symbols to your watchlist."));
    } else if (chosen == clear) {
        const auto answer = prompts->question(
            this, QStringLiteral("Clear Watchlist"),
            QStringLiteral("Are you sure you want to clear all symbols from the watchlist?"),
            QMessageBox::No);
        if (answer == QMessageBox::Yes)
            onClearSymbols();
    }
}
