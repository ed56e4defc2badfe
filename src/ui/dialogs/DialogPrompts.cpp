// Real message boxes, input boxes and desktop hand-offs.
#include "ui/dialogs/DialogPrompts.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

namespace {

class SystemPrompts : public DialogPrompts {
public:
    void message(QWidget* parent, Kind kind, const QString& title, const QString& text, bool richText) override
    {
        QMessageBox box(parent);
        box.setWindowTitle(title);
        box.setTextFormat(richText ? Qt::RichText : Qt::PlainText);
        box.setText(text);
        box.setStandardButtons(QMessageBox::Ok);
        box.setIcon(kind == Kind::Information ? QMessageBox::Information
                    : kind == Kind::Warning   ? QMessageBox::Warning
                                              : QMessageBox::Critical);
        box.exec();
    }
    bool question(QWidget* parent, const QString& title, const QString& text, bool defaultNo) override
    {
        return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No,
                                     defaultNo ? QMessageBox::No : QMessageBox::NoButton) == QMessageBox::Yes;
    }
    bool confirm(QWidget* parent, const QString& title, const QString& text) override
    {
        return QMessageBox::information(parent, title, text, QMessageBox::Ok | QMessageBox::Cancel) ==
               QMessageBox::Ok;
    }
    bool getText(QWidget* parent, const QString& title, const QString& label, QString* text) override
    {
        bool ok = false;
        *text = QInputDialog::getText(parent, title, label, QLineEdit::Normal, QString(), &ok);
        return ok;
    }
    QString getExistingDirectory(QWidget* parent, const QString& caption, const QString& start) override
    {
        return QFileDialog::getExistingDirectory(parent, caption, start, QFileDialog::ShowDirsOnly);
    }
    bool openUrl(const QUrl& url) override { return QDesktopServices::openUrl(url); }
};

}  // namespace

DialogPrompts* DialogPrompts::system()
{
    static SystemPrompts prompts;
    return &prompts;
}
