// The message boxes the main window raises, behind one class so tests can answer them.
#pragma once

#include <QMessageBox>
#include <QString>

class QAction;
class QDialog;
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
    // Non-modal critical "Error" box that deletes itself when closed; returns at once with the
    // box (null when no box stays open).
    virtual QObject* error(QWidget* parent, const QString& message);
    // Runs a context menu at a global position; returns the chosen action or null.
    virtual QAction* popup(QMenu* menu, const QPoint& globalPos);
    // Modal critical box with one OK button.
    virtual void critical(QWidget* parent, const QString& title, const QString& text);
    // Modal warning offering "Open Settings" (default) and "Cancel"; true for "Open Settings".
    virtual bool offerSettings(QWidget* parent, const QString& title, const QString& text);
    // Modal login dialog: a hidden password field and a one-time-code field labelled
    // `codeLabel`. False when cancelled; the texts are returned as typed.
    virtual bool askPasswordAndCode(QWidget* parent, const QString& title, const QString& codeLabel,
                                    QString* password, QString* code);
    // One line of text; false when cancelled.
    virtual bool getText(QWidget* parent, const QString& title, const QString& label, QString* text);
    // Runs a dialog modally; returns its result code.
    virtual int execDialog(QDialog* dialog);
};
