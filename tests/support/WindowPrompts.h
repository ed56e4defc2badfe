// Message-box answers for main-window tests: every box the window raises is recorded and
// answered from a script instead of a modal loop.
#pragma once

#include "ui/UserPrompts.h"

#include <QAction>
#include <QList>
#include <QMenu>
#include <QPointer>
#include <QStringList>

// Answers the window's boxes from a script and records every one.
class WindowPrompts : public UserPrompts
{
public:
    struct Shown {
        QString kind, title, text;
    };
    QList<Shown> shown;
    QList<QMessageBox::StandardButton> answers;  // consumed by questions, in order
    QString menuChoice;                          // text of the context-menu entry to pick
    bool openSettings = false;                   // answer to the credentials box
    // Answers of login dialogs, in order: {password, code}; none left means Cancel.
    QList<QPair<QString, QString>> logins;
    QStringList texts_;                          // answers of text prompts; none left: Cancel
    int dialogResult = 0;                        // what a modal dialog returns
    int dialogsRun = 0;
    QList<QPointer<QObject>> errorBoxes;

    QMessageBox::StandardButton question(QWidget*, const QString& title, const QString& text,
                                         QMessageBox::StandardButton) override
    {
        shown.append({"question", title, text});
        return answers.isEmpty() ? QMessageBox::No : answers.takeFirst();
    }
    void warning(QWidget*, const QString& title, const QString& text) override { shown.append({"warning", title, text}); }
    void information(QWidget*, const QString& title, const QString& text) override { shown.append({"information", title, text}); }
    void about(QWidget*, const QString& title, const QString& text) override { shown.append({"about", title, text}); }
    void critical(QWidget*, const QString& title, const QString& text) override { shown.append({"critical", title, text}); }
    // Error boxes stay "open" until the test deletes them (closeErrorBoxes) or the window goes.
    QObject* error(QWidget* parent, const QString& message) override
    {
        shown.append({"error", "Error", message});
        errorBoxes.append(new QObject(parent));
        return errorBoxes.last();
    }
    void closeErrorBoxes()
    {
        for (const QPointer<QObject>& box : qAsConst(errorBoxes))
            delete box.data();
        errorBoxes.clear();
    }
    QAction* popup(QMenu* menu, const QPoint&) override
    {
        shown.append({"menu", QString(), QString()});
        for (QAction* a : menu->actions()) {
            if (a->text() == menuChoice)
                return a;
        }
        return nullptr;
    }
    bool offerSettings(QWidget*, const QString& title, const QString& text) override
    {
        shown.append({"offerSettings", title, text});
        return openSettings;
    }
    bool askPasswordAndCode(QWidget*, const QString& title, const QString& codeLabel,
                            QString* password, QString* code) override
    {
        shown.append({"login", title, codeLabel});
        if (logins.isEmpty())
            return false;
        *password = logins.first().first;
        *code = logins.takeFirst().second;
        return true;
    }
    bool getText(QWidget*, const QString& title, const QString& label, QString* text) override
    {
        shown.append({"getText", title, label});
        if (texts_.isEmpty())
            return false;
        *text = texts_.takeFirst();
        return true;
    }
    int execDialog(QDialog*) override
    {
        shown.append({"dialog", QString(), QString()});
        ++dialogsRun;
        return dialogResult;
    }
    // Texts of the boxes of one kind, in order.
    QStringList texts(const QString& kind) const
    {
        QStringList t;
        for (const Shown& s : shown) {
            if (s.kind == kind)
                t << s.text;
        }
        return t;
    }
    QStringList kinds() const
    {
        QStringList k;
        for (const Shown& s : shown)
            k << s.kind;
        return k;
    }
};
