// Small non-blocking message window any component can raise and forget.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

class AlertWindow : public QDialog
{
    Q_OBJECT

public:
    // Builds the window hidden; the creator calls show(). For a fire-and-forget alert create it
    // without a parent, set Qt::WA_DeleteOnClose and keep no pointer.
    AlertWindow(const QString& title, const QString& message, QWidget* parent = nullptr);
    ~AlertWindow() override;

private slots:
    void onOkClicked();

private:
    QLabel* messageLabel = nullptr;
    QPushButton* okButton = nullptr;
};
