// Flashes a watchlist row after a tick and clears the flash a moment later.
#include "ui/RowHighlighter.h"

#include "ui/WatchlistFormat.h"

#include <QBrush>
#include <QTableWidget>
#include <QTimer>

#include <algorithm>

namespace {

// Clears are gathered: a flash lasts its hold time plus at most this much.
constexpr int kSweepSlackMs = 20;

} // namespace

RowHighlighter::RowHighlighter(QTableWidget* table, int holdMs, QObject* parent)
    : QObject(parent), table(table), holdMs(holdMs), timer(new QTimer(this))
{
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, &RowHighlighter::clearDue);
    clock.start();
}

bool RowHighlighter::highlight(int row)
{
    if (!table || row < 0 || row >= table->rowCount())
        return false;
    if (clearAt.size() <= row)
        clearAt.resize(row + 1);
    // 1 ms after the clock's start is the earliest value, so 0 can mean "not lit".
    const qint64 until = clock.elapsed() + holdMs + 1;
    qint64& due = clearAt[row];
    const bool fresh = due == 0;
    if (fresh) {
        const QBrush brush(WatchlistFormat::highlightColor());
        for (int col = 0; col < table->columnCount(); ++col) {
            if (QTableWidgetItem* item = table->item(row, col))
                item->setBackground(brush);
        }
        ++lit;
    }
    due = until;
    if (!timer->isActive())
        timer->start(holdMs + 1);
    return fresh;
}

void RowHighlighter::repaintRows(QTableWidget* table, int first, int last, int lastColumn)
{
    if (!table || first < 0 || last < first || lastColumn < 0)
        return;
    QWidget* viewport = table->viewport();
    const int top = table->rowViewportPosition(first);
    const int bottom = table->rowViewportPosition(last) + table->rowHeight(last);
    const int left = table->columnViewportPosition(0);
    const int right = table->columnViewportPosition(lastColumn) + table->columnWidth(lastColumn);
    const QRect rect = QRect(QPoint(left, top), QPoint(right, bottom)) & viewport->rect();
    if (!rect.isEmpty())
        viewport->update(rect);
}

void RowHighlighter::reset()
{
    timer->stop();
    std::fill(clearAt.begin(), clearAt.end(), 0);
    lit = 0;
}

void RowHighlighter::clearAll()
{
    // One repaint for all of them, as in clearDue.
    QAbstractItemModel* model = table ? table->model() : nullptr;
    const bool wasBlocked = model && model->blockSignals(true);
    for (int row = 0; row < clearAt.size() && lit > 0; ++row) {
        if (clearAt[row] != 0) {
            clearAt[row] = 0;
            --lit;
            clearRow(row);
        }
    }
    if (model) {
        model->blockSignals(wasBlocked);
        table->viewport()->update();
    }
    reset();
}

int RowHighlighter::pendingCount() const
{
    return lit;
}

void RowHighlighter::clearDue()
{
    const qint64 now = clock.elapsed();
    qint64 next = 0;
    // Many rows may clear together: the view repaints once for all of them.
    QAbstractItemModel* model = table ? table->model() : nullptr;
    const bool wasBlocked = model && model->blockSignals(true);
    int first = -1;
    int last = -1;
    for (int row = 0; row < clearAt.size() && lit > 0; ++row) {
        qint64& due = clearAt[row];
        if (due == 0)
            continue;
        if (due <= now) {
            due = 0;
            --lit;
            clearRow(row);
            if (first < 0)
                first = row;
            last = row;
        } else if (next == 0 || due < next) {
            next = due;
        }
    }
    if (model) {
        model->blockSignals(wasBlocked);
        if (first >= 0 && last < table->rowCount())
            repaintRows(table, first, last, table->columnCount() - 1);
    }
    if (lit > 0 && next > 0)
        timer->start(int(std::max<qint64>(next - now, kSweepSlackMs)));
}

void RowHighlighter::clearRow(int row)
{
    // The table may have shrunk since the tick.
    if (!table || row >= table->rowCount())
        return;
    for (int col = 0; col < table->columnCount(); ++col) {
        if (QTableWidgetItem* item = table->item(row, col))
            item->setData(Qt::BackgroundRole, QVariant());
    }
}
