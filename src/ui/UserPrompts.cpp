// The message boxes the main window raises, behind one class so tests can answer them.
#include "ui/UserPrompts.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>

UserPrompts::~UserPrompts() = default;

QMessageBox::StandardButton UserPrompts::question(QWidget* parent, const QString& title,
                                                  const QString& text,
                                                  QMessageBox::StandardButton defaultButton)
{
    return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No,
                                 defaultButton);
}

void UserPrompts::warning(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox::warning(parent, title, text, QMessageBox::Ok);
}

void UserPrompts::information(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox::information(parent, title, text, QMessageBox::Ok);
}

void UserPrompts::about(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox::about(parent, title, text);
}

QObject* UserPrompts::error(QWidget* parent, const QString& message)
{
    auto* box = new QMessageBox(parent);
    box->setIcon(QMessageBox::Critical);
    box->setWindowTitle(QStringLiteral("Error"));
    box->setText(message);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
    return box;
}

QAction* UserPrompts::popup(QMenu* menu, const QPoint& globalPos)
{
    return menu->exec(globalPos);
}

void UserPrompts::critical(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox::critical(parent, title, text, QMessageBox::Ok);
}

bool UserPrompts::offerSettings(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::NoButton, parent);
    QPushButton* open = box.addButton(QStringLiteral("Open Settings"), QMessageBox::AcceptRole);
    QPushButton* cancel = box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    box.setDefaultButton(open);
    box.setEscapeButton(cancel);
    box.exec();
    return box.clickedButton() == open;
}

bool UserPrompts::askPasswordAndCode(QWidget* parent, const QString& title, const QString& codeLabel,
                                     QString* password, QString* code)
{
    QDialog dialog(parent);
    dialog.setWindowTitle(title);
    auto* layout = new QVBoxLayout(&dialog);
    auto* passwordRow = new QHBoxLayout;
    passwordRow->addWidget(new QLabel(QStringLiteral("Password:")));
    auto* passwordEdit = new QLineEdit;
    passwordEdit->setEchoMode(QLineEdit::Password);
    passwordRow->addWidget(passwordEdit);
    layout->addLayout(passwordRow);
    auto* codeRow = new QHBoxLayout;
    codeRow->addWidget(new QLabel(codeLabel));
    auto* codeEdit = new QLineEdit;
    codeRow->addWidget(codeEdit);
    layout->addLayout(codeRow);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    *password = passwordEdit->text();
    *code = codeEdit->text();
    return true;
}

bool UserPrompts::getText(QWidget* parent, const QString& title, const QString& label, QString* text)
{
    bool ok = false;
    *text = QInputDialog::getText(parent, title, label, QLineEdit::Normal, QString(), &ok);
    return ok;
}

int UserPrompts::execDialog(QDialog* dialog)
{
    return dialog->exec();
}
