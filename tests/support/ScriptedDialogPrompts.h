// Answers the dialogs' message, question and input boxes from a script and records what was shown,
// so widget tests never wait on a modal loop.
#pragma once

#include "ui/dialogs/DialogPrompts.h"

#include <QList>
#include <QQueue>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

class ScriptedDialogPrompts : public DialogPrompts {
public:
    struct Shown {
        QString type;  // "information", "warning", "critical", "question", "confirm", "text", "directory"
        QString title;
        QString text;
    };

    QList<Shown> shown;
    QQueue<bool> answers;         // question and confirm; Yes/OK when empty
    QQueue<QString> texts;        // getText; a null string cancels; cancelled when empty
    QString directory;            // getExistingDirectory
    QList<QUrl> opened;
    bool openSucceeds = true;
    std::function<void()> onGetText;  // runs while an input box is "open"
    std::function<void(const Shown&)> onMessage;  // runs while a message box is "open"

    void message(QWidget*, Kind kind, const QString& title, const QString& text, bool) override
    {
        shown.append({kind == Kind::Information ? "information" : kind == Kind::Warning ? "warning" : "critical",
                      title, text});
        if (onMessage)
            onMessage(shown.last());
    }
    bool question(QWidget*, const QString& title, const QString& text, bool) override
    {
        shown.append({"question", title, text});
        return answers.isEmpty() ? true : answers.dequeue();
    }
    bool confirm(QWidget*, const QString& title, const QString& text) override
    {
        shown.append({"confirm", title, text});
        return answers.isEmpty() ? true : answers.dequeue();
    }
    bool getText(QWidget*, const QString& title, const QString& label, QString* text) override
    {
        shown.append({"text", title, label});
        if (onGetText)
            onGetText();
        const QString t = texts.isEmpty() ? QString() : texts.dequeue();
        *text = t.isNull() ? QString() : t;
        return !t.isNull();
    }
    QString getExistingDirectory(QWidget*, const QString& caption, const QString&) override
    {
        shown.append({"directory", caption, QString()});
        return directory;
    }
    bool openUrl(const QUrl& url) override
    {
        opened.append(url);
        return openSucceeds;
    }

    Shown last() const { return shown.isEmpty() ? Shown() : shown.last(); }
};
