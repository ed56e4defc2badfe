// The program's main window. For now it only finds (or makes) the settings store, shows an empty
// window, and saves the settings when it goes away.
#pragma once

#include <QMainWindow>

class SettingsManager;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // Uses the application's SettingsManager when the application object owns one (start-up creates
    // it), otherwise one of its own.
    explicit MainWindow(QWidget* parent = nullptr);
    // Saves all settings.
    ~MainWindow() override;

    SettingsManager* settingsManager() const { return settings; }

private:
    SettingsManager* settings = nullptr;
};
