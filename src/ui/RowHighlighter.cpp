// Flashes a watchlist row after a tick and clears the flash a moment later.
#include "ui/RowHighlighter.h"

#include "ui/WatchlistFormat.h"

#include <QBrush>
#include <QTableWidget>
#include <QTimer>

RowHighlighter::RowHighlighter(QTableWidget* table, int holdMs, QObject* parent)
    : QObject(parent), table(table), holdMs(holdMs)
{
}

void RowHighlighter::highlight(int row)
{
    if (!table || row < 0 || row >= table->rowCount())
        return;
    if (timers.size() <= row)
        timers.resize(row + 1);
    QTimer*& timer = timers[row];
    // While the flash is showing the row is already painted (a rebuild stops every timer):
    // a busy row costs one timer restart per tick, not a repaint of every cell.
    if (timer && timer->isActive()) {
        timer->start();
        return;
    }
    const QBrush brush(WatchlistFormat::highlightColor());
    for (int col = 0; col < table->columnCount(); ++col) {
        if (QTableWidgetItem* item = table->item(row, col))
            item->setBackground(brush);
    }
    if (!timer) {
        timer = new QTimer(this);
        timer->setSingleShot(true);
        timer->setInterval(holdMs);
        connect(timer, &QTimer::timeout, this, [this, row] { clearRow(row); });
    }
    timer->start();
}

void RowHighlighter::reset()
{
    for (QTimer* timer : qAsConst(timers)) {
        if (timer)
            timer->stop();
    }
}

int RowHighlighter::pendingCount() const
{
    int n = 0;
    for (QTimer* timer : timers)
        n += (timer && timer->isActive()) ? 1 : 0;
    return n;
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
