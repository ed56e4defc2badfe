// The main window's quick-add search: the popup of matching instruments while the user types,
// Enter for the exact symbol, a click on a popup row, and hiding the popup on deactivation.
#include "ui/MainWindow.h"

#include "core/SettingsManager.h"
#include "symbols/SymbolRepository.h"
#include "ui/SymbolSearch.h"
#include "ui/UserPrompts.h"

#include <QDebug>
#include <QEvent>
#include <QHeaderView>
#include <QLineEdit>
#include <QScreen>
#include <QScrollBar>
#include <QSet>
#include <QTableWidget>

namespace {

void logResults(const char* heading, const QList<IndianSymbolData>& results)
{
    qDebug() << heading;
    for (int i = 0; i < results.size() && i < 10; ++i) {
        const IndianSymbolData& r = results.at(i);
        qDebug() << "  " << r.symbol << r.exchange << "Type:" << r.instrumentType
                 << "Expiry:" << r.expiry;
    }
}

} // namespace

void MainWindow::onSymbolSearchTextChanged(const QString& text)
{
    if (!symbolSearchPopup || !symbolRepository || !settings) {
        qDebug() << "[Search] Missing components - popup:" << bool(symbolSearchPopup)
                 << "repo:" << bool(symbolRepository) << "settings:" << bool(settings);
        return;
    }
    const QString query = text.trimmed().toUpper();
    if (query.size() < 2) {
        symbolSearchPopup->hide();
        return;
    }
    const QString broker = SettingsManager::providerName(settings->provider());
    qDebug() << "[Search] Searching for:" << query << "Broker:" << broker
             << "Total symbols in repo:" << symbolRepository->size();

    const QList<IndianSymbolData> records = symbolRepository->allSymbols();
    if (!searchDiagnosticsLogged)
        logSearchDiagnostics(records);
    searchResults = SymbolSearch::matches(records, query, broker);
    if (searchResults.isEmpty()) {
        qDebug() << "[Search] No matching symbols found for:" << query;
        symbolSearchPopup->hide();
        return;
    }
    qDebug() << "[Search] Found" << searchResults.size() << "matching symbols";
    logResults("[Search] Before sorting:", searchResults);
    SymbolSearch::rank(searchResults, query);
    logResults("[Search] After sorting:", searchResults);

    QFont symbolFont(QStringLiteral("Arial"), 9, QFont::Bold);
    symbolSearchPopup->setRowCount(searchResults.size());
    for (int row = 0; row < searchResults.size(); ++row) {
        const QStringList cells = SymbolSearch::popupCells(searchResults.at(row));
        for (int col = 0; col < cells.size(); ++col) {
            auto* item = new QTableWidgetItem(cells.at(col));
            if (col == 0)
                item->setFont(symbolFont);
            else if (col == 5)
                item->setTextAlignment(Qt::AlignCenter);
            symbolSearchPopup->setItem(row, col, item);
        }
    }
    showSymbolSearchPopup();
}

void MainWindow::logSearchDiagnostics(const QList<IndianSymbolData>& records)
{
    searchDiagnosticsLogged = true;
    QSet<QString> exchanges, types;
    for (const IndianSymbolData& r : records) {
        exchanges.insert(r.exchange);
        types.insert(r.instrumentType);
    }
    qDebug() << "[Search] First search: repository holds" << records.size() << "records,"
             << exchanges.size() << "exchanges," << types.size() << "instrument types";
    for (int i = 0; i < records.size() && i < 3; ++i)
        qDebug() << "[Search] Sample:" << records.at(i).symbol << records.at(i).exchange
                 << records.at(i).token;
}

void MainWindow::showSymbolSearchPopup()
{
    if (!symbolSearchPopup || !symbolSearchEdit)
        return;
    symbolSearchPopup->move(symbolSearchEdit->mapToGlobal(QPoint(0, symbolSearchEdit->height())));
    // The field's width and 400 more, never below the popup's minimum (a fixed width would
    // otherwise override it), and not past the right edge of the screen while that leaves the
    // minimum.
    int width = qMax(symbolSearchEdit->width() + 400, kSearchPopupMinWidth);
    if (const QScreen* screen = symbolSearchEdit->screen()) {
        const int room = screen->availableGeometry().right() + 1 - symbolSearchPopup->x();
        width = qMax(qMin(width, room), kSearchPopupMinWidth);
    }
    symbolSearchPopup->setFixedWidth(width);
    // Each column keeps its own width, widened where the rows' texts need more while the ISIN
    // column keeps room for a whole ISIN: two futures cut to "RELIANCE24DE…" cannot be told
    // apart.
    int widths[6];
    int total = symbolSearchPopup->fontMetrics().horizontalAdvance(QStringLiteral("INE000000000")) + 20;
    for (int col = 0; col < 6; ++col) {
        symbolSearchPopup->resizeColumnToContents(col);
        widths[col] = qMax(kSearchPopupColumnWidths[col], symbolSearchPopup->columnWidth(col));
        total += widths[col];
    }
    for (int col = 0; col < 6; ++col)
        symbolSearchPopup->setColumnWidth(col, total <= width ? widths[col] : kSearchPopupColumnWidths[col]);
    const int rowHeight = symbolSearchPopup->rowCount() > 0 ? symbolSearchPopup->rowHeight(0) : 0;
    const int height = symbolSearchPopup->horizontalHeader()->height() + 10
        + symbolSearchPopup->rowCount() * rowHeight;
    symbolSearchPopup->setFixedHeight(qMin(height, 300));
    symbolSearchPopup->show();
    symbolSearchPopup->raise();
}

void MainWindow::onSymbolSearchTriggered()
{
    if (!symbolSearchEdit)
        return;
    if (symbolSearchPopup)
        symbolSearchPopup->hide();
    const QString query = symbolSearchEdit->text().trimmed().toUpper();
    if (query.isEmpty())
        return;
    qDebug() << "[MainWindow] Symbol search triggered for:" << query;
    if (!symbolRepository) {
        prompts->warning(this, QStringLiteral("Symbol Repository"),
                         QStringLiteral("Symbol repository not available. Please load symbols first."));
        return;
    }
    if (settings->provider() == SettingsManager::CustomAPI) {
        // The quote service has no instrument master: what is typed is the symbol it is asked for.
        symbolSearchEdit->clear();
        addSymbolToWatchlist(query, query, QString());
        return;
    }
    const QString broker = SettingsManager::providerName(settings->provider());
    const IndianSymbolData record =
        SymbolSearch::exactMatch(symbolRepository->allSymbols(), query, broker);
    if (record.token.isEmpty()) {
        prompts->information(this, QStringLiteral("Symbol Not Found"),
                             QStringLiteral("No exact match for '%1'. Please:\n\n"
                                            "• Select from the dropdown suggestions\n"
                                            "• Type more characters for better matches\n"
                                            "• Ensure symbol data is loaded")
                                 .arg(query));
        return;
    }
    symbolSearchEdit->clear();
    symbolSearchEdit->setFocus(Qt::OtherFocusReason);
    addSymbolToWatchlist(record.symbol, record.token, record.exchange);
}

void MainWindow::onSymbolSearchPopupItemClicked(int row, int column)
{
    Q_UNUSED(column);
    if (row < 0 || row >= searchResults.size())
        return;
    // A copy: clearing the box below runs the typing search.
    const IndianSymbolData record = searchResults.at(row);
    if (symbolSearchPopup)
        symbolSearchPopup->hide();
    if (symbolSearchEdit)
        symbolSearchEdit->clear();
    addSymbolToWatchlist(record.symbol, record.token, record.exchange);
}

void MainWindow::updateSymbolCompleter()
{
    qDebug() << "[MainWindow] Symbol data available for search";
}

bool MainWindow::eventFilter(QObject* obj, QEvent* event)
{
    if (event->type() == QEvent::ApplicationDeactivate && symbolSearchPopup
        && symbolSearchPopup->isVisible())
        symbolSearchPopup->hide();
    if ((event->type() == QEvent::Resize || event->type() == QEvent::Show) && watchlistTable
        && obj == watchlistTable->viewport()) {
        fitWatchlistColumns();
        ensureRowButtons();  // more rows may be on screen now
    }
    return QMainWindow::eventFilter(obj, event);
}
