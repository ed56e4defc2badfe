// A one-line label that elides its text instead of growing.
#include "ui/ElidedLabel.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOption>

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
