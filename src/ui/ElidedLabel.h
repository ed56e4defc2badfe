// A one-line label of a fixed size: a longer text is cut with an ellipsis where the label ends
// (the whole text then shows as its tooltip), instead of widening the window that holds it.
#pragma once

#include <QLabel>

// Fixed in both directions, so a new text only repaints the label: it never asks the layouts
// around it (the status bar, then the main window with its table) to lay out again, which with
// a large watchlist holds the event loop for tens of milliseconds.
class ElidedLabel : public QLabel
{
    Q_OBJECT

public:
    // The label is as wide as `room` in its own font (60 'x' when empty) and one line high, and
    // follows font and style changes.
    explicit ElidedLabel(const QString& text = QString(), const QString& room = QString(),
                         QWidget* parent = nullptr);

    // A width in pixels in place of the room's, for a label whose holder sizes it.
    void setWidth(int pixels);

protected:
    void changeEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void fitSize();

    QString room;
    int fixedWidth = -1;  // pixels; -1: as wide as the room
};
