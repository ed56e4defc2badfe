// The main window's status line: a slot of the status bar that gives the window room to shrink,
// holding a label whose new texts never lay the window out again.
#pragma once

#include <QWidget>

class ElidedLabel;

// The slot's size follows the window only: as wide as a usual status text when there is room,
// down to a few characters when the window is narrow. The label inside fills it and has a fixed
// size, so setting its text repaints it and nothing else.
class StatusLine : public QWidget
{
    Q_OBJECT

public:
    explicit StatusLine(const QString& text, QWidget* parent = nullptr);

    ElidedLabel* label() const { return line; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    ElidedLabel* line;
};
