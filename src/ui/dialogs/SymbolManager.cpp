// Symbol manager dialog: window, parsers hand-over, symbol table, watchlist and lookups.
#include "ui/dialogs/SymbolManager.h"

#include "symbols/ISymbolProvider.h"
#include "symbols/SymbolRepository.h"
#include "ui/dialogs/HeaderMasterParser.h"
#include "ui/dialogs/PositionalMasterParser.h"
#include "ui/dialogs/DialogPrompts.h"

#include <QComboBox>
#include <QDebug>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QNetworkAccessManager>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

enum { Info = int(DialogPrompts::Kind::Information), Warn = int(DialogPrompts::Kind::Warning) };

IndianSymbolData recordOf(const QTableWidgetItem* item)
{
    const QVariant v = item->data(Qt::UserRole);
    return v.canConvert<IndianSymbolData>() ? v.value<IndianSymbolData>() : IndianSymbolData();
}

}  // namespace

// The icons live in the ui library's resources; a static library's resources are registered by
// hand (from outside any namespace), or the linker drops them.
static void registerIconResources()
{
    Q_INIT_RESOURCE(icons);
}

SymbolManager::SymbolManager(SettingsManager* settings, SymbolRepository* repository, QWidget* parent)
    : QDialog(parent),
      settings(settings),
      repository(repository),
      network(new QNetworkAccessManager(this)),
      prompts(DialogPrompts::system())
{
    qRegisterMetaType<IndianSymbolData>("IndianSymbolData");
    static const bool iconsRegistered = (registerIconResources(), true);
    Q_UNUSED(iconsRegistered);
    setWindowTitle(QStringLiteral("Symbol Manager - Indian Brokers"));
    setMinimumSize(1200, 800);
    setupUi();
    loadWatchlist();
}

SymbolManager::~SymbolManager() = default;

void SymbolManager::setPrompts(DialogPrompts* p)
{
    prompts = p ? p : DialogPrompts::system();
}

void SymbolManager::say(int kind, const QString& title, const QString& text)
{
    prompts->message(this, DialogPrompts::Kind(kind), title, text);
}

void SymbolManager::setupUi()
{
    setWindowTitle(QStringLiteral("Symbol Manager - Indian Stock Markets"));
    setModal(false);
    resize(1200, 800);
    auto* main = new QVBoxLayout(this);
    main->setSpacing(10);
    main->setContentsMargins(10, 10, 10, 10);

    auto* brokerGroup = new QGroupBox(QStringLiteral("Broker && Exchange Selection"), this);
    auto* brokerRow = new QHBoxLayout(brokerGroup);
    brokerRow->setSpacing(15);
    brokerRow->addWidget(new QLabel(QStringLiteral("Broker:"), brokerGroup));
    brokerCombo = new QComboBox(brokerGroup);
    brokerCombo->addItems({"Fyers", "Zerodha", "FlatTrade"});
    brokerCombo->setMinimumWidth(100);
    brokerCombo->setStyleSheet(QStringLiteral("QComboBox { padding: 5px; }"));
    brokerRow->addWidget(brokerCombo);
    brokerRow->addSpacing(20);
    brokerRow->addWidget(new QLabel(QStringLiteral("Exchange:"), brokerGroup));
    exchangeCombo = new QComboBox(brokerGroup);
    exchangeCombo->addItems({"NSE", "BSE", "NFO", "MCX"});
    exchangeCombo->setMinimumWidth(80);
    exchangeCombo->setStyleSheet(QStringLiteral("QComboBox { padding: 5px; }"));
    brokerRow->addWidget(exchangeCombo);
    brokerRow->addSpacing(20);
    // The main window presses the first push button of this dialog whose text holds "Load".
    loadButton = new QPushButton(QStringLiteral("Load Symbols"), brokerGroup);
    loadButton->setMinimumSize(120, 30);
    loadButton->setStyleSheet(QStringLiteral(
        "QPushButton {    background-color: #4CAF50;    color: white;    font-weight: bold;    padding: 8px 15px;"
        "    border-radius: 4px;    border: none;}QPushButton:hover {    background-color: #45a049;}"
        "QPushButton:pressed {    background-color: #3d8b40;}"));
    brokerRow->addWidget(loadButton);
    auto* clearCacheButton = new QPushButton(QStringLiteral("Clear Cache"), brokerGroup);
    clearCacheButton->setMinimumWidth(100);
    clearCacheButton->setMinimumHeight(30);
    clearCacheButton->setStyleSheet(QStringLiteral(
        "QPushButton {    background-color: #ff9800;    color: white;    font-weight: bold;    padding: 8px 15px;"
        "    border-radius: 4px;    border: none;}QPushButton:hover {    background-color: #e68900;}"
        "QPushButton:pressed {    background-color: #cc7a00;}"));
    brokerRow->addWidget(clearCacheButton);
    brokerRow->addStretch();
    main->addWidget(brokerGroup);

    auto* searchGroup = new QGroupBox(QStringLiteral("Search Symbols"), this);
    auto* searchRow = new QHBoxLayout(searchGroup);
    searchRow->addWidget(new QLabel(QStringLiteral("Search:"), searchGroup));
    searchEdit = new QLineEdit(searchGroup);
    searchEdit->setPlaceholderText(QStringLiteral("Type symbol name, token, or ISIN to filter results..."));
    searchEdit->setStyleSheet(QStringLiteral(
        "QLineEdit {    padding: 8px;    font-size: 12px;    border: 2px solid #ddd;    border-radius: 4px;}"
        "QLineEdit:focus {    border-color: #4CAF50;}"));
    searchRow->addWidget(searchEdit);
    main->addWidget(searchGroup);

    auto* splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setChildrenCollapsible(false);
    auto* availableGroup = new QGroupBox(QStringLiteral("Available Symbols"), splitter);
    availableGroup->setStyleSheet(QStringLiteral("QGroupBox { font-weight: bold; }"));
    auto* availableLayout = new QVBoxLayout(availableGroup);
    symbolTable = new QTableWidget(0, 4, availableGroup);
    symbolTable->setHorizontalHeaderLabels({"Symbol", "Exchange", "Token", "ISIN"});
    symbolTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    symbolTable->setAlternatingRowColors(true);
    symbolTable->setSortingEnabled(true);
    symbolTable->setGridStyle(Qt::SolidLine);
    symbolTable->horizontalHeader()->setStretchLastSection(true);
    symbolTable->setColumnWidth(0, 280);
    symbolTable->setColumnWidth(1, 80);
    symbolTable->setColumnWidth(2, 130);
    symbolTable->setStyleSheet(QStringLiteral(
        "QTableWidget {    gridline-color: #d0d0d0;    background-color: white;    alternate-background-color: #f8f9fa;"
        "    selection-background-color: #2196F3;    border: 1px solid #ccc;}QTableWidget::item {    padding: 5px;"
        "    border-bottom: 1px solid #e0e0e0;}QTableWidget::item:selected {    background-color: #2196F3;"
        "    color: white;}QHeaderView::section {    background-color: #f1f3f4;    padding: 8px 5px;"
        "    border: 1px solid #c0c0c0;    font-weight: bold;    color: #333;}"));
    availableLayout->addWidget(symbolTable);
    addButton = new QPushButton(QStringLiteral("Add Selected to Watchlist"), availableGroup);
    addButton->setEnabled(false);
    addButton->setMinimumHeight(35);
    addButton->setStyleSheet(QStringLiteral(
        "QPushButton {    background-color: #2196F3;    color: white;    font-weight: bold;    padding: 8px;"
        "    border-radius: 4px;    border: none;}QPushButton:hover {    background-color: #1976D2;}"
        "QPushButton:disabled {    background-color: #ccc;    color: #666;}"));
    availableLayout->addWidget(addButton);

    auto* watchGroup = new QGroupBox(QStringLiteral("My Watchlist"), splitter);
    watchGroup->setStyleSheet(QStringLiteral("QGroupBox { font-weight: bold; }"));
    auto* watchLayout = new QVBoxLayout(watchGroup);
    watchlistWidget = new QListWidget(watchGroup);
    watchlistWidget->setStyleSheet(QStringLiteral(
        "QListWidget {    background-color: white;    border: 1px solid #ccc;    border-radius: 4px;}"
        "QListWidget::item {    padding: 8px;    border-bottom: 1px solid #e0e0e0;    min-height: 20px;}"
        "QListWidget::item:selected {    background-color: #2196F3;    color: white;}"
        "QListWidget::item:hover {    background-color: #e3f2fd;}"));
    watchLayout->addWidget(watchlistWidget);
    auto* watchButtons = new QHBoxLayout();
    removeButton = new QPushButton(QStringLiteral("Remove Selected"), watchGroup);
    removeButton->setEnabled(false);
    removeButton->setStyleSheet(QStringLiteral(
        "QPushButton {    background-color: #f44336;    color: white;    font-weight: bold;    padding: 6px 12px;"
        "    border-radius: 4px;    border: none;}QPushButton:hover {    background-color: #d32f2f;}"
        "QPushButton:disabled {    background-color: #ccc;    color: #666;}"));
    auto* clearAllButton = new QPushButton(QStringLiteral("Clear All"), watchGroup);
    clearAllButton->setStyleSheet(QStringLiteral(
        "QPushButton {    background-color: #ff9800;    color: white;    padding: 6px 12px;    border-radius: 4px;"
        "    border: none;}QPushButton:hover {    background-color: #f57c00;}"));
    watchButtons->addWidget(removeButton);
    watchButtons->addWidget(clearAllButton);
    watchLayout->addLayout(watchButtons);
    splitter->addWidget(availableGroup);
    splitter->addWidget(watchGroup);
    splitter->setSizes({700, 300});
    splitter->setStretchFactor(0, 7);
    splitter->setStretchFactor(1, 3);
    main->addWidget(splitter);

    auto* bottom = new QHBoxLayout();
    statusLabel = new QLabel(QStringLiteral("Ready - Select broker and exchange, then click 'Load Symbols' to begin"), this);
    statusLabel->setStyleSheet(QStringLiteral("QLabel { color: #666; font-style: italic; padding: 5px; }"));
    bottom->addWidget(statusLabel);
    bottom->addStretch();
    progressBar = new QProgressBar(this);
    progressBar->setVisible(false);
    progressBar->setMaximumHeight(20);
    progressBar->setStyleSheet(QStringLiteral(
        "QProgressBar {    border: 1px solid #ccc;    border-radius: 4px;    text-align: center;}"
        "QProgressBar::chunk {    background-color: #4CAF50;    border-radius: 3px;}"));
    bottom->addWidget(progressBar);
    main->addLayout(bottom);

    connect(loadButton, &QPushButton::clicked, this, &SymbolManager::onLoadSymbolsClicked);
    connect(searchEdit, &QLineEdit::textChanged, this, &SymbolManager::onSearchTextChanged);
    connect(addButton, &QPushButton::clicked, this, &SymbolManager::onAddToWatchlistClicked);
    connect(removeButton, &QPushButton::clicked, this, &SymbolManager::onRemoveFromWatchlistClicked);
    connect(symbolTable, &QTableWidget::cellDoubleClicked, this, &SymbolManager::onSymbolDoubleClicked);
    connect(clearCacheButton, &QPushButton::clicked, this, &SymbolManager::clearCache);
    connect(clearAllButton, &QPushButton::clicked, this, &SymbolManager::clearWatchlist);
    // A selection made from code changes the selection before the current row, so both signals
    // update the buttons.
    const auto followTable = [this] { addButton->setEnabled(symbolTable->currentRow() >= 0); };
    connect(symbolTable, &QTableWidget::itemSelectionChanged, this, followTable);
    connect(symbolTable, &QTableWidget::currentCellChanged, this, followTable);
    const auto followList = [this] { removeButton->setEnabled(watchlistWidget->currentRow() >= 0); };
    connect(watchlistWidget, &QListWidget::itemSelectionChanged, this, followList);
    connect(watchlistWidget, &QListWidget::currentRowChanged, this, followList);
}

// ---- parsers ----------------------------------------------------------------------------------

void SymbolManager::beginParse(bool append)
{
    if (!append && !allExchanges)
        loaded.clear();
}

void SymbolManager::parseMaster(const char* prefix, bool info, bool append, const QByteArray& data,
                                const std::function<QList<IndianSymbolData>(const SymbolMasterText&)>& parser)
{
    beginParse(append);
    const int start = loaded.size();
    // A big master takes a while: it is parsed and indexed off the window's thread.
    auto hasLines = std::make_shared<bool>(false);
    const auto parse = [data, parser, hasLines] {
        const SymbolMasterText master = SymbolMasterText::fromBytes(data);
        *hasLines = !master.lines.isEmpty();
        return *hasLines ? parser(master) : QList<IndianSymbolData>();
    };
    const QList<IndianSymbolData> added = repository ? repository->addParsedWaiting(parse) : parse();
    if (!*hasLines)
        return;
    loaded.append(added);
    const int parsed = loaded.size() - start;
    if (info)
        qInfo().noquote() << prefix << parsed << "symbols (total now:" << loaded.size() << ")";
    else
        qDebug().noquote() << prefix << parsed << "symbols (total now:" << loaded.size() << ")";
}

void SymbolManager::parseTradeJiniSymbols(const QByteArray& data, bool append)
{
    parseMaster("[TradeJini] Parsed", false, append, data,
                [](const SymbolMasterText& m) { return PositionalMasterParser::parseTradeJini(m); });
}

void SymbolManager::parseZerodhaInstruments(const QByteArray& data, bool append)
{
    parseMaster("[Zerodha] Parsed", false, append, data,
                [](const SymbolMasterText& m) { return PositionalMasterParser::parseZerodha(m); });
}

void SymbolManager::parseFlatTradeSymbols(const QByteArray& data, bool append)
{
    parseMaster("[FlatTrade] Parsed", true, append, data,
                [](const SymbolMasterText& m) { return HeaderMasterParser::parseFlatTrade(m); });
}

void SymbolManager::parseFyersSymbols(const QByteArray& data, bool append, const QString& exchange)
{
    const QString ex = exchange.isEmpty() ? exchangeCombo->currentText() : exchange;
    parseMaster("[Fyers] Parsed", false, append, data,
                [ex](const SymbolMasterText& m) { return HeaderMasterParser::parseFyers(m, ex); });
}

// ---- table and filter -------------------------------------------------------------------------

void SymbolManager::populateTable()
{
    // A sorted table moves rows while they are written; fill it unsorted so that every row holds
    // the cells of one record, then sort again.
    const bool sorting = symbolTable->isSortingEnabled();
    symbolTable->setSortingEnabled(false);
    symbolTable->setUpdatesEnabled(false);
    symbolTable->setRowCount(filtered.size());
    for (int r = 0; r < filtered.size(); ++r) {
        const IndianSymbolData& rec = filtered.at(r);
        auto* first = new QTableWidgetItem(rec.symbol);
        first->setData(Qt::UserRole, QVariant::fromValue(rec));
        symbolTable->setItem(r, 0, first);
        symbolTable->setItem(r, 1, new QTableWidgetItem(rec.exchange));
        symbolTable->setItem(r, 2, new QTableWidgetItem(rec.token));
        symbolTable->setItem(r, 3, new QTableWidgetItem(rec.isin));
    }
    symbolTable->setSortingEnabled(sorting);
    symbolTable->setUpdatesEnabled(true);
    symbolTable->resizeColumnsToContents();
}

void SymbolManager::filterSymbols()
{
    filtered.clear();
    const QString query = searchEdit->text().trimmed().toLower();
    for (const IndianSymbolData& rec : qAsConst(loaded)) {
        if (query.isEmpty() || rec.symbol.contains(query, Qt::CaseInsensitive) ||
            rec.token.contains(query, Qt::CaseInsensitive) || rec.isin.contains(query, Qt::CaseInsensitive))
            filtered.append(rec);
    }
    populateTable();
}

void SymbolManager::onSearchTextChanged()
{
    filterSymbols();
}

// ---- watchlist --------------------------------------------------------------------------------

void SymbolManager::refreshWatchlistDisplay()
{
    watchlistWidget->clear();
    qDebug() << "Refreshing watchlist with" << watchlist.size() << "symbols";
    for (const IndianSymbolData& rec : qAsConst(watchlist)) {
        qDebug() << "Displaying watchlist symbol:" << rec.symbol << "Token:" << rec.token;
        auto* item = new QListWidgetItem(QStringLiteral("%1 (%2)").arg(rec.symbol, rec.exchange));
        item->setData(Qt::UserRole, QVariant::fromValue(rec));
        item->setToolTip(QStringLiteral("Symbol: %1\nExchange: %2\nToken: %3\nISIN: %4")
                             .arg(rec.symbol, rec.exchange, rec.token, rec.isin));
        if (rec.exchange == QLatin1String("NSE"))
            item->setIcon(QIcon(QStringLiteral(":/icons/nse.png")));
        else if (rec.exchange == QLatin1String("BSE"))
            item->setIcon(QIcon(QStringLiteral(":/icons/bse.png")));
        watchlistWidget->addItem(item);
    }
    if (auto* box = qobject_cast<QGroupBox*>(watchlistWidget->parentWidget()))
        box->setTitle(QStringLiteral("My Watchlist (%1 %2)")
                          .arg(watchlist.size())
                          .arg(watchlist.size() == 1 ? QStringLiteral("symbol") : QStringLiteral("symbols")));
}

void SymbolManager::addToWatchlist(const IndianSymbolData& record)
{
    for (const IndianSymbolData& rec : qAsConst(watchlist)) {
        if (rec.token == record.token) {
            say(Info, QStringLiteral("Already Added"), QStringLiteral("This symbol is already in your watchlist."));
            return;
        }
    }
    watchlist.append(record);
    refreshWatchlistDisplay();
    saveWatchlist();
    statusLabel->setText(QStringLiteral("Added %1 to watchlist").arg(record.symbol));
}

void SymbolManager::onAddToWatchlistClicked()
{
    const int row = symbolTable->currentRow();
    const QTableWidgetItem* item = row >= 0 ? symbolTable->item(row, 0) : nullptr;
    if (!item)
        return;
    const IndianSymbolData rec = recordOf(item);
    qDebug() << "Adding symbol to watchlist:";
    qDebug() << "  Token:" << rec.token;
    qDebug() << "  Symbol:" << rec.symbol;
    qDebug() << "  Exchange:" << rec.exchange;
    qDebug() << "  ISIN:" << rec.isin;
    addToWatchlist(rec);
}

void SymbolManager::onSymbolDoubleClicked(int row, int /*column*/)
{
    if (const QTableWidgetItem* item = symbolTable->item(row, 0))
        addToWatchlist(recordOf(item));
}

void SymbolManager::onRemoveFromWatchlistClicked()
{
    const int row = watchlistWidget->currentRow();
    if (row < 0 || row >= watchlist.size())
        return;
    const QString symbol = watchlist.at(row).symbol;
    watchlist.removeAt(row);
    refreshWatchlistDisplay();
    saveWatchlist();
    statusLabel->setText(QStringLiteral("Removed %1 from watchlist").arg(symbol));
}

void SymbolManager::clearWatchlist()
{
    if (!prompts->question(this, QStringLiteral("Clear Watchlist"),
                           QStringLiteral("Are you sure you want to remove all symbols from your watchlist?"), false))
        return;
    watchlist.clear();
    refreshWatchlistDisplay();
    saveWatchlist();
    statusLabel->setText(QStringLiteral("Watchlist cleared successfully"));
}

void SymbolManager::saveWatchlist()
{
    qInfo() << "[SymbolManager] saveWatchlist called - watchlist now managed by MainWindow";
}

void SymbolManager::loadWatchlist()
{
    qInfo() << "[SymbolManager] loadWatchlist called - watchlist now managed by MainWindow";
    watchlist.clear();
    refreshWatchlistDisplay();
}

void SymbolManager::reloadWatchlist()
{
    qInfo() << "[SymbolManager] reloadWatchlist called - watchlist now managed by MainWindow";
    loadWatchlist();
}

// ---- lookups ----------------------------------------------------------------------------------

IndianSymbolData SymbolManager::getSymbolByToken(const QString& token) const
{
    return repository ? repository->findByToken(token) : IndianSymbolData();
}

IndianSymbolData SymbolManager::symbolByToken(const QString& token) const
{
    return getSymbolByToken(token);
}

QString SymbolManager::getSymbolForToken(const QString& token) const
{
    if (repository) {
        const QString symbol = repository->symbolForToken(token);
        if (!symbol.isEmpty())
            return symbol;
    }
    return token;
}

QString SymbolManager::findSymbol(const QString& symbol) const
{
    const QString wanted = symbol.trimmed().toUpper();
    for (const IndianSymbolData& rec : loaded) {
        if (rec.symbol.toUpper() == wanted)
            return rec.token;
    }
    return QString();
}

bool SymbolManager::hasSymbols() const
{
    return repository && !repository->isEmpty();
}
