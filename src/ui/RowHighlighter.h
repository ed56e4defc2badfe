// Flashes a watchlist row after a tick and clears the flash a moment later.
#pragma once

#include <QObject>
#include <QVector>

class QTableWidget;
class QTimer;

class RowHighlighter : public QObject
{
    Q_OBJECT

public:
    // Timers are children of this object, so they die with it (and with its parent window).
    RowHighlighter(QTableWidget* table, int holdMs, QObject* parent = nullptr);

    // Paints every item of the row and (re)starts that row's one clear timer: a burst of ticks
    // on one row keeps a single pending timer instead of one per tick.
    void highlight(int row);

    // Forgets pending clears. Must be called whenever the rows are rebuilt: fresh items carry
    // no highlight, and a pending timer would otherwise stop the next tick from painting one.
    void reset();

    int pendingCount() const;

private:
    void clearRow(int row);

    QTableWidget* table;
    int holdMs;
    QVector<QTimer*> timers;  // index = row; created on first use
};
