// Message-box answers for main-window tests: every box the window raises is recorded and
// answered from a script instead of a modal loop.
#pragma once

#include "ui/UserPrompts.h"

#include <QAction>
#include <QList>
#include <QMenu>
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

    QMessageBox::StandardButton question(QWidget*, const QString& title, const QString& text,
                                         QMessageBox::StandardButton) override
    {
        shown.append({"question", title, text});
        return answers.isEmpty() ? QMessageBox::No : answers.takeFirst();
    }
    void warning(QWidget*, const QString& title, const QString& text) override
    {
        shown.append({"warning", title, text});
    }
    void information(QWidget*, const QString& title, const QString& text) override
    {
        shown.append({"information", title, text});
    }
    void about(QWidget*, const QString& title, const QString& text) override
    {
        shown.append({"about", title, text});
    }
    void error(QWidget*, const QString& message) override
    {
        shown.append({"error", "Error", message});
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
