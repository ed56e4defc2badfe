// The main window's instrument masters: loading the current broker's master through the symbol
// manager, handing the repository to the connector, and the application cache reset.
#include "ui/MainWindow.h"

#include "core/SettingsManager.h"

#include <QDebug>

void MainWindow::requestSymbolMasterLoad(int provider)
{
    Q_UNUSED(provider);
}

void MainWindow::refreshZerodhaMasterIfStale(const QString& remoteEtag)
{
    Q_UNUSED(remoteEtag);
}
