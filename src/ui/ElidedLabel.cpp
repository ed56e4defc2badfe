// A one-line label that elides its text instead of growing.
#include "ui/ElidedLabel.h"

#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <QToolTip>

ElidedLabel::ElidedLabel(const QString& text, QWidget* parent) : QLabel(text, parent)
{
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    setTextFormat(Qt::PlainText);
}

QSize ElidedLabel::minimumSizeHint() const
{
    return {fontMetrics().horizontalAdvance(QStringLiteral("Xxxxxxxx…")), QLabel::minimumSizeHint().height()};
}

QSize ElidedLabel::sizeHint() const
{
    // Room for a usual status text; longer ones are elided rather than pushing the window wider.
    const int usual = fontMetrics().horizontalAdvance(QLatin1Char('x')) * 60;
    return {qMin(QLabel::sizeHint().width(), usual), QLabel::sizeHint().height()};
}

bool ElidedLabel::isElided() const
{
    return fontMetrics().horizontalAdvance(text()) > contentsRect().width();
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
    const QRect area = contentsRect();
    const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, area.width());
    style()->drawItemText(&painter, area, int(alignment()), option.palette, isEnabled(), shown,
                          foregroundRole());
}
