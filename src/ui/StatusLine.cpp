// The status-bar slot of the window's status line.
#include "ui/StatusLine.h"

#include <QEvent>
#include <QResizeEvent>

#include "ui/ElidedLabel.h"

StatusLine::StatusLine(const QString& text, QWidget* parent) : QWidget(parent), line(new ElidedLabel(text, {}, this))
{
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

QSize StatusLine::sizeHint() const
{
    // Room for a usual status text; longer ones are elided rather than pushing the window wider.
    return {fontMetrics().horizontalAdvance(QLatin1Char('x')) * 60, line->height()};
}

QSize StatusLine::minimumSizeHint() const
{
    return {fontMetrics().horizontalAdvance(QStringLiteral("Xxxxxxxx…")), line->height()};
}

void StatusLine::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    // The label has refitted its height to the new font; the slot's hints follow it.
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        updateGeometry();
}

void StatusLine::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    line->setWidth(width());
    line->move(0, (height() - line->height()) / 2);
}
