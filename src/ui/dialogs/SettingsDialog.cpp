// Settings dialog frame, provider page, and the copy between its controls and the settings.
#include "ui/dialogs/SettingsDialog.h"

#include "brokers/CustomApiParser.h"
#include "brokers/QuoteOutcome.h"
#include "brokers/SymbolKey.h"
#include "core/SettingsManager.h"
#include "ui/dialogs/DialogPrompts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDebug>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPushButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimeEdit>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <QVBoxLayout>

namespace {

const char kNotAuthenticated[] = "❌ Not authenticated";

QLineEdit* lineEdit(QWidget* parent, const QString& placeholder, bool password = false, bool readOnly = false)
{
    auto* e = new QLineEdit(parent);
    e->setPlaceholderText(placeholder);
    if (password)
        e->setEchoMode(QLineEdit::Password);
    e->setReadOnly(readOnly);
    return e;
}

QLabel* statusLabel(QWidget* parent)
{
    auto* l = new QLabel(QString::fromUtf8(kNotAuthenticated), parent);
    l->setStyleSheet(QStringLiteral("color: red;"));
    return l;
}

// The style's own width leaves a long caption touching the frame: a login button gets room
// for a letter on each side.
QPushButton* loginButton(const QString& text, QWidget* parent)
{
    auto* b = new QPushButton(text, parent);
    b->setMinimumWidth(b->sizeHint().width() + 2 * b->fontMetrics().horizontalAdvance(QLatin1Char('x')));
    return b;
}

QPushButton* helpButton(QWidget* parent)
{
    auto* b = new QPushButton(QStringLiteral("Help"), parent);
    b->setMaximumWidth(60);
    return b;
}

QLabel* portalLink(QWidget* parent, const QString& lead, const QString& url, const QString& text,
                   const QString& trailing = QString())
{
    QString html = QStringLiteral("<small>%1 <a href=\"%2\">%3</a>").arg(lead.toHtmlEscaped(), url, text.toHtmlEscaped());
    if (!trailing.isEmpty())
        html += QLatin1Char(' ') + trailing.toHtmlEscaped();
    html += QStringLiteral("</small>");
    auto* l = new QLabel(html, parent);
    l->setTextFormat(Qt::RichText);
    l->setOpenExternalLinks(true);
    return l;
}

}  // namespace

SettingsDialog::SettingsDialog(SettingsManager* settingsManager, QWidget* parent, DialogPrompts* prompts)
    : QDialog(parent), settingsManager(settingsManager), prompts(prompts ? prompts : DialogPrompts::system())
{
    setWindowTitle(QStringLiteral("Tickvane Settings"));
    setMinimumSize(700, 600);
    setupUi();
    loadSettings();
    checkTokenValidity();
    connect(settingsManager, &SettingsManager::settingsChanged, this, &SettingsDialog::followStoredTokens);
}

SettingsDialog::~SettingsDialog() = default;

void SettingsDialog::info(const QString& title, const QString& text)
{
    prompts->message(this, DialogPrompts::Kind::Information, title, text);
}

void SettingsDialog::warn(const QString& title, const QString& text)
{
    prompts->message(this, DialogPrompts::Kind::Warning, title, text);
}

void SettingsDialog::critical(const QString& title, const QString& text)
{
    prompts->message(this, DialogPrompts::Kind::Critical, title, text);
}

void SettingsDialog::help(const QString& title, const QString& html)
{
    prompts->message(this, DialogPrompts::Kind::Information, title, html, true);
}

void SettingsDialog::setupUi()
{
    auto* layout = new QVBoxLayout(this);
    tabWidget = new QTabWidget(this);
    layout->addWidget(tabWidget);
    createProviderTab();
    createConnectionTab();
    createDataTab();
    createPluginTab();
    createLoggingTab();
    createMarketHoursTab();
    buttonBox = new QDialogButtonBox(
        QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::RestoreDefaults, this);
    layout->addWidget(buttonBox);
    connect(buttonBox, &QDialogButtonBox::accepted, this, &SettingsDialog::onAccepted);
    connect(buttonBox, &QDialogButtonBox::rejected, this, &SettingsDialog::onRejected);
    connect(buttonBox->button(QDialogButtonBox::RestoreDefaults), &QPushButton::clicked, this,
            &SettingsDialog::onResetToDefaultsClicked);
    nameControls();
}

// Object names let tests and style sheets find the controls.
void SettingsDialog::nameControls()
{
    tabWidget->setObjectName(QStringLiteral("tabWidget"));
    buttonBox->setObjectName(QStringLiteral("buttonBox"));
    providerCombo->setObjectName(QStringLiteral("providerCombo"));
    apiKeyEdit->setObjectName(QStringLiteral("apiKeyEdit"));
    customUrlEdit->setObjectName(QStringLiteral("customUrlEdit"));
    testApiButton->setObjectName(QStringLiteral("testApiButton"));
    apiStatusLabel->setObjectName(QStringLiteral("apiStatusLabel"));
    apiKeyLabel->setObjectName(QStringLiteral("apiKeyLabel"));
    customUrlLabel->setObjectName(QStringLiteral("customUrlLabel"));
    fyersClientIdEdit->setObjectName(QStringLiteral("fyersClientIdEdit"));
    fyersAppIdEdit->setObjectName(QStringLiteral("fyersAppIdEdit"));
    fyersSecretKeyEdit->setObjectName(QStringLiteral("fyersSecretKeyEdit"));
    fyersAccessTokenEdit->setObjectName(QStringLiteral("fyersAccessTokenEdit"));
    fyersAuthButton->setObjectName(QStringLiteral("fyersAuthButton"));
    zerodhaApiKeyEdit->setObjectName(QStringLiteral("zerodhaApiKeyEdit"));
    zerodhaApiSecretEdit->setObjectName(QStringLiteral("zerodhaApiSecretEdit"));
    zerodhaAccessTokenEdit->setObjectName(QStringLiteral("zerodhaAccessTokenEdit"));
    zerodhaAuthButton->setObjectName(QStringLiteral("zerodhaAuthButton"));
    zerodhaStatusLabel->setObjectName(QStringLiteral("zerodhaStatusLabel"));
    flatTradeClientIdEdit->setObjectName(QStringLiteral("flatTradeClientIdEdit"));
    flatTradeAccessTokenEdit->setObjectName(QStringLiteral("flatTradeAccessTokenEdit"));
    flatTradeApiKeyEdit->setObjectName(QStringLiteral("flatTradeApiKeyEdit"));
    flatTradeApiSecretEdit->setObjectName(QStringLiteral("flatTradeApiSecretEdit"));
    flatTradeAuthButton->setObjectName(QStringLiteral("flatTradeAuthButton"));
    flatTradeStatusLabel->setObjectName(QStringLiteral("flatTradeStatusLabel"));
    tradeJiniApiKeyEdit->setObjectName(QStringLiteral("tradeJiniApiKeyEdit"));
    tradeJiniPasswordEdit->setObjectName(QStringLiteral("tradeJiniPasswordEdit"));
    tradeJiniTwoFactorEdit->setObjectName(QStringLiteral("tradeJiniTwoFactorEdit"));
    tradeJiniTwoFactorTypeCombo->setObjectName(QStringLiteral("tradeJiniTwoFactorTypeCombo"));
    tradeJiniAccessTokenEdit->setObjectName(QStringLiteral("tradeJiniAccessTokenEdit"));
    tradeJiniAuthButton->setObjectName(QStringLiteral("tradeJiniAuthButton"));
    tradeJiniStatusLabel->setObjectName(QStringLiteral("tradeJiniStatusLabel"));
    dhanApiKeyEdit->setObjectName(QStringLiteral("dhanApiKeyEdit"));
    dhanApiSecretEdit->setObjectName(QStringLiteral("dhanApiSecretEdit"));
    dhanClientIdEdit->setObjectName(QStringLiteral("dhanClientIdEdit"));
    dhanAccessTokenEdit->setObjectName(QStringLiteral("dhanAccessTokenEdit"));
    dhanAuthButton->setObjectName(QStringLiteral("dhanAuthButton"));
    dhanStatusLabel->setObjectName(QStringLiteral("dhanStatusLabel"));
    angelOneApiKeyEdit->setObjectName(QStringLiteral("angelOneApiKeyEdit"));
    angelOneClientCodeEdit->setObjectName(QStringLiteral("angelOneClientCodeEdit"));
    angelOnePasswordEdit->setObjectName(QStringLiteral("angelOnePasswordEdit"));
    angelOneTotpEdit->setObjectName(QStringLiteral("angelOneTotpEdit"));
    angelOneJwtTokenEdit->setObjectName(QStringLiteral("angelOneJwtTokenEdit"));
    angelOneFeedTokenEdit->setObjectName(QStringLiteral("angelOneFeedTokenEdit"));
    angelOneLoginButton->setObjectName(QStringLiteral("angelOneLoginButton"));
    angelOneStatusLabel->setObjectName(QStringLiteral("angelOneStatusLabel"));
    upstoxApiKeyEdit->setObjectName(QStringLiteral("upstoxApiKeyEdit"));
    upstoxApiSecretEdit->setObjectName(QStringLiteral("upstoxApiSecretEdit"));
    upstoxAccessTokenEdit->setObjectName(QStringLiteral("upstoxAccessTokenEdit"));
    upstoxAuthButton->setObjectName(QStringLiteral("upstoxAuthButton"));
    upstoxStatusLabel->setObjectName(QStringLiteral("upstoxStatusLabel"));
    fyersGroup->setObjectName(QStringLiteral("fyersGroup"));
    zerodhaGroup->setObjectName(QStringLiteral("zerodhaGroup"));
    flatTradeGroup->setObjectName(QStringLiteral("flatTradeGroup"));
    tradeJiniGroup->setObjectName(QStringLiteral("tradeJiniGroup"));
    dhanGroup->setObjectName(QStringLiteral("dhanGroup"));
    angelOneGroup->setObjectName(QStringLiteral("angelOneGroup"));
    upstoxGroup->setObjectName(QStringLiteral("upstoxGroup"));
    autoConnectCheck->setObjectName(QStringLiteral("autoConnectCheck"));
    autoStartFeedCheck->setObjectName(QStringLiteral("autoStartFeedCheck"));
    updateIntervalSpin->setObjectName(QStringLiteral("updateIntervalSpin"));
    requestTimeoutSpin->setObjectName(QStringLiteral("requestTimeoutSpin"));
    retryAttemptsSpin->setObjectName(QStringLiteral("retryAttemptsSpin"));
    autoDownloadCheck->setObjectName(QStringLiteral("autoDownloadCheck"));
    autoDownloadDaysSpin->setObjectName(QStringLiteral("autoDownloadDaysSpin"));
    maxHistoricalDaysSpin->setObjectName(QStringLiteral("maxHistoricalDaysSpin"));
    maxTicksSpin->setObjectName(QStringLiteral("maxTicksSpin"));
    compressDataCheck->setObjectName(QStringLiteral("compressDataCheck"));
    pluginEnabledCheck->setObjectName(QStringLiteral("pluginEnabledCheck"));
    amiBrokerPathEdit->setObjectName(QStringLiteral("amiBrokerPathEdit"));
    browseAmiBrokerButton->setObjectName(QStringLiteral("browseAmiBrokerButton"));
    pluginStatusLabel->setObjectName(QStringLiteral("pluginStatusLabel"));
    loggingEnabledCheck->setObjectName(QStringLiteral("loggingEnabledCheck"));
    logLevelCombo->setObjectName(QStringLiteral("logLevelCombo"));
    logFilePathEdit->setObjectName(QStringLiteral("logFilePathEdit"));
    maxLogSizeSpin->setObjectName(QStringLiteral("maxLogSizeSpin"));
    maxLogFilesSpin->setObjectName(QStringLiteral("maxLogFilesSpin"));
}

void SettingsDialog::createProviderTab()
{
    auto* page = new QWidget();
    auto* pageLayout = new QVBoxLayout(page);

    auto* providerGroup = new QGroupBox(QStringLiteral("Data Provider"), page);
    auto* grid = new QGridLayout(providerGroup);
    grid->addWidget(new QLabel(QStringLiteral("Provider:"), providerGroup), 0, 0);
    providerCombo = new QComboBox(providerGroup);
    providerCombo->addItems({"Zerodha Kite (Indian Markets - OAuth2)", "FlatTrade (Indian Markets - Token Auth)",
                             "TradeJini (Indian Markets - API Auth)", "Dhan (Indian Markets - Token Auth)",
                             "AngelOne (Indian Markets - Smart API)", "Upstox (Indian Markets - OAuth2)",
                             "Custom API Endpoint"});
    grid->addWidget(providerCombo, 0, 1, 1, 2);
    apiKeyLabel = new QLabel(QStringLiteral("API Key:"), providerGroup);
    grid->addWidget(apiKeyLabel, 1, 0);
    apiKeyEdit = lineEdit(providerGroup, QStringLiteral("Enter your API key"), true);
    grid->addWidget(apiKeyEdit, 1, 1);
    testApiButton = new QPushButton(QStringLiteral("Test API"), providerGroup);
    grid->addWidget(testApiButton, 1, 2);
    customUrlLabel = new QLabel(QStringLiteral("Custom URL:"), providerGroup);
    grid->addWidget(customUrlLabel, 2, 0);
    customUrlEdit = lineEdit(providerGroup, QStringLiteral("https://quotes.example.com/api/v1"));
    customUrlEdit->setEnabled(false);
    grid->addWidget(customUrlEdit, 2, 1, 1, 2);
    // Next to the address it applies to: the feed's error box points the user here.
    grid->addWidget(new QLabel(QStringLiteral("Request timeout:"), providerGroup), 3, 0);
    requestTimeoutSpin = new QSpinBox(providerGroup);
    requestTimeoutSpin->setRange(5, 60);
    requestTimeoutSpin->setSuffix(QStringLiteral(" seconds"));
    requestTimeoutSpin->setValue(15);
    grid->addWidget(requestTimeoutSpin, 3, 1);
    apiStatusLabel = new QLabel(QStringLiteral("Status: Not tested"), providerGroup);
    apiStatusLabel->setStyleSheet(QStringLiteral("color: gray;"));
    grid->addWidget(apiStatusLabel, 4, 0, 1, 3);
    pageLayout->addWidget(providerGroup);

    brokersGroup = new QGroupBox(QStringLiteral("Indian Brokers Authentication"), page);
    auto* brokersLayout = new QVBoxLayout(brokersGroup);
    auto* scroll = new QScrollArea(brokersGroup);
    scroll->setWidgetResizable(true);
    scroll->setMinimumHeight(400);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* content = new QWidget();
    auto* boxes = new QVBoxLayout(content);

    fyersGroup = new QGroupBox(QStringLiteral("Fyers"), content);
    {
        auto* g = new QGridLayout(fyersGroup);
        g->addWidget(new QLabel(QStringLiteral("Client ID:"), fyersGroup), 0, 0);
        fyersClientIdEdit = lineEdit(fyersGroup, QStringLiteral("Your Fyers Client ID"));
        g->addWidget(fyersClientIdEdit, 0, 1);
        g->addWidget(new QLabel(QStringLiteral("App ID:"), fyersGroup), 1, 0);
        fyersAppIdEdit = lineEdit(fyersGroup, QStringLiteral("Your Fyers App ID"));
        g->addWidget(fyersAppIdEdit, 1, 1);
        g->addWidget(new QLabel(QStringLiteral("Secret Key:"), fyersGroup), 2, 0);
        fyersSecretKeyEdit = lineEdit(fyersGroup, QStringLiteral("Your Fyers App Secret"), true);
        g->addWidget(fyersSecretKeyEdit, 2, 1);
        g->addWidget(new QLabel(QStringLiteral("Access Token:"), fyersGroup), 3, 0);
        fyersAccessTokenEdit = lineEdit(fyersGroup, QStringLiteral("Fyers Access Token (auto-generated)"), true);
        g->addWidget(fyersAccessTokenEdit, 3, 1);
        fyersAuthButton = loginButton(QStringLiteral("Authenticate with Fyers"), fyersGroup);
        g->addWidget(fyersAuthButton, 4, 0);
        auto* h = helpButton(fyersGroup);
        g->addWidget(h, 4, 1);
        connect(h, &QPushButton::clicked, this, &SettingsDialog::showFyersAuthHelp);
    }
    fyersGroup->hide();  // Fyers is not offered as a provider here; its fields still carry its settings
    boxes->addWidget(fyersGroup);

    zerodhaGroup = new QGroupBox(QStringLiteral("Zerodha Kite"), content);
    {
        auto* g = new QGridLayout(zerodhaGroup);
        g->addWidget(new QLabel(QStringLiteral("API Key:"), zerodhaGroup), 0, 0);
        zerodhaApiKeyEdit = lineEdit(zerodhaGroup, QStringLiteral("Your Zerodha API Key"));
        g->addWidget(zerodhaApiKeyEdit, 0, 1);
        g->addWidget(new QLabel(QStringLiteral("API Secret:"), zerodhaGroup), 1, 0);
        zerodhaApiSecretEdit = lineEdit(zerodhaGroup, QStringLiteral("Your Zerodha API Secret"), true);
        g->addWidget(zerodhaApiSecretEdit, 1, 1);
        g->addWidget(new QLabel(QStringLiteral("Access Token:"), zerodhaGroup), 2, 0);
        zerodhaAccessTokenEdit = lineEdit(zerodhaGroup, QStringLiteral("Zerodha Access Token (auto-generated)"), true);
        g->addWidget(zerodhaAccessTokenEdit, 2, 1);
        zerodhaAuthButton = loginButton(QStringLiteral("Authenticate with Zerodha"), zerodhaGroup);
        g->addWidget(zerodhaAuthButton, 3, 0);
        zerodhaStatusLabel = statusLabel(zerodhaGroup);
        g->addWidget(zerodhaStatusLabel, 3, 1);
        auto* h = helpButton(zerodhaGroup);
        g->addWidget(h, 4, 1);
        connect(h, &QPushButton::clicked, this, &SettingsDialog::showZerodhaAuthHelp);
    }
    boxes->addWidget(zerodhaGroup);

    flatTradeGroup = new QGroupBox(QStringLiteral("FlatTrade"), content);
    {
        auto* g = new QGridLayout(flatTradeGroup);
        g->addWidget(new QLabel(QStringLiteral("API Key:"), flatTradeGroup), 0, 0);
        flatTradeApiKeyEdit = lineEdit(flatTradeGroup, QStringLiteral("Your FlatTrade API Key"));
        g->addWidget(flatTradeApiKeyEdit, 0, 1);
        g->addWidget(new QLabel(QStringLiteral("API Secret:"), flatTradeGroup), 1, 0);
        flatTradeApiSecretEdit = lineEdit(flatTradeGroup, QStringLiteral("Your FlatTrade API Secret"), true);
        g->addWidget(flatTradeApiSecretEdit, 1, 1);
        g->addWidget(new QLabel(QStringLiteral("Client ID:"), flatTradeGroup), 2, 0);
        flatTradeClientIdEdit = lineEdit(flatTradeGroup, QStringLiteral("Auto-filled after auth"), false, true);
        g->addWidget(flatTradeClientIdEdit, 2, 1);
        g->addWidget(new QLabel(QStringLiteral("Access Token:"), flatTradeGroup), 3, 0);
        flatTradeAccessTokenEdit = lineEdit(flatTradeGroup, QStringLiteral("Auto-generated after auth"), true, true);
        g->addWidget(flatTradeAccessTokenEdit, 3, 1);
        flatTradeAuthButton = loginButton(QStringLiteral("Authenticate with FlatTrade"), flatTradeGroup);
        g->addWidget(flatTradeAuthButton, 4, 0);
        flatTradeStatusLabel = statusLabel(flatTradeGroup);
        g->addWidget(flatTradeStatusLabel, 4, 1);
        g->addWidget(portalLink(flatTradeGroup, QStringLiteral("Get API Key from"), QStringLiteral("https://wall.flattrade.in"),
                                QStringLiteral("FlatTrade Portal")),
                     5, 0);
        auto* h = helpButton(flatTradeGroup);
        g->addWidget(h, 5, 1);
        connect(h, &QPushButton::clicked, this, &SettingsDialog::showFlatTradeAuthHelp);
    }
    boxes->addWidget(flatTradeGroup);

    tradeJiniGroup = new QGroupBox(QStringLiteral("TradeJini"), content);
    {
        auto* g = new QGridLayout(tradeJiniGroup);
        g->addWidget(new QLabel(QStringLiteral("API Key:"), tradeJiniGroup), 0, 0);
        tradeJiniApiKeyEdit = lineEdit(tradeJiniGroup, QStringLiteral("Your TradeJini API Key"));
        g->addWidget(tradeJiniApiKeyEdit, 0, 1);
        g->addWidget(new QLabel(QStringLiteral("Password:"), tradeJiniGroup), 1, 0);
        tradeJiniPasswordEdit = lineEdit(tradeJiniGroup, QStringLiteral("Your TradeJini Password"), true);
        g->addWidget(tradeJiniPasswordEdit, 1, 1);
        g->addWidget(new QLabel(QStringLiteral("2FA Code:"), tradeJiniGroup), 2, 0);
        tradeJiniTwoFactorEdit = lineEdit(tradeJiniGroup, QStringLiteral("Enter 2FA code (TOTP/OTP)"));
        g->addWidget(tradeJiniTwoFactorEdit, 2, 1);
        g->addWidget(new QLabel(QStringLiteral("2FA Type:"), tradeJiniGroup), 3, 0);
        tradeJiniTwoFactorTypeCombo = new QComboBox(tradeJiniGroup);
        tradeJiniTwoFactorTypeCombo->addItems({"totp", "otp", "pin"});
        g->addWidget(tradeJiniTwoFactorTypeCombo, 3, 1);
        g->addWidget(new QLabel(QStringLiteral("Access Token:"), tradeJiniGroup), 4, 0);
        tradeJiniAccessTokenEdit = lineEdit(tradeJiniGroup, QStringLiteral("Auto-generated after auth"), true, true);
        g->addWidget(tradeJiniAccessTokenEdit, 4, 1);
        tradeJiniAuthButton = loginButton(QStringLiteral("Authenticate with TradeJini"), tradeJiniGroup);
        g->addWidget(tradeJiniAuthButton, 5, 0);
        tradeJiniStatusLabel = statusLabel(tradeJiniGroup);
        g->addWidget(tradeJiniStatusLabel, 5, 1);
        g->addWidget(portalLink(tradeJiniGroup, QStringLiteral("Get API Key from"), QStringLiteral("https://api.tradejini.com"),
                                QStringLiteral("TradeJini Developer Portal")),
                     6, 0);
        auto* h = helpButton(tradeJiniGroup);
        g->addWidget(h, 6, 1);
        connect(h, &QPushButton::clicked, this, &SettingsDialog::showTradeJiniAuthHelp);
    }
    boxes->addWidget(tradeJiniGroup);

    dhanGroup = new QGroupBox(QStringLiteral("Dhan"), content);
    {
        auto* g = new QGridLayout(dhanGroup);
        g->addWidget(new QLabel(QStringLiteral("API Key:"), dhanGroup), 0, 0);
        dhanApiKeyEdit = lineEdit(dhanGroup, QStringLiteral("Your Dhan API Key"));
        g->addWidget(dhanApiKeyEdit, 0, 1);
        g->addWidget(new QLabel(QStringLiteral("API Secret:"), dhanGroup), 1, 0);
        dhanApiSecretEdit = lineEdit(dhanGroup, QStringLiteral("Your Dhan API Secret"), true);
        g->addWidget(dhanApiSecretEdit, 1, 1);
        g->addWidget(new QLabel(QStringLiteral("Client ID:"), dhanGroup), 2, 0);
        dhanClientIdEdit = lineEdit(dhanGroup, QStringLiteral("Auto-filled or manual entry"));
        g->addWidget(dhanClientIdEdit, 2, 1);
        g->addWidget(new QLabel(QStringLiteral("Access Token:"), dhanGroup), 3, 0);
        dhanAccessTokenEdit =
            lineEdit(dhanGroup, QStringLiteral("Auto-generated after OAuth or manual entry"), true, true);
        g->addWidget(dhanAccessTokenEdit, 3, 1);
        dhanAuthButton = loginButton(QStringLiteral("Authenticate with Dhan (OAuth)"), dhanGroup);
        g->addWidget(dhanAuthButton, 4, 0);
        dhanStatusLabel = statusLabel(dhanGroup);
        g->addWidget(dhanStatusLabel, 4, 1);
        g->addWidget(portalLink(dhanGroup, QStringLiteral("Get API Key & Secret from"), QStringLiteral("https://web.dhan.co"),
                                QStringLiteral("Dhan Portal"), QStringLiteral("(My Profile → Access DhanHQ APIs)")),
                     5, 0, 1, 2);
    }
    boxes->addWidget(dhanGroup);

    angelOneGroup = new QGroupBox(QStringLiteral("AngelOne"), content);
    {
        auto* g = new QGridLayout(angelOneGroup);
        g->addWidget(new QLabel(QStringLiteral("API Key:"), angelOneGroup), 0, 0);
        angelOneApiKeyEdit = lineEdit(angelOneGroup, QStringLiteral("Your AngelOne API Key"));
        g->addWidget(angelOneApiKeyEdit, 0, 1);
        g->addWidget(new QLabel(QStringLiteral("Client Code:"), angelOneGroup), 1, 0);
        angelOneClientCodeEdit = lineEdit(angelOneGroup, QStringLiteral("Your Client Code"));
        g->addWidget(angelOneClientCodeEdit, 1, 1);
        g->addWidget(new QLabel(QStringLiteral("Password:"), angelOneGroup), 2, 0);
        angelOnePasswordEdit = lineEdit(angelOneGroup, QStringLiteral("Your Password"), true);
        g->addWidget(angelOnePasswordEdit, 2, 1);
        g->addWidget(new QLabel(QStringLiteral("TOTP:"), angelOneGroup), 3, 0);
        angelOneTotpEdit = lineEdit(angelOneGroup, QStringLiteral("Authenticator Code (6 digits)"));
        g->addWidget(angelOneTotpEdit, 3, 1);
        g->addWidget(new QLabel(QStringLiteral("JWT Token:"), angelOneGroup), 4, 0);
        angelOneJwtTokenEdit = lineEdit(angelOneGroup, QStringLiteral("Auto-generated after authentication"), true, true);
        g->addWidget(angelOneJwtTokenEdit, 4, 1);
        g->addWidget(new QLabel(QStringLiteral("Feed Token:"), angelOneGroup), 5, 0);
        angelOneFeedTokenEdit = lineEdit(angelOneGroup, QStringLiteral("Auto-generated after authentication"), true, true);
        g->addWidget(angelOneFeedTokenEdit, 5, 1);
        angelOneLoginButton = new QPushButton(QStringLiteral("Login (Password + TOTP)"), angelOneGroup);
        g->addWidget(angelOneLoginButton, 6, 0, 1, 2);
        angelOneStatusLabel = statusLabel(angelOneGroup);
        g->addWidget(angelOneStatusLabel, 7, 0, 1, 2);
        g->addWidget(portalLink(angelOneGroup, QStringLiteral("Get API Key from"), QStringLiteral("https://smartapi.angelbroking.com"),
                                QStringLiteral("AngelOne Smart API")),
                     8, 0, 1, 2);
    }
    boxes->addWidget(angelOneGroup);

    upstoxGroup = new QGroupBox(QStringLiteral("Upstox"), content);
    {
        auto* g = new QGridLayout(upstoxGroup);
        g->addWidget(new QLabel(QStringLiteral("API Key:"), upstoxGroup), 0, 0);
        upstoxApiKeyEdit = lineEdit(upstoxGroup, QStringLiteral("Your Upstox API Key"));
        g->addWidget(upstoxApiKeyEdit, 0, 1);
        g->addWidget(new QLabel(QStringLiteral("API Secret:"), upstoxGroup), 1, 0);
        upstoxApiSecretEdit = lineEdit(upstoxGroup, QStringLiteral("Your Upstox API Secret"), true);
        g->addWidget(upstoxApiSecretEdit, 1, 1);
        g->addWidget(new QLabel(QStringLiteral("Access Token:"), upstoxGroup), 2, 0);
        upstoxAccessTokenEdit = lineEdit(upstoxGroup, QStringLiteral("Auto-generated via OAuth"), true, true);
        g->addWidget(upstoxAccessTokenEdit, 2, 1);
        upstoxAuthButton = loginButton(QStringLiteral("Authenticate (OAuth 2.0)"), upstoxGroup);
        g->addWidget(upstoxAuthButton, 3, 0, 1, 2);
        upstoxStatusLabel = statusLabel(upstoxGroup);
        g->addWidget(upstoxStatusLabel, 4, 0, 1, 2);
        g->addWidget(portalLink(upstoxGroup, QStringLiteral("Get API credentials from"), QStringLiteral("https://account.upstox.com/developer/apps"),
                                QStringLiteral("Upstox Developer Console")),
                     5, 0, 1, 2);
    }
    boxes->addWidget(upstoxGroup);
    boxes->addStretch();
    scroll->setWidget(content);
    brokersLayout->addWidget(scroll);
    pageLayout->addWidget(brokersGroup);
    pageLayout->addStretch();

    tabWidget->addTab(page, QStringLiteral("API Provider"));

    connect(providerCombo, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &SettingsDialog::onProviderChanged);
    connect(testApiButton, &QPushButton::clicked, this, &SettingsDialog::onTestApiClicked);
    connect(fyersAuthButton, &QPushButton::clicked, this, &SettingsDialog::onFyersAuthClicked);
    connect(zerodhaAuthButton, &QPushButton::clicked, this, &SettingsDialog::onZerodhaAuthClicked);
    connect(flatTradeAuthButton, &QPushButton::clicked, this, &SettingsDialog::onFlatTradeAuthClicked);
    connect(tradeJiniAuthButton, &QPushButton::clicked, this, &SettingsDialog::onTradeJiniAuthClicked);
    connect(dhanAuthButton, &QPushButton::clicked, this, &SettingsDialog::onDhanAuthClicked);
    connect(angelOneLoginButton, &QPushButton::clicked, this, &SettingsDialog::onAngelOneDirectLoginClicked);
    connect(upstoxAuthButton, &QPushButton::clicked, this, &SettingsDialog::onUpstoxAuthClicked);
}

void SettingsDialog::onProviderChanged(int index)
{
    // The general key serves the "Custom API" as much as the brokers that use it: its row stays.
    customUrlEdit->setEnabled(index == SettingsManager::CustomAPI);
    QGroupBox* const boxes[] = {zerodhaGroup, flatTradeGroup, tradeJiniGroup, dhanGroup, angelOneGroup, upstoxGroup};
    fyersGroup->hide();
    for (QGroupBox* box : boxes)
        box->hide();
    if (unsigned(index) <= 5u)
        boxes[index]->show();
    // A provider without a broker login (the "Custom API") gets no empty login area.
    brokersGroup->setVisible(unsigned(index) <= 5u);
}

void SettingsDialog::showFirstTab()
{
    tabWidget->setCurrentIndex(0);
}

void SettingsDialog::setCustomUrlEnabled(bool enabled)
{
    customUrlEdit->setEnabled(enabled);
}

void SettingsDialog::loadSettings()
{
    SettingsManager* s = settingsManager;
    // A stored provider without an entry here (Fyers) leaves the combo without a current item;
    // saving then keeps the stored value.
    providerCombo->setCurrentIndex(s->provider() < providerCombo->count() ? s->provider() : -1);
    apiKeyEdit->setText(s->apiKey());
    customUrlEdit->setText(s->customUrl());
    autoConnectCheck->setChecked(s->connectOnStartup());
    updateIntervalSpin->setValue(s->updateInterval());
    requestTimeoutSpin->setValue(s->requestTimeout());
    maxHistoricalDaysSpin->setValue(s->maxHistoricalDays());
    autoDownloadCheck->setChecked(s->autoDownloadHistorical());
    pluginEnabledCheck->setChecked(s->pluginEnabled());
    amiBrokerPathEdit->setText(s->amiBrokerPath());

    const auto setOrEmpty = [](const QString& v) { return v.isEmpty() ? "Empty" : "Set"; };
    qDebug() << "Loading settings dialog - Zerodha API Key:" << s->zerodhaApiKey();
    qDebug() << "Loading settings dialog - Zerodha API Secret:" << setOrEmpty(s->zerodhaApiSecret());
    qDebug() << "Loading settings dialog - Zerodha Access Token:" << setOrEmpty(s->zerodhaAccessToken());

    fyersClientIdEdit->setText(s->fyersClientId());
    fyersAppIdEdit->setText(s->fyersAppId());
    fyersSecretKeyEdit->setText(s->fyersSecretKey());
    fyersAccessTokenEdit->setText(s->fyersAccessToken());
    zerodhaApiKeyEdit->setText(s->zerodhaApiKey());
    zerodhaApiSecretEdit->setText(s->zerodhaApiSecret());
    zerodhaAccessTokenEdit->setText(s->zerodhaAccessToken());
    flatTradeApiKeyEdit->setText(s->flatTradeApiKey());
    flatTradeApiSecretEdit->setText(s->flatTradeApiSecret());
    flatTradeClientIdEdit->setText(s->flatTradeClientId());
    flatTradeAccessTokenEdit->setText(s->flatTradeAccessToken());
    tradeJiniApiKeyEdit->setText(s->tradeJiniApiKey());
    tradeJiniPasswordEdit->setText(s->tradeJiniApiSecret());
    tradeJiniAccessTokenEdit->setText(s->tradeJiniAccessToken());
    dhanApiKeyEdit->setText(s->dhanApiKey());
    dhanApiSecretEdit->setText(s->dhanApiSecret());
    dhanClientIdEdit->setText(s->dhanClientId());
    dhanAccessTokenEdit->setText(s->dhanAccessToken());
    angelOneApiKeyEdit->setText(s->angelOneApiKey());
    angelOneClientCodeEdit->setText(s->angelOneClientCode());
    angelOnePasswordEdit->setText(s->angelOnePassword());
    angelOneTotpEdit->setText(s->angelOneTotp());
    angelOneJwtTokenEdit->setText(s->angelOneJwtToken());
    angelOneFeedTokenEdit->setText(s->angelOneFeedToken());
    upstoxApiKeyEdit->setText(s->upstoxApiKey());
    upstoxApiSecretEdit->setText(s->upstoxApiSecret());
    upstoxAccessTokenEdit->setText(s->upstoxAccessToken());

    storedTokens.clear();
    for (const auto& field : tokenFields())
        storedTokens.insert(field.first, field.second());

    updateAuthenticationStatus();
    onProviderChanged(providerCombo->currentIndex());
}

QList<QPair<QLineEdit*, std::function<QString()>>> SettingsDialog::tokenFields() const
{
    SettingsManager* s = settingsManager;
    return {
        {fyersAccessTokenEdit, [s] { return s->fyersAccessToken(); }},
        {zerodhaAccessTokenEdit, [s] { return s->zerodhaAccessToken(); }},
        {flatTradeAccessTokenEdit, [s] { return s->flatTradeAccessToken(); }},
        {flatTradeClientIdEdit, [s] { return s->flatTradeClientId(); }},
        {tradeJiniAccessTokenEdit, [s] { return s->tradeJiniAccessToken(); }},
        {dhanAccessTokenEdit, [s] { return s->dhanAccessToken(); }},
        {dhanClientIdEdit, [s] { return s->dhanClientId(); }},
        {angelOneJwtTokenEdit, [s] { return s->angelOneJwtToken(); }},
        {angelOneFeedTokenEdit, [s] { return s->angelOneFeedToken(); }},
        {upstoxAccessTokenEdit, [s] { return s->upstoxAccessToken(); }},
    };
}

void SettingsDialog::followStoredTokens()
{
    if (savingSettings)
        return;  // the dialog's own save: its fields are the source
    bool changed = false;
    for (const auto& field : tokenFields()) {
        const QString stored = field.second();
        auto it = storedTokens.find(field.first);
        if (it != storedTokens.end() && it.value() == stored)
            continue;
        storedTokens.insert(field.first, stored);
        field.first->setText(stored);
        changed = true;
    }
    if (changed)
        updateAuthenticationStatus();
}

void SettingsDialog::saveSettings()
{
    SettingsManager* s = settingsManager;
    savingSettings = true;
    if (providerCombo->currentIndex() >= 0)
        s->setProvider(providerCombo->currentIndex());
    // Saved as Test API sends them: a pasted blank would fail the feed after a passing test.
    s->setApiKey(apiKeyEdit->text().trimmed());
    s->setCustomUrl(customUrlEdit->text().trimmed());
    s->setConnectOnStartup(autoConnectCheck->isChecked());
    s->setUpdateInterval(updateIntervalSpin->value());
    s->setRequestTimeout(requestTimeoutSpin->value());
    s->setMaxHistoricalDays(maxHistoricalDaysSpin->value());
    s->setAutoDownloadHistorical(autoDownloadCheck->isChecked());
    s->setPluginEnabled(pluginEnabledCheck->isChecked());
    s->setAmiBrokerPath(amiBrokerPathEdit->text());

    s->setFyersClientId(fyersClientIdEdit->text());
    s->setFyersAppId(fyersAppIdEdit->text());
    s->setFyersSecretKey(fyersSecretKeyEdit->text());
    s->setFyersAccessToken(fyersAccessTokenEdit->text());
    s->setZerodhaApiKey(zerodhaApiKeyEdit->text());
    s->setZerodhaApiSecret(zerodhaApiSecretEdit->text());
    s->setZerodhaAccessToken(zerodhaAccessTokenEdit->text());
    s->setFlatTradeApiKey(flatTradeApiKeyEdit->text());
    s->setFlatTradeApiSecret(flatTradeApiSecretEdit->text());
    s->setFlatTradeClientId(flatTradeClientIdEdit->text());
    s->setFlatTradeAccessToken(flatTradeAccessTokenEdit->text());
    s->setTradeJiniApiKey(tradeJiniApiKeyEdit->text());
    s->setTradeJiniApiSecret(tradeJiniPasswordEdit->text());
    s->setTradeJiniAccessToken(tradeJiniAccessTokenEdit->text());
    s->setDhanApiKey(dhanApiKeyEdit->text());
    s->setDhanApiSecret(dhanApiSecretEdit->text());
    s->setDhanClientId(dhanClientIdEdit->text());
    s->setDhanAccessToken(dhanAccessTokenEdit->text());
    s->setAngelOneApiKey(angelOneApiKeyEdit->text());
    s->setAngelOneClientCode(angelOneClientCodeEdit->text());
    s->setAngelOnePassword(angelOnePasswordEdit->text());
    s->setAngelOneTotp(angelOneTotpEdit->text());
    s->setAngelOneJwtToken(angelOneJwtTokenEdit->text());
    s->setAngelOneFeedToken(angelOneFeedTokenEdit->text());
    s->setUpstoxApiKey(upstoxApiKeyEdit->text());
    s->setUpstoxApiSecret(upstoxApiSecretEdit->text());
    s->setUpstoxAccessToken(upstoxAccessTokenEdit->text());

    for (auto it = marketStartEdits.constBegin(); it != marketStartEdits.constEnd(); ++it) {
        s->setMarketStartTime(it.key(), it.value()->time());
        if (QTimeEdit* end = marketEndEdits.value(it.key()))
            s->setMarketEndTime(it.key(), end->time());
    }
    savingSettings = false;
    for (const auto& field : tokenFields())
        storedTokens.insert(field.first, field.second());
    s->saveSettings();
}

bool SettingsDialog::validateSettings()
{
    const auto fail = [this](const char* text) {
        warn(QStringLiteral("Validation Error"), QString::fromUtf8(text));
        return false;
    };
    const auto present = [](const QLineEdit* e) { return !e->text().isEmpty(); };
    switch (providerCombo->currentIndex()) {
    case SettingsManager::Zerodha:
        if (!present(zerodhaApiKeyEdit) || !present(zerodhaApiSecretEdit))
            return fail("Zerodha API Key and API Secret are required for Zerodha authentication.");
        if (!present(zerodhaAccessTokenEdit))
            return fail("Please authenticate with Zerodha to get an access token.");
        break;
    case SettingsManager::FlatTrade:
        if (!present(flatTradeApiKeyEdit) || !present(flatTradeApiSecretEdit))
            return fail("FlatTrade API Key and API Secret are required for FlatTrade authentication.");
        if (!present(flatTradeAccessTokenEdit))
            return fail("Please authenticate with FlatTrade to get an access token.");
        break;
    case SettingsManager::TradeJini:
        if (!present(tradeJiniApiKeyEdit) || !present(tradeJiniPasswordEdit))
            return fail("TradeJini API Key and Password are required for TradeJini authentication.");
        if (!present(tradeJiniAccessTokenEdit))
            return fail("Please authenticate with TradeJini to get an access token.");
        break;
    case SettingsManager::Dhan:
        if (!present(dhanAccessTokenEdit))
            return fail("Please authenticate with Dhan to get an access token or enter your token from Dhan Web.");
        if (!present(dhanClientIdEdit))
            return fail("Dhan Client ID is required.");
        break;
    case SettingsManager::AngelOne:
        if (!present(angelOneJwtTokenEdit))
            return fail("Please authenticate with AngelOne to get a JWT token.");
        break;
    case SettingsManager::Upstox:
        if (!present(upstoxAccessTokenEdit))
            return fail("Please authenticate with Upstox to get an access token.");
        break;
    case SettingsManager::CustomAPI:
        if (!present(customUrlEdit))
            return fail("Custom URL is required for custom API provider.");
        if (!QuoteOutcome::hasWebScheme(customUrlEdit->text()))
            return fail("The Custom URL needs http:// or https:// at its start, for example http://localhost:8080/quote.");
        break;
    default:
        break;
    }
    return true;
}

void SettingsDialog::onAccepted()
{
    if (!validateSettings())
        return;
    saveSettings();
    accept();
}

void SettingsDialog::onRejected()
{
    reject();
}

void SettingsDialog::onResetToDefaultsClicked()
{
    if (!prompts->question(this, QStringLiteral("Reset Settings"),
                           QStringLiteral("Are you sure you want to reset all settings to defaults?"), false))
        return;
    providerCombo->setCurrentIndex(0);
    apiKeyEdit->clear();
    customUrlEdit->clear();
    autoConnectCheck->setChecked(false);
    autoStartFeedCheck->setChecked(false);
    updateIntervalSpin->setValue(5);
    requestTimeoutSpin->setValue(15);
    retryAttemptsSpin->setValue(3);
    autoDownloadCheck->setChecked(true);
    autoDownloadDaysSpin->setValue(30);
    maxHistoricalDaysSpin->setValue(365);
    maxTicksSpin->setValue(10000);
    compressDataCheck->setChecked(true);
    pluginEnabledCheck->setChecked(true);
    amiBrokerPathEdit->clear();
    loggingEnabledCheck->setChecked(false);
    logLevelCombo->setCurrentText(QStringLiteral("Info"));
    maxLogSizeSpin->setValue(10);
    maxLogFilesSpin->setValue(5);
}

void SettingsDialog::showEvent(QShowEvent* event)
{
    // Restored after being minimised (the window system's own show), it is the same sitting: a
    // running test and its result stay.
    if (event->spontaneous())
        return QDialog::showEvent(event);
    // Reopened later, the dialog shows no result of a test made with what may have changed since.
    if (testReply) {
        QNetworkReply* stale = testReply;
        testReply = nullptr;
        stale->abort();
    }
    apiStatusLabel->setText(QStringLiteral("Status: Not tested"));
    apiStatusLabel->setStyleSheet(QStringLiteral("color: gray;"));
    QDialog::showEvent(event);
}

void SettingsDialog::onTestApiClicked()
{
    const auto show = [this](const QString& text, const char* colour) {
        apiStatusLabel->setText(QStringLiteral("Status: ") + text);
        apiStatusLabel->setStyleSheet(QStringLiteral("color: %1;").arg(QLatin1String(colour)));
    };
    if (testReply)
        testReply->abort();  // its result would only overwrite this one's
    const QString base = customUrlEdit->text().trimmed();
    const QString key = apiKeyEdit->text().trimmed();
    if (providerCombo->currentIndex() != SettingsManager::CustomAPI)
        return show(QStringLiteral("Test API checks the Custom API Endpoint"), "gray");
    if (base.isEmpty())
        return show(QStringLiteral("No Custom URL entered"), "red");
    if (key.isEmpty())
        return show(QStringLiteral("No API key entered"), "red");
    if (!QuoteOutcome::hasWebScheme(base))
        return show(QStringLiteral("The Custom URL needs http:// or https:// at its start"), "red");

    // One quote request as the feed sends it, for the first symbol of the watchlist.
    QString symbol = settingsManager->watchlistForBroker(SettingsManager::providerName(SettingsManager::CustomAPI)).value(0);
    const bool ownProbe = symbol.isEmpty();
    if (ownProbe)
        symbol = QStringLiteral("NIFTY");
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("symbol"), symbol);
    const QString address = base + (base.contains(QLatin1Char('?')) ? QLatin1Char('&') : QLatin1Char('?'))
        + query.toString(QUrl::FullyEncoded);
    QNetworkRequest request{QUrl(address, QUrl::TolerantMode)};
    request.setHeader(QNetworkRequest::UserAgentHeader, QByteArray("Tickvane/1.0"));
    request.setRawHeader("X-API-Key", key.toUtf8());
    if (!testNetwork)
        testNetwork = new QNetworkAccessManager(this);
    QNetworkReply* reply = testNetwork->get(request);
    testReply = reply;
    show(QStringLiteral("Testing..."), "orange");

    const int timeoutMs = delays.testApiTimeoutMs > 0 ? delays.testApiTimeoutMs : requestTimeoutSpin->value() * 1000;
    auto* deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, reply, [reply] {
        reply->setProperty("timedOut", true);
        reply->abort();
    });
    deadline->start(timeoutMs);
    connect(reply, &QNetworkReply::finished, this, [this, reply, symbol, ownProbe, show, timeoutMs, base] {
        reply->deleteLater();
        if (reply != testReply)
            return;  // replaced by a newer test
        QuoteOutcome outcome = QuoteOutcome::fromReply(reply, reply->property("timedOut").toBool(), symbol);
        CustomApiParser::QuoteResult quote;
        if (outcome.ok()) {
            quote = CustomApiParser::parseQuote(reply->readAll(), false);
            if (!quote.parsed)
                outcome = QuoteOutcome::notJson(quote.error);
            else if (!quote.symbol.isEmpty() && !SymbolKey::answers(quote.symbol, symbol))
                outcome = QuoteOutcome::otherSymbol(symbol, quote.symbol);  // the feed drops it too
        }
        // The result names the symbol probed: without a watchlist it is one the user never typed.
        switch (outcome.kind) {
        case QuoteOutcome::Ok:
            if (quote.tick.ltp > 0)
                return show(QStringLiteral("Works - %1 at %2").arg(symbol, QString::number(quote.tick.ltp, 'f', 2)), "green");
            return show(QStringLiteral("Reached, but the reply has no price for %1").arg(symbol), "orange");
        case QuoteOutcome::KeyRefused:
            return show(QStringLiteral("API key refused (HTTP %1)").arg(outcome.httpStatus), "red");
        case QuoteOutcome::NotReachable:
            return show(QStringLiteral("Not reachable - %1").arg(outcome.detail), "red");
        case QuoteOutcome::HttpError:
            return show(QStringLiteral("Service answered HTTP %1 for %2").arg(outcome.httpStatus).arg(symbol), "red");
        case QuoteOutcome::NotJson:
            return show(QStringLiteral("Reply for %1 is not JSON").arg(symbol), "red");
        case QuoteOutcome::TimedOut:
            return show(QStringLiteral("Timed out - no reply for %1 within %2 s").arg(symbol).arg(qMax(1, timeoutMs / 1000)), "red");
        case QuoteOutcome::UnknownSymbol:
            // A symbol the user never typed may be unknown to a service that works: it answered
            // and took the key, which is what the test is for.
            if (ownProbe)
                return show(QStringLiteral("Works - key accepted; the service does not know %1 (HTTP %2)")
                                .arg(symbol)
                                .arg(outcome.httpStatus),
                            "green");
            Q_FALLTHROUGH();
        case QuoteOutcome::OtherSymbol:
            return show(outcome.explanation(QString(), base, 0).section(QLatin1Char('\n'), 0, 0), "red");
        case QuoteOutcome::NoBars:
            break;
        }
    });
}

void SettingsDialog::onBrowseAmiBrokerClicked()
{
    const QString dir = prompts->getExistingDirectory(this, QStringLiteral("Select AmiBroker Installation Directory"),
                                                      QStringLiteral("C:\\Program Files\\AmiBroker"));
    if (!dir.isEmpty())
        amiBrokerPathEdit->setText(dir);
}
