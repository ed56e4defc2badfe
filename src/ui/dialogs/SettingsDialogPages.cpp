// Settings dialog pages besides the provider page: the carried connection, data and plugin
// settings, the logging page with its log-file actions, the market-hours page and the help boxes.
#include "ui/dialogs/SettingsDialog.h"

#include "core/SettingsManager.h"
#include "ui/dialogs/DialogPrompts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTimeEdit>
#include <QUrl>
#include <QVBoxLayout>

namespace {

QSpinBox* spin(QWidget* parent, int min, int max, int value, const QString& suffix = QString(), int step = 1)
{
    auto* s = new QSpinBox(parent);
    s->setRange(min, max);
    s->setSuffix(suffix);
    s->setSingleStep(step);
    s->setValue(value);
    return s;
}

const QStringList kLogPatterns{QStringLiteral("*.log"), QStringLiteral("*.txt")};

}  // namespace

// The connection, data and plugin pages are never shown (hidden children outside every layout);
// their controls carry settings through load, save and Restore Defaults.
void SettingsDialog::createConnectionTab()
{
    connectionPage = new QWidget(this);
    connectionPage->hide();
    auto* layout = new QVBoxLayout(connectionPage);
    auto* autoGroup = new QGroupBox(QStringLiteral("Automatic Connection"), connectionPage);
    auto* autoLayout = new QVBoxLayout(autoGroup);
    autoConnectCheck = new QCheckBox(QStringLiteral("Auto-connect on application startup"), autoGroup);
    autoStartFeedCheck = new QCheckBox(QStringLiteral("Auto-start live feed when connected"), autoGroup);
    autoLayout->addWidget(autoConnectCheck);
    autoLayout->addWidget(autoStartFeedCheck);
    layout->addWidget(autoGroup);
    auto* timing = new QGroupBox(QStringLiteral("Timing Settings"), connectionPage);
    auto* form = new QFormLayout(timing);
    updateIntervalSpin = spin(timing, 1, 300, 5, QStringLiteral(" seconds"));
    retryAttemptsSpin = spin(timing, 0, 10, 3);
    form->addRow(QStringLiteral("Live update interval:"), updateIntervalSpin);
    form->addRow(QStringLiteral("Retry attempts:"), retryAttemptsSpin);
    layout->addWidget(timing);
    layout->addStretch();
}

void SettingsDialog::createDataTab()
{
    dataPage = new QWidget(this);
    dataPage->hide();
    auto* layout = new QVBoxLayout(dataPage);
    auto* history = new QGroupBox(QStringLiteral("Historical Data"), dataPage);
    auto* form = new QFormLayout(history);
    autoDownloadCheck = new QCheckBox(QStringLiteral("Auto-download historical data for new symbols"), history);
    autoDownloadCheck->setChecked(true);
    form->addRow(autoDownloadCheck);
    autoDownloadDaysSpin = spin(history, 1, 365, 30, QStringLiteral(" days"));
    maxHistoricalDaysSpin = spin(history, 1, 3650, 365, QStringLiteral(" days"));
    form->addRow(QStringLiteral("Auto-download period:"), autoDownloadDaysSpin);
    form->addRow(QStringLiteral("Max historical retention:"), maxHistoricalDaysSpin);
    layout->addWidget(history);
    auto* live = new QGroupBox(QStringLiteral("Live Data"), dataPage);
    auto* liveForm = new QFormLayout(live);
    maxTicksSpin = spin(live, 100, 100000, 10000, QString(), 1000);
    liveForm->addRow(QStringLiteral("Max ticks per symbol:"), maxTicksSpin);
    layout->addWidget(live);
    auto* storage = new QGroupBox(QStringLiteral("Storage Options"), dataPage);
    auto* storageLayout = new QVBoxLayout(storage);
    compressDataCheck = new QCheckBox(QStringLiteral("Compress stored data (saves disk space)"), storage);
    compressDataCheck->setChecked(true);
    storageLayout->addWidget(compressDataCheck);
    layout->addWidget(storage);
    layout->addStretch();
}

void SettingsDialog::createPluginTab()
{
    pluginPage = new QWidget(this);
    pluginPage->hide();
    auto* layout = new QVBoxLayout(pluginPage);
    auto* config = new QGroupBox(QStringLiteral("Plugin Configuration"), pluginPage);
    auto* grid = new QGridLayout(config);
    pluginEnabledCheck = new QCheckBox(QStringLiteral("Enable AmiBroker plugin interface"), config);
    pluginEnabledCheck->setChecked(true);
    grid->addWidget(pluginEnabledCheck, 0, 0, 1, 3);
    grid->addWidget(new QLabel(QStringLiteral("AmiBroker Path:"), config), 1, 0);
    amiBrokerPathEdit = new QLineEdit(config);
    amiBrokerPathEdit->setPlaceholderText(QStringLiteral("C:\\Program Files\\AmiBroker"));
    grid->addWidget(amiBrokerPathEdit, 1, 1);
    browseAmiBrokerButton = new QPushButton(QStringLiteral("Browse..."), config);
    grid->addWidget(browseAmiBrokerButton, 1, 2);
    connect(browseAmiBrokerButton, &QPushButton::clicked, this, &SettingsDialog::onBrowseAmiBrokerClicked);
    pluginStatusLabel = new QLabel(QStringLiteral("Plugin Status: Not Installed"), config);
    pluginStatusLabel->setStyleSheet(QStringLiteral("font-weight: bold; color: red;"));
    grid->addWidget(pluginStatusLabel, 2, 0, 1, 3);
    layout->addWidget(config);
    auto* install = new QGroupBox(QStringLiteral("Plugin Installation"), pluginPage);
    auto* installLayout = new QVBoxLayout(install);
    auto* text = new QLabel(QStringLiteral(
        "To use Tickvane with AmiBroker:\n\n1. Build this project as a DLL\n2. Copy the DLL to AmiBroker's Plugins "
        "folder\n3. Configure AmiBroker to use the plugin as a data source\n4. Restart AmiBroker\n\nThe plugin will "
        "automatically provide live and historical data to AmiBroker."), install);
    text->setWordWrap(true);
    text->setStyleSheet(QStringLiteral("padding: 10px; background-color: #f0f0f0; border: 1px solid #ccc;"));
    installLayout->addWidget(text);
    auto* buttons = new QHBoxLayout();
    buttons->addWidget(new QPushButton(QStringLiteral("Install/Update Plugin"), install));
    buttons->addWidget(new QPushButton(QStringLiteral("Uninstall Plugin"), install));
    installLayout->addLayout(buttons);
    layout->addWidget(install);
    layout->addStretch();
}

void SettingsDialog::createLoggingTab()
{
    auto* page = new QWidget();
    auto* layout = new QVBoxLayout(page);
    auto* config = new QGroupBox(QStringLiteral("Logging Configuration"), page);
    auto* grid = new QGridLayout(config);
    loggingEnabledCheck = new QCheckBox(QStringLiteral("Enable detailed logging"), config);
    grid->addWidget(loggingEnabledCheck, 0, 0, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Log Level:"), config), 1, 0);
    logLevelCombo = new QComboBox(config);
    logLevelCombo->addItems({"Error", "Warning", "Info", "Debug"});
    logLevelCombo->setCurrentText(QStringLiteral("Info"));
    grid->addWidget(logLevelCombo, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Log File Path:"), config), 2, 0);
    logFilePathEdit = new QLineEdit(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
                                        QStringLiteral("/logs/"),
                                    config);
    logFilePathEdit->setReadOnly(true);
    grid->addWidget(logFilePathEdit, 2, 1);
    layout->addWidget(config);

    auto* files = new QGroupBox(QStringLiteral("Log File Management"), page);
    auto* filesGrid = new QGridLayout(files);
    filesGrid->addWidget(new QLabel(QStringLiteral("Max log file size:"), files), 0, 0);
    maxLogSizeSpin = spin(files, 1, 100, 10, QStringLiteral(" MB"));
    filesGrid->addWidget(maxLogSizeSpin, 0, 1);
    filesGrid->addWidget(new QLabel(QStringLiteral("Max log files to keep:"), files), 1, 0);
    maxLogFilesSpin = spin(files, 1, 50, 5);
    filesGrid->addWidget(maxLogFilesSpin, 1, 1);
    auto* buttons = new QHBoxLayout();
    auto* view = new QPushButton(QStringLiteral("View Current Log"), files);
    auto* open = new QPushButton(QStringLiteral("Open Log Folder"), files);
    auto* clear = new QPushButton(QStringLiteral("Clear Logs"), files);
    buttons->addWidget(view);
    buttons->addWidget(open);
    buttons->addWidget(clear);
    buttons->addStretch();
    filesGrid->addLayout(buttons, 2, 0, 1, 2);
    connect(view, &QPushButton::clicked, this, &SettingsDialog::onViewLogClicked);
    connect(open, &QPushButton::clicked, this, &SettingsDialog::onOpenLogFolderClicked);
    connect(clear, &QPushButton::clicked, this, &SettingsDialog::onClearLogsClicked);
    layout->addWidget(files);
    layout->addStretch();
    tabWidget->addTab(page, QStringLiteral("Logging"));
}

void SettingsDialog::createMarketHoursTab()
{
    auto* page = new QWidget();
    auto* layout = new QVBoxLayout(page);
    auto* intro = new QLabel(QStringLiteral(
        "<b>Market Trading Hours</b><br>Configure live data filtering for each exchange. Ticks received outside "
        "these hours will be ignored.<br>This prevents premarket and postmarket data from being imported."), page);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    auto* hours = new QGroupBox(QStringLiteral("Exchange Trading Hours"), page);
    auto* grid = new QGridLayout(hours);
    const QStringList exchanges{"NSE", "BSE", "NFO", "MCX", "BFO", "CDS"};
    for (int i = 0; i < exchanges.size(); ++i) {
        const QString& ex = exchanges.at(i);
        auto* start = new QTimeEdit(settingsManager->marketStartTime(ex), hours);
        auto* end = new QTimeEdit(settingsManager->marketEndTime(ex), hours);
        start->setDisplayFormat(QStringLiteral("HH:mm"));
        end->setDisplayFormat(QStringLiteral("HH:mm"));
        grid->addWidget(new QLabel(ex + QLatin1Char(':'), hours), i, 0);
        grid->addWidget(new QLabel(QStringLiteral("Start:"), hours), i, 1);
        grid->addWidget(start, i, 2);
        grid->addWidget(new QLabel(QStringLiteral("End:"), hours), i, 3);
        grid->addWidget(end, i, 4);
        marketStartEdits.insert(ex, start);
        marketEndEdits.insert(ex, end);
    }
    layout->addWidget(hours);
    auto* desc = new QGroupBox(QStringLiteral("Exchange Descriptions"), page);
    auto* descLayout = new QVBoxLayout(desc);
    auto* descText = new QLabel(QStringLiteral(
        "<b>NSE:</b> National Stock Exchange (Equity)<br><b>BSE:</b> Bombay Stock Exchange (Equity)<br><b>NFO:</b> "
        "NSE Futures & Options<br><b>MCX:</b> Multi Commodity Exchange (24-hour trading)<br><b>BFO:</b> BSE Futures "
        "& Options<br><b>CDS:</b> Currency Derivatives Segment<br><br><i>Note: Times are in local system time (IST "
        "for Indian markets)</i>"), desc);
    descText->setWordWrap(true);
    descLayout->addWidget(descText);
    layout->addWidget(desc);
    layout->addStretch();
    tabWidget->addTab(page, QStringLiteral("Market Hours"));
}

QString SettingsDialog::logFolder() const
{
    const QString text = logFilePathEdit->text();
    return text.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/logs/")
                          : text;
}

void SettingsDialog::onViewLogClicked()
{
    const QString folder = logFolder();
    QDir dir(folder);
    if (!dir.exists()) {
        warn(QStringLiteral("Log Not Found"), QStringLiteral("Log directory does not exist:\n") + folder);
        return;
    }
    const QFileInfoList logs = dir.entryInfoList(kLogPatterns, QDir::Files, QDir::Time);
    if (logs.isEmpty()) {
        info(QStringLiteral("No Logs"), QStringLiteral("No log files found in:\n") + folder);
        return;
    }
    const QString path = logs.first().absoluteFilePath();
    if (!prompts->openUrl(QUrl::fromLocalFile(path)))
        warn(QStringLiteral("Error"), QStringLiteral("Failed to open log file:\n") + path);
}

void SettingsDialog::onOpenLogFolderClicked()
{
    const QString folder = logFolder();
    QDir().mkpath(folder);
    if (!prompts->openUrl(QUrl::fromLocalFile(folder)))
        warn(QStringLiteral("Error"), QStringLiteral("Failed to open log folder:\n") + folder);
}

void SettingsDialog::onClearLogsClicked()
{
    QDir dir(logFolder());
    if (!dir.exists()) {
        info(QStringLiteral("No Logs"), QStringLiteral("Log directory does not exist."));
        return;
    }
    if (!prompts->question(this, QStringLiteral("Clear Logs"),
                           QStringLiteral("Are you sure you want to delete all log files?\n\nThis action cannot be undone."),
                           true))
        return;
    const QFileInfoList logs = dir.entryInfoList(kLogPatterns, QDir::Files, QDir::Unsorted);
    if (logs.isEmpty()) {
        info(QStringLiteral("No Logs"), QStringLiteral("No log files to delete."));
        return;
    }
    const QString live =
        currentLogFile.isEmpty() ? QString() : QDir::cleanPath(QFileInfo(currentLogFile).absoluteFilePath());
    int deleted = 0;
    int failed = 0;
    bool kept = false;
    for (const QFileInfo& f : logs) {
        // The running program's log stays: unlinking it here would silently swallow every later line.
        if (QDir::cleanPath(f.absoluteFilePath()) == live)
            kept = true;
        else if (QFile::remove(f.absoluteFilePath()))
            ++deleted;
        else
            ++failed;
    }
    QString text = QStringLiteral("Deleted %1 log file(s).").arg(deleted);
    if (kept)
        text += QStringLiteral("\nThe log of this session is kept while Tickvane runs.");
    if (failed > 0)
        text += QStringLiteral("\nFailed to delete %1 file(s) (may be in use).").arg(failed);
    info(QStringLiteral("Logs Cleared"), text);
}

void SettingsDialog::showZerodhaAuthHelp()
{
    help(QStringLiteral("Zerodha Authentication Help"),
         QStringLiteral(
             "<h3>Zerodha Kite API Authentication Guide</h3>"
             "<h4>Prerequisites</h4><ul><li>A Zerodha trading account</li>"
             "<li>A Kite Connect app created at <a href=\"https://developers.kite.trade\">developers.kite.trade</a></li>"
             "<li>The API Key and API Secret from the app's dashboard</li></ul>"
             "<h4>Authentication Steps</h4><ol><li>Enter your API Key and API Secret</li>"
             "<li>Click 'Authenticate' to open the Zerodha login page</li>"
             "<li>Log in with your user ID, password and PIN</li>"
             "<li>If it is not captured automatically, copy the request_token from the redirect URL: "
             "https://127.0.0.1/?request_token=<span style=\"color:red\">XXXXXX</span>&amp;action=login&amp;status=success</li>"
             "<li>Paste it in the dialog that opens; the application exchanges it for an access token</li></ol>"
             "<h4>Important Notes</h4><ul><li>Tokens are valid until 6 AM the next day (Indian time)</li>"
             "<li>Re-authenticate daily</li><li>Keep your API Secret private</li>"
             "<li>Set the app's redirect URL to https://127.0.0.1</li></ul>"
             "<h4>Troubleshooting</h4><ul><li>Open https://kite.zerodha.com/connect/login?api_key=YOUR_KEY by hand</li>"
             "<li>On an 'Invalid API Key' error, check the key</li>"
             "<li>Make sure the app is active and not suspended</li></ul>"));
}

void SettingsDialog::showFlatTradeAuthHelp()
{
    help(QStringLiteral("FlatTrade Authentication Help"),
         QStringLiteral(
             "<h3>FlatTrade API Authentication Guide</h3>"
             "<h4>Prerequisites</h4><ul><li>API Key and API Secret from "
             "<a href=\"https://wall.flattrade.in\">wall.flattrade.in</a></li></ul>"
             "<h4>Authentication Steps</h4><ol><li>Enter your API Key and API Secret</li><li>Click 'Authenticate'</li>"
             "<li>Log in with your Client ID (UCC), Password and PAN/DOB</li>"
             "<li>You are redirected back automatically</li><li>The access token is generated</li></ol>"
             "<h4>Important Notes</h4><ul><li>The redirect URL must be registered as http://127.0.0.1:8765</li>"
             "<li>Tokens have a validity period</li><li>Keep your API Secret private</li>"
             "<li>Re-authenticate when the token expires</li></ul>"
             "<h4>Troubleshooting</h4><ul><li>Check your default browser settings</li>"
             "<li>Ensure local server port 8765-8775 range is not blocked</li>"
             "<li>Verify your credentials</li><li>Make sure the API key is active</li></ul>"));
}

void SettingsDialog::showFyersAuthHelp()
{
    help(QStringLiteral("Fyers Authentication Help"),
         QStringLiteral(
             "<h3>Fyers API Authentication Guide</h3>"
             "<h4>Prerequisites</h4><ul><li>An API app created at "
             "<a href=\"https://myapi.fyers.in/dashboard\">myapi.fyers.in</a> with the redirect URL https://127.0.0.1</li></ul>"
             "<h4>Finding Your Credentials</h4><ul><li>Client ID: usually 6-16 characters, shown on the app</li>"
             "<li>App Secret: shown on the app; it is hashed automatically</li></ul>"
             "<h4>Authentication Steps</h4><ol><li>Enter the Client ID and App ID</li><li>Click 'Authenticate'</li>"
             "<li>Log in and grant permission in the browser</li>"
             "<li>Copy the auth_code from the redirect URL and paste it in the dialog</li></ol>"
             "<h4>Important Notes</h4><ul><li>Tokens are valid for the trading day</li></ul>"
             "<h4>Troubleshooting</h4><ul><li>Invalid Client ID: copy it again from the dashboard</li>"
             "<li>Invalid App ID hash: check the App Secret</li><li>Browser not opening: open the link by hand</li>"
             "<li>Permission denied: grant every requested permission</li>"
             "<li>Redirect failing: the app's redirect URL must be https://127.0.0.1</li></ul>"));
}

void SettingsDialog::showTradeJiniAuthHelp()
{
    help(QStringLiteral("TradeJini Authentication Help"),
         QStringLiteral(
             "<h3>TradeJini API Authentication Guide</h3>"
             "<h4>Prerequisites</h4><ul><li>An API key from the "
             "<a href=\"https://api.tradejini.com\">TradeJini developer portal</a></li></ul>"
             "<h4>Authentication Steps</h4><ol><li>Enter your API Key</li><li>Enter your trading password</li>"
             "<li>Enter the 2FA code</li><li>Choose the 2FA type: 'totp' for an authenticator app, 'otp' for SMS, "
             "'pin' for your PIN</li><li>Click 'Authenticate'</li></ol>"
             "<h4>Important Notes</h4><ul><li>The token is valid for the trading session</li></ul>"
             "<h4>Troubleshooting</h4><ul><li>TOTP codes change every 30 seconds</li>"
             "<li>Make sure API trading is enabled on your account</li></ul>"));
}

void SettingsDialog::showDhanAuthHelp()
{
    help(QStringLiteral("Dhan Authentication Help"),
         QStringLiteral(
             "<h3>Dhan OAuth Authentication</h3><p>Dhan logs in through your browser and hands the token back to "
             "this application.</p>"
             "<h4>Prerequisites</h4><ul><li>Create an API application on <a href=\"https://web.dhan.co\">web.dhan.co</a> "
             "and note its API Key and API Secret</li></ul>"
             "<h4>Steps to Authenticate</h4><ol><li>Paste the API Key and API Secret</li>"
             "<li>Click 'Authenticate with Dhan (OAuth)'</li><li>Log in and approve in the browser</li>"
             "<li>The browser returns to localhost and shows a success message</li>"
             "<li>The token is captured and saved</li></ol>"
             "<h4>Important Notes</h4><ul><li>Tokens may need periodic renewal</li><li>Keep your API Secret private</li>"
             "<li>Close the browser tab afterwards</li></ul>"
             "<h4>Troubleshooting</h4><ul><li>Firewalls and other programs must leave the login server's port free</li>"
             "<li>Verify your credentials</li><li>Make sure API access is enabled</li></ul>"));
}

void SettingsDialog::showAngelOneAuthHelp()
{
    help(QStringLiteral("AngelOne Authentication Help"),
         QStringLiteral(
             "<h3>AngelOne Smart API Authentication</h3><p>AngelOne logs in with your password and a one-time code.</p>"
             "<h4>Authentication Steps</h4><ol><li>Enter the API Key, Client Code, Password and TOTP (6 digits from "
             "your authenticator app)</li><li>Click 'Login'</li><li>The JWT and Feed tokens are generated and saved</li></ol>"
             "<h4>Get API Credentials</h4><ul><li>Create the API app at "
             "<a href=\"https://smartapi.angelbroking.com\">smartapi.angelbroking.com</a></li><li>Enable TOTP</li></ul>"
             "<h4>Notes</h4><ul><li>JWT tokens expire after the session</li>"
             "<li>Feed tokens serve the live stream</li><li>The TOTP changes every 30 seconds</li></ul>"));
}
