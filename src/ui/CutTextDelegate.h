// The watchlist's cells: hovering one whose text is cut shows the whole text.
#pragma once

#include <QStyledItemDelegate>

// A narrow window cuts a long name or volume short. Whether a cell is cut is worked out only
// when the pointer rests on it, so the cells themselves carry no tool tips to keep up with
// every tick.
class CutTextDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // Whether the cell's text is wider than the room its cell gives it now.
    bool isCut(const QStyleOptionViewItem& option, const QModelIndex& index, const QWidget* widget) const;

    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;
};
