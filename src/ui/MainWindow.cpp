// Main window construction and teardown.
#include "ui/MainWindow.h"

#include <QCoreApplication>
#include <QDebug>

#include "core/SettingsManager.h"

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent)
{
    QCoreApplication* app = QCoreApplication::instance();
    settings = app ? app->findChild<SettingsManager*>() : nullptr;  // recursive search
    if (settings) {
        qInfo() << "MainWindow: using application-level SettingsManager";
    } else {
        settings = new SettingsManager(this);
        qInfo() << "MainWindow: created local SettingsManager";
    }
}

MainWindow::~MainWindow()
{
    settings->saveSettings();
}
