// The message boxes the main window raises, behind one class so tests can answer them.
#pragma once

#include <QMessageBox>
#include <QString>

class QAction;
class QMenu;
class QPoint;
class QWidget;

class UserPrompts
{
public:
    virtual ~UserPrompts();

    // Modal Yes/No question; returns the button pressed (No when the box is closed).
    virtual QMessageBox::StandardButton question(QWidget* parent, const QString& title,
                                                 const QString& text,
                                                 QMessageBox::StandardButton defaultButton);
    // Modal warning with one OK button.
    virtual void warning(QWidget* parent, const QString& title, const QString& text);
    // Modal information box with one OK button; parent may be null.
    virtual void information(QWidget* parent, const QString& title, const QString& text);
    // The standard About box.
    virtual void about(QWidget* parent, const QString& title, const QString& text);
    // Non-modal critical "Error" box that deletes itself when closed; returns at once.
    virtual void error(QWidget* parent, const QString& message);
    // Runs a context menu at a global position; returns the chosen action or null.
    virtual QAction* popup(QMenu* menu, const QPoint& globalPos);
};
