// A one-line, fixed-size label that elides its text instead of growing.
#include "ui/ElidedLabel.h"

#include <QEvent>
#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <QToolTip>

ElidedLabel::ElidedLabel(const QString& text, const QString& room, QWidget* parent)
    : QLabel(text, parent), room(room.isEmpty() ? QString(60, QLatin1Char('x')) : room)
{
    setTextFormat(Qt::PlainText);
    fitSize();
}

void ElidedLabel::changeEvent(QEvent* event)
{
    QLabel::changeEvent(event);
    switch (event->type()) {
    case QEvent::FontChange:
    case QEvent::StyleChange:
    case QEvent::ContentsRectChange:
        fitSize();
        break;
    default:
        break;
    }
}

void ElidedLabel::setWidth(int pixels)
{
    fixedWidth = pixels;
    fitSize();
}

QSize ElidedLabel::roomSize(const QString& sample) const
{
    // What QLabel's own size hint adds around one line of text: contents margins (frame and
    // style-sheet box included) and the label's margin on each side.
    const QMargins m = contentsMargins();
    const int extra = 2 * margin();
    const QFontMetrics fm = fontMetrics();
    return {fm.horizontalAdvance(sample.isEmpty() ? room : sample) + m.left() + m.right() + extra,
            fm.height() + m.top() + m.bottom() + extra};
}

void ElidedLabel::fitSize()
{
    const QSize natural = roomSize();
    // Unchanged sizes return early inside Qt: refitting on every style change costs nothing.
    setFixedSize(fixedWidth >= 0 ? fixedWidth : natural.width(), natural.height());
}

QRect ElidedLabel::textArea() const
{
    return contentsRect().adjusted(margin(), margin(), -margin(), -margin());
}

bool ElidedLabel::isElided() const
{
    return fontMetrics().horizontalAdvance(text()) > textArea().width();
}

QString ElidedLabel::hoverText() const
{
    if (!toolTip().isEmpty())
        return toolTip();
    return isElided() ? text() : QString();
}

bool ElidedLabel::event(QEvent* event)
{
    // A cut text is read in full by hovering over it (a file path at the end of a message is
    // what gets cut).
    if (event->type() == QEvent::ToolTip && toolTip().isEmpty()) {
        const QString tip = hoverText();
        if (tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), tip, this);
        return true;
    }
    return QLabel::event(event);
}

void ElidedLabel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    QStyleOption option;
    option.initFrom(this);
    const QRect area = textArea();
    const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, area.width());
    style()->drawItemText(&painter, area, int(alignment()), option.palette, isEnabled(), shown,
                          foregroundRole());
}
