// The message boxes, input boxes and browser hand-offs of the dialogs, behind one seam so that a
// test can answer them without a modal loop.
#pragma once

#include <QString>
#include <QUrl>

class QWidget;

class DialogPrompts {
public:
    enum class Kind { Information, Warning, Critical };

    virtual ~DialogPrompts() = default;
    // A box with an OK button. richText makes the text HTML (the login help boxes).
    virtual void message(QWidget* parent, Kind kind, const QString& title, const QString& text,
                         bool richText = false) = 0;
    // A Yes/No question; true only for Yes. defaultNo makes No the default button.
    virtual bool question(QWidget* parent, const QString& title, const QString& text, bool defaultNo) = 0;
    // An information box with OK and Cancel; true for OK.
    virtual bool confirm(QWidget* parent, const QString& title, const QString& text) = 0;
    // One line of text; false when cancelled.
    virtual bool getText(QWidget* parent, const QString& title, const QString& label, QString* text) = 0;
    // A directory picker; empty when cancelled.
    virtual QString getExistingDirectory(QWidget* parent, const QString& caption, const QString& start) = 0;
    // The desktop's default application for a URL (local files included).
    virtual bool openUrl(const QUrl& url) = 0;

    // The process-wide default: real modal boxes and QDesktopServices.
    static DialogPrompts* system();
};
