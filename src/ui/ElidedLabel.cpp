// A one-line, fixed-size label that elides its text instead of growing.
#include "ui/ElidedLabel.h"

#include <QEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>

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

void ElidedLabel::fitSize()
{
    // What QLabel's own size hint adds around one line of text: contents margins (frame and
    // style-sheet box included) and the label's margin on each side.
    const QMargins m = contentsMargins();
    const int extra = 2 * margin();
    const QFontMetrics fm = fontMetrics();
    const int w = fixedWidth >= 0 ? fixedWidth : fm.horizontalAdvance(room) + m.left() + m.right() + extra;
    // Unchanged sizes return early inside Qt: refitting on every style change costs nothing.
    setFixedSize(w, fm.height() + m.top() + m.bottom() + extra);
}

void ElidedLabel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    QStyleOption option;
    option.initFrom(this);
    QRect area = contentsRect();
    area.adjust(margin(), margin(), -margin(), -margin());
    const QString full = text();
    const QString shown = fontMetrics().elidedText(full, Qt::ElideRight, area.width());
    // Set only when it changes: a tooltip change is an event of its own.
    const QString tip = shown == full ? QString() : full;
    if (toolTip() != tip)
        setToolTip(tip);
    style()->drawItemText(&painter, area, int(alignment()), option.palette, isEnabled(), shown, foregroundRole());
}
