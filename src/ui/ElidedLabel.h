// A one-line label of a fixed size: a longer text is cut with an ellipsis where the label ends
// (hovering shows the whole text), instead of widening the window that holds it.
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
    // The size the label has when it is as wide as its room, or as wide as `sample` when given.
    QSize roomSize(const QString& sample = QString()) const;

    // Whether the text is cut at the label's present width.
    bool isElided() const;
    // What hovering shows: the tool tip set on the label, else the whole text when it is cut.
    QString hoverText() const;

protected:
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void fitSize();
    QRect textArea() const;

    QString room;
    int fixedWidth = -1;  // pixels; -1: as wide as the room
};
