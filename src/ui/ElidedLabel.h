// A one-line label that never asks for the width of its whole text: a long text is cut with an
// ellipsis where the label ends, instead of widening the window that holds it.
#pragma once

#include <QLabel>

class ElidedLabel : public QLabel
{
    Q_OBJECT

public:
    explicit ElidedLabel(const QString& text = QString(), QWidget* parent = nullptr);

    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

    // Whether the text is cut at the label's present width.
    bool isElided() const;
    // What hovering shows: the tool tip set on the label, else the whole text when it is cut.
    QString hoverText() const;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};
