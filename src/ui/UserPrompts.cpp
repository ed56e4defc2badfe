// The message boxes the main window raises, behind one class so tests can answer them.
#include "ui/UserPrompts.h"

#include <QMenu>

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

void UserPrompts::error(QWidget* parent, const QString& message)
{
    auto* box = new QMessageBox(parent);
    box->setIcon(QMessageBox::Critical);
    box->setWindowTitle(QStringLiteral("Error"));
    box->setText(message);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

QAction* UserPrompts::popup(QMenu* menu, const QPoint& globalPos)
{
    return menu->exec(globalPos);
}
