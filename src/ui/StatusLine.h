// A slot of the status bar for a label whose text changes while ticks stream: the slot gives the
// window room to shrink, and a new text never lays the window out again.
#pragma once

#include <QSize>
#include <QWidget>

class ElidedLabel;

// The slot's size follows the window only: as wide as the label's room when there is space,
// down to a few characters when the window is narrow. The label inside fills it and has a fixed
// size, so setting its text repaints it and nothing else.
class StatusLine : public QWidget
{
    Q_OBJECT

public:
    // `room`: as for ElidedLabel (60 'x' when empty). `least`: the text the slot keeps room for
    // however narrow the window (a few characters when empty).
    explicit StatusLine(const QString& text, const QString& room = QString(), const QString& least = QString(),
                        QWidget* parent = nullptr);

    ElidedLabel* label() const { return line; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    ElidedLabel* line;
    QString least;
    QSize hinted;  // the label's room when the layout last asked
};
