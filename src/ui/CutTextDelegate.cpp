// Cut cells read whole on hover.
#include "ui/CutTextDelegate.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QStyle>
#include <QToolTip>

bool CutTextDelegate::isCut(const QStyleOptionViewItem& option, const QModelIndex& index,
                            const QWidget* widget) const
{
    QStyleOptionViewItem opt(option);
    initStyleOption(&opt, index);
    if (opt.text.isEmpty())
        return false;
    const QStyle* style = widget ? widget->style() : QApplication::style();
    // The rectangle the style draws the text in (the items' padding taken off), less the margin
    // it keeps on either side before it elides.
    const QRect area = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget);
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
    return opt.fontMetrics.horizontalAdvance(opt.text) > area.width() - 2 * margin;
}

bool CutTextDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                const QStyleOptionViewItem& option, const QModelIndex& index)
{
    if (event && view && event->type() == QEvent::ToolTip && index.isValid()
        && isCut(option, index, view)) {
        // A tip of the cell's own (the hint on a name the instrument list has not resolved)
        // follows the whole text.
        QString tip = index.data(Qt::DisplayRole).toString();
        const QString own = index.data(Qt::ToolTipRole).toString();
        if (!own.isEmpty())
            tip += QLatin1Char('\n') + own;
        QToolTip::showText(event->globalPos(), tip, view->viewport(), view->visualRect(index));
        return true;
    }
    return QStyledItemDelegate::helpEvent(event, view, option, index);
}
