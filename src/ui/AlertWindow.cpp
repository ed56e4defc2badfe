// Small non-blocking message window any component can raise and forget.
#include "ui/AlertWindow.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

AlertWindow::AlertWindow(const QString& title, const QString& message, QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(title);
    // Raised from signal handlers (a socket error, say): it must never wait for the user.
    setModal(false);
    setFixedSize(360, 120);

    messageLabel = new QLabel(message, this);
    messageLabel->setWordWrap(true);

    okButton = new QPushButton(QStringLiteral("OK"), this);
    okButton->setFixedWidth(80);
    connect(okButton, &QPushButton::clicked, this, &AlertWindow::onOkClicked);

    auto* buttonRow = new QHBoxLayout;
    buttonRow->addStretch();
    buttonRow->addWidget(okButton);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(messageLabel);
    layout->addStretch();
    layout->addLayout(buttonRow);
}

AlertWindow::~AlertWindow() = default;

void AlertWindow::onOkClicked()
{
    accept();
}
