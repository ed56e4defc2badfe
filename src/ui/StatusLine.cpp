// A status-bar slot holding one fixed-size label.
#include "ui/StatusLine.h"

#include <QEvent>
#include <QResizeEvent>

#include "ui/ElidedLabel.h"

StatusLine::StatusLine(const QString& text, const QString& room, const QString& least, QWidget* parent)
    : QWidget(parent), line(new ElidedLabel(text, room, this)),
      least(least.isEmpty() ? QStringLiteral("Xxxxxxxx…") : least)
{
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    line->installEventFilter(this);
    hinted = line->roomSize();
}

QSize StatusLine::sizeHint() const
{
    // Room for a usual text; longer ones are elided rather than pushing the window wider.
    return line->roomSize();
}

QSize StatusLine::minimumSizeHint() const
{
    const QSize room = line->roomSize();
    return {qMin(room.width(), line->roomSize(least).width()), room.height()};
}

bool StatusLine::eventFilter(QObject* watched, QEvent* event)
{
    // A new font or style sheet on the label (the connection label is recoloured on every state
    // change) asks for a layout only when it changed the room the label needs.
    if (watched == line && (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)) {
        const QSize room = line->roomSize();
        if (room != hinted) {
            hinted = room;
            updateGeometry();
        }
    }
    return QWidget::eventFilter(watched, event);
}

void StatusLine::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    line->setWidth(width());
    line->move(0, (height() - line->height()) / 2);
}
