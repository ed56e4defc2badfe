// Fyers symbol selector dialog.
#include "ui/dialogs/SymbolSelectorDialog.h"

#include "symbols/MasterReply.h"
#include "ui/dialogs/DialogPrompts.h"

#include <QComboBox>
#include <QDebug>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

const char kExchangeProperty[] = "exchange";

SymbolData recordOf(const QTableWidgetItem* item)
{
    const QVariant v = item ? item->data(Qt::UserRole) : QVariant();
    return v.canConvert<SymbolData>() ? v.value<SymbolData>() : SymbolData();
}

}  // namespace

SymbolSelectorDialog::SymbolSelectorDialog(const QString& text, QWidget* parent)
    : QDialog(parent),
      text(text),
      networkManager(new QNetworkAccessManager(this)),
      symbolHost(QStringLiteral("https://public.fyers.in")),
      prompts(DialogPrompts::system())
{
    setWindowTitle(QStringLiteral("Symbol Selector - Fyers"));
    setMinimumSize(1000, 600);
    setupUi();
    setupExchanges();
    // Most users start from the NSE cash market.
    const int start = exchangeCombo->findText(QStringLiteral("NSE - Capital Market"));
    if (start >= 0)
        exchangeCombo->setCurrentIndex(start);
    onExchangeChanged();
}

SymbolSelectorDialog::~SymbolSelectorDialog() = default;

void SymbolSelectorDialog::setPrompts(DialogPrompts* p)
{
    prompts = p ? p : DialogPrompts::system();
}

void SymbolSelectorDialog::setSymbolHost(const QString& baseUrl)
{
    symbolHost = baseUrl;
    setupExchanges();
}

void SymbolSelectorDialog::setupUi()
{
    auto* layout = new QVBoxLayout(this);
    splitter = new QSplitter(Qt::Horizontal, this);
    availableGroup = new QGroupBox(QStringLiteral("Available Symbols"), splitter);
    auto* left = new QVBoxLayout(availableGroup);
    auto* grid = new QGridLayout();
    grid->addWidget(new QLabel(QStringLiteral("Exchange:"), availableGroup), 0, 0);
    exchangeCombo = new QComboBox(availableGroup);
    exchangeCombo->setMinimumWidth(200);
    grid->addWidget(exchangeCombo, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Segment:"), availableGroup), 0, 2);
    segmentCombo = new QComboBox(availableGroup);
    segmentCombo->setMinimumWidth(150);
    grid->addWidget(segmentCombo, 0, 3);
    loadButton = new QPushButton(QStringLiteral("Load Symbols"), availableGroup);
    grid->addWidget(loadButton, 0, 4);
    grid->addWidget(new QLabel(QStringLiteral("Search:"), availableGroup), 1, 0);
    searchEdit = new QLineEdit(availableGroup);
    searchEdit->setPlaceholderText(QStringLiteral("Enter symbol name or code..."));
    grid->addWidget(searchEdit, 1, 1, 1, 3);
    addButton = new QPushButton(QStringLiteral("Add Selected"), availableGroup);
    addButton->setEnabled(false);
    grid->addWidget(addButton, 1, 4);
    left->addLayout(grid);
    symbolTable = new QTableWidget(0, 6, availableGroup);
    symbolTable->setHorizontalHeaderLabels({"Symbol", "Exchange", "Segment", "ISIN", "Lot Size", "Tick Size"});
    symbolTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    symbolTable->setAlternatingRowColors(true);
    symbolTable->setSortingEnabled(true);
    symbolTable->horizontalHeader()->setStretchLastSection(true);
    left->addWidget(symbolTable);
    progressBar = new QProgressBar(availableGroup);
    progressBar->hide();
    left->addWidget(progressBar);
    statusLabel = new QLabel(QStringLiteral("Ready. Select exchange and click 'Load Symbols'"), availableGroup);
    left->addWidget(statusLabel);

    selectedGroup = new QGroupBox(QStringLiteral("Selected Symbols"), splitter);
    auto* right = new QVBoxLayout(selectedGroup);
    selectedList = new QListWidget(selectedGroup);
    right->addWidget(selectedList);
    removeButton = new QPushButton(QStringLiteral("Remove Selected"), selectedGroup);
    removeButton->setEnabled(false);
    right->addWidget(removeButton);
    splitter->addWidget(availableGroup);
    splitter->addWidget(selectedGroup);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 1);
    layout->addWidget(splitter);

    buttonBox = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttonBox);
    connect(buttonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);

    connect(exchangeCombo, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &SymbolSelectorDialog::onExchangeChanged);
    connect(segmentCombo, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &SymbolSelectorDialog::onSegmentChanged);
    connect(searchEdit, &QLineEdit::textChanged, this, &SymbolSelectorDialog::onSearchTextChanged);
    connect(loadButton, &QPushButton::clicked, this, &SymbolSelectorDialog::onLoadSymbolsClicked);
    connect(addButton, &QPushButton::clicked, this, &SymbolSelectorDialog::onAddSymbolClicked);
    connect(removeButton, &QPushButton::clicked, this, &SymbolSelectorDialog::onRemoveSymbolClicked);
    connect(symbolTable, &QTableWidget::cellDoubleClicked, this, &SymbolSelectorDialog::onSymbolDoubleClicked);
    connect(selectedList, &QListWidget::itemDoubleClicked, this, &SymbolSelectorDialog::onSelectedSymbolDoubleClicked);
    const auto followTable = [this] { addButton->setEnabled(symbolTable->currentRow() >= 0); };
    connect(symbolTable, &QTableWidget::itemSelectionChanged, this, followTable);
    connect(symbolTable, &QTableWidget::currentCellChanged, this, followTable);
    const auto followList = [this] { removeButton->setEnabled(selectedList->currentRow() >= 0); };
    connect(selectedList, &QListWidget::itemSelectionChanged, this, followList);
    connect(selectedList, &QListWidget::currentRowChanged, this, followList);
}

void SymbolSelectorDialog::setupExchanges()
{
    exchangeUrls.clear();
    exchangeSegments.clear();
    const QStringList cash{"Equity", "ETF", "Index"};
    const QStringList derivatives{"Equity Futures", "Equity Options", "Index Futures", "Index Options"};
    const QStringList commodity{"Commodity Futures", "Commodity Options"};
    const auto add = [this](const QString& name, const QString& path, const QStringList& segments) {
        exchangeUrls.insert(name, symbolHost + path);
        exchangeSegments.insert(name, segments);
    };
    add(QStringLiteral("BSE - Capital Market"), QStringLiteral("/sym_details/BSE_CM.csv"), cash);
    add(QStringLiteral("BSE - Equity Derivatives"), QStringLiteral("/sym_details/BSE_FO.csv"), derivatives);
    add(QStringLiteral("MCX - Commodity"), QStringLiteral("/sym_details/MCX_COM.csv"), commodity);
    add(QStringLiteral("NSE - Capital Market"), QStringLiteral("/sym_details/NSE_CM.csv"), cash);
    add(QStringLiteral("NSE - Commodity"), QStringLiteral("/sym_details/NSE_COM.csv"), commodity);
    add(QStringLiteral("NSE - Currency Derivatives"), QStringLiteral("/sym_details/NSE_CD.csv"),
        {"Currency Futures", "Currency Options"});
    add(QStringLiteral("NSE - Equity Derivatives"), QStringLiteral("/sym_details/NSE_FO.csv"), derivatives);
    if (exchangeCombo->count() == 0)
        exchangeCombo->addItems(exchangeUrls.keys());
}

void SymbolSelectorDialog::populateSegments()
{
    segmentCombo->clear();
    const QString exchange = exchangeCombo->currentText();
    if (exchangeSegments.contains(exchange)) {
        segmentCombo->addItem(QStringLiteral("All Segments"));
        segmentCombo->addItems(exchangeSegments.value(exchange));
    }
}

void SymbolSelectorDialog::onExchangeChanged()
{
    populateSegments();
    allSymbols.clear();
    filteredSymbols.clear();
    symbolTable->setRowCount(0);
    statusLabel->setText(QStringLiteral("Select segment and click 'Load Symbols'"));
}

void SymbolSelectorDialog::onSegmentChanged()
{
    applyFilters();
}

void SymbolSelectorDialog::onSearchTextChanged()
{
    applyFilters();
}

void SymbolSelectorDialog::onLoadSymbolsClicked()
{
    const QString exchange = exchangeCombo->currentText();
    if (!exchangeUrls.contains(exchange)) {
        prompts->message(this, DialogPrompts::Kind::Warning, QStringLiteral("Error"),
                         QStringLiteral("Please select a valid exchange."));
        return;
    }
    downloadSymbolMaster(exchangeUrls.value(exchange));
}

void SymbolSelectorDialog::downloadSymbolMaster(const QString& url)
{
    progressBar->setRange(0, 0);
    progressBar->show();
    statusLabel->setText(QStringLiteral("Downloading symbol master file..."));
    loadButton->setEnabled(false);
    QNetworkRequest request{QUrl(url)};
    request.setTransferTimeout(downloadTimeoutMs);
    QNetworkReply* reply = networkManager->get(request);
    // The answer belongs to the exchange that asked for it.
    reply->setProperty(kExchangeProperty, exchangeCombo->currentText());
    connect(reply, &QNetworkReply::finished, this, &SymbolSelectorDialog::onSymbolMasterDownloaded);
}

void SymbolSelectorDialog::onSymbolMasterDownloaded()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    progressBar->hide();
    loadButton->setEnabled(true);
    // The list keeps what it shows when the answer is no master.
    if (const QString why = MasterReply::failure(reply); !why.isEmpty()) {
        qWarning() << "[SymbolSelector] Symbol master download failed:" << why;
        prompts->message(this, DialogPrompts::Kind::Critical, QStringLiteral("Download Error"),
                         QStringLiteral("Failed to download symbol master file: ") + why);
        statusLabel->setText(QStringLiteral("Download failed"));
        return;
    }
    if (reply->property(kExchangeProperty).toString() != exchangeCombo->currentText()) {
        // The user moved to another exchange meanwhile: these records would show under the wrong name.
        statusLabel->setText(QStringLiteral("Select segment and click 'Load Symbols'"));
        return;
    }
    parseSymbolMasterCsv(reply->readAll());
    applyFilters();
    statusLabel->setText(QStringLiteral("Loaded %1 symbols").arg(allSymbols.size()));
}

void SymbolSelectorDialog::parseSymbolMasterCsv(const QByteArray& data)
{
    allSymbols = FyersSymbolDetailsParser::parse(data);
}

void SymbolSelectorDialog::applyFilters()
{
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    filteredSymbols.clear();
    const QString query = searchEdit->text().trimmed().toLower();
    const QStringList words = query.split(blanks, Qt::SkipEmptyParts);
    // The segment names do not map onto the file's numeric segment codes, so the segment choice
    // narrows nothing; every choice shows the rows the search keeps.
    for (const SymbolData& s : qAsConst(allSymbols)) {
        bool keep = true;
        for (const QString& w : words) {
            if (!s.symbolName.contains(w, Qt::CaseInsensitive) && !s.symbolTicker.contains(w, Qt::CaseInsensitive) &&
                !s.isin.contains(w, Qt::CaseInsensitive)) {
                keep = false;
                break;
            }
        }
        if (keep)
            filteredSymbols.append(s);
    }
    populateTable();
}

void SymbolSelectorDialog::populateTable()
{
    symbolTable->setSortingEnabled(false);
    symbolTable->setRowCount(filteredSymbols.size());
    for (int r = 0; r < filteredSymbols.size(); ++r) {
        const SymbolData& s = filteredSymbols.at(r);
        auto* first = new QTableWidgetItem(s.symbolName);
        first->setData(Qt::UserRole, QVariant::fromValue(s));
        symbolTable->setItem(r, 0, first);
        symbolTable->setItem(r, 1, new QTableWidgetItem(QString::number(s.exchange)));
        symbolTable->setItem(r, 2, new QTableWidgetItem(QString::number(s.segment)));
        symbolTable->setItem(r, 3, new QTableWidgetItem(s.isin));
        symbolTable->setItem(r, 4, new QTableWidgetItem(QString::number(s.lotSize)));
        symbolTable->setItem(r, 5, new QTableWidgetItem(QString::number(double(s.tickSize), 'f', 2)));
    }
    symbolTable->setSortingEnabled(true);
    symbolTable->resizeColumnsToContents();
}

void SymbolSelectorDialog::onAddSymbolClicked()
{
    onSymbolDoubleClicked(symbolTable->currentRow(), 0);
}

void SymbolSelectorDialog::onSymbolDoubleClicked(int row, int /*column*/)
{
    if (row < 0)
        return;
    const QTableWidgetItem* item = symbolTable->item(row, 0);
    if (!item)
        return;
    addToSelected(recordOf(item));
}

void SymbolSelectorDialog::addToSelected(const SymbolData& symbol)
{
    for (int i = 0; i < selectedList->count(); ++i) {
        if (selectedList->item(i)->data(Qt::UserRole).toString() == symbol.fyersToken) {
            prompts->message(this, DialogPrompts::Kind::Information, QStringLiteral("Already Selected"),
                             QStringLiteral("This symbol is already in the selected list."));
            return;
        }
    }
    auto* entry = new QListWidgetItem(QStringLiteral("%1 (%2)").arg(symbol.symbolName, symbol.fyersToken));
    entry->setData(Qt::UserRole, symbol.fyersToken);
    selectedList->addItem(entry);
    selectedSymbolList.append(symbol.fyersToken);
}

void SymbolSelectorDialog::onRemoveSymbolClicked()
{
    const int row = selectedList->currentRow();
    if (row < 0 || !selectedList->item(row))
        return;
    QListWidgetItem* entry = selectedList->takeItem(row);
    selectedSymbolList.removeOne(entry->data(Qt::UserRole).toString());
    delete entry;
}

void SymbolSelectorDialog::onSelectedSymbolDoubleClicked()
{
    onRemoveSymbolClicked();
}

void SymbolSelectorDialog::setSelectedSymbols(const QStringList& tokens)
{
    selectedSymbolList = tokens;
    selectedList->clear();
    for (const QString& token : tokens) {
        QString label = token;
        for (const SymbolData& s : qAsConst(allSymbols)) {
            if (s.fyersToken == token) {
                label = QStringLiteral("%1 (%2)").arg(s.symbolName, token);
                break;
            }
        }
        auto* entry = new QListWidgetItem(label);
        entry->setData(Qt::UserRole, token);
        selectedList->addItem(entry);
    }
}
