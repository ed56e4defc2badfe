// Flashes a watchlist row after a tick and clears the flash a moment later.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QVector>

class QTableWidget;
class QTimer;

class RowHighlighter : public QObject
{
    Q_OBJECT

public:
    // The one timer is a child of this object, so it dies with it (and with its parent window).
    RowHighlighter(QTableWidget* table, int holdMs, QObject* parent = nullptr);

    // Paints every item of the row and holds the flash until holdMs after the row's last tick.
    // A row already showing the flash costs one clock read: a busy table keeps one timer for
    // all rows instead of one restart per row and tick. True when the flash was painted now.
    bool highlight(int row);

    // Repaints the on-screen part of rows first..last, columns 0..lastColumn, after their items
    // changed while the model's signals were blocked.
    static void repaintRows(QTableWidget* table, int first, int last, int lastColumn);

    // Forgets pending clears. Must be called whenever the rows are rebuilt: fresh items carry
    // no highlight, and a pending clear would otherwise stop the next tick from painting one.
    void reset();
    // Ends every flash now, then forgets them: for rows that are about to move.
    void clearAll();

    int pendingCount() const;

private:
    void clearDue();
    void clearRow(int row);

    QTableWidget* table;
    int holdMs;
    QTimer* timer;
    QElapsedTimer clock;
    QVector<qint64> clearAt;  // index = row; when its flash goes, 0 when it shows none
    int lit = 0;
};
