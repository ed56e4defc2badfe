// The settings dialog: data provider, broker credentials and logins, logging and market hours.
#pragma once

#include <QDialog>
#include <QHash>
#include <QList>
#include <QMap>
#include <QPair>
#include <QPointer>
#include <QString>

#include <functional>

class AngelOneAuth;
class DhanAuth;
class FlatTradeAuth;
class FyersAuth;
class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QNetworkAccessManager;
class QNetworkReply;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QTimeEdit;
class SettingsManager;
class TradeJiniAuth;
class UpstoxAuth;
class DialogPrompts;
class ZerodhaAuth;

class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    // prompts answers the dialog's message and input boxes; null means real modal boxes. It is a
    // constructor argument because the token check may show a box while the dialog is built.
    explicit SettingsDialog(SettingsManager* settingsManager, QWidget* parent = nullptr,
                            DialogPrompts* prompts = nullptr);
    ~SettingsDialog() override;

    void showFirstTab();
    void setCustomUrlEnabled(bool enabled);

    // The running program's own log file: Clear Logs never deletes it (on this platform deleting
    // an open file succeeds and every later log line would be lost).
    void setCurrentLogFile(const QString& path) { currentLogFile = path; }
    // Delays before the follow-up boxes of a login and the API test (tests shorten them).
    struct Delays {
        int testApiTimeoutMs = 0;  // above 0: the API test's wait instead of the Request timeout
        int zerodhaFallbackMs = 5000;
        int fyersCodeMs = 2000;
    };
    void setDelays(const Delays& d) { delays = d; }
    // Runs on every login object right after the dialog creates it (tests point its hosts and
    // redirect ports at 127.0.0.1).
    void setLoginObjectHook(std::function<void(QObject*)> hook) { loginHook = std::move(hook); }

    // Test access to the login objects; the Dhan, AngelOne and Upstox ones are null until their
    // button is first pressed.
    ZerodhaAuth* zerodhaLogin() const { return zerodhaAuth; }
    FyersAuth* fyersLogin() const { return fyersAuth; }
    FlatTradeAuth* flatTradeLogin() const { return flatTradeAuth; }
    TradeJiniAuth* tradeJiniLogin() const { return tradeJiniAuth; }
    DhanAuth* dhanLogin() const { return dhanAuth; }
    AngelOneAuth* angelOneLogin() const { return angelOneAuth; }
    UpstoxAuth* upstoxLogin() const { return upstoxAuth; }

protected:
    void showEvent(QShowEvent* event) override;

private slots:
    void onProviderChanged(int index);
    void onTestApiClicked();
    void onBrowseAmiBrokerClicked();
    void onResetToDefaultsClicked();
    void onAccepted();
    void onRejected();
    void onFyersAuthClicked();
    void onFyersAuthSuccess(const QString& accessToken);
    void onFyersAuthFailed(const QString& error);
    void showFyersAuthHelp();
    void onZerodhaAuthClicked();
    void onZerodhaAuthSuccess(const QString& accessToken);
    void onZerodhaAuthFailed(const QString& error);
    void showZerodhaAuthHelp();
    void onFlatTradeAuthClicked();
    void onFlatTradeAuthSuccess(const QString& accessToken, const QString& clientId);
    void onFlatTradeAuthFailed(const QString& error);
    void showFlatTradeAuthHelp();
    void onTradeJiniAuthClicked();
    void onTradeJiniAuthSuccess(const QString& accessToken);
    void onTradeJiniAuthFailed(const QString& error);
    void showTradeJiniAuthHelp();
    void onDhanAuthClicked();
    void onDhanAuthSuccess(const QString& accessToken);
    void onDhanAuthFailed(const QString& error);
    void showDhanAuthHelp();
    void onAngelOneDirectLoginClicked();
    void onAngelOneAuthSuccess();
    void onAngelOneAuthFailed(const QString& error);
    void showAngelOneAuthHelp();
    void onUpstoxAuthClicked();
    void onUpstoxAuthSuccess(const QString& accessToken);
    void onUpstoxAuthFailed(const QString& error);
    void checkTokenValidity();
    void updateAuthenticationStatus();
    void onViewLogClicked();
    void onOpenLogFolderClicked();
    void onClearLogsClicked();

private:
    void setupUi();
    void nameControls();
    void createProviderTab();
    void createConnectionTab();
    void createDataTab();
    void createPluginTab();
    void createLoggingTab();
    void createMarketHoursTab();
    void loadSettings();
    void saveSettings();
    // Copies a token that a login stored meanwhile into its field; fields whose stored value did
    // not change keep what the user typed.
    void followStoredTokens();
    QList<QPair<QLineEdit*, std::function<QString()>>> tokenFields() const;
    bool validateSettings();
    QString logFolder() const;
    void onZerodhaCapture(const QString& value);
    void startZerodhaExchange(const QString& requestToken);
    void info(const QString& title, const QString& text);
    void warn(const QString& title, const QString& text);
    void critical(const QString& title, const QString& text);
    void help(const QString& title, const QString& html);

    SettingsManager* settingsManager;
    QTabWidget* tabWidget = nullptr;
    QDialogButtonBox* buttonBox = nullptr;
    QComboBox* providerCombo = nullptr;
    QLineEdit* apiKeyEdit = nullptr;
    QLineEdit* customUrlEdit = nullptr;
    QPushButton* testApiButton = nullptr;
    QLabel* apiStatusLabel = nullptr;
    QLabel* apiKeyLabel = nullptr;
    QLabel* customUrlLabel = nullptr;
    QGroupBox* brokersGroup = nullptr;  // the broker login boxes around the visible one
    QLineEdit* fyersClientIdEdit = nullptr;
    QLineEdit* fyersAppIdEdit = nullptr;
    QLineEdit* fyersSecretKeyEdit = nullptr;
    QLineEdit* fyersAccessTokenEdit = nullptr;
    QPushButton* fyersAuthButton = nullptr;
    QLineEdit* zerodhaApiKeyEdit = nullptr;
    QLineEdit* zerodhaApiSecretEdit = nullptr;
    QLineEdit* zerodhaAccessTokenEdit = nullptr;
    QPushButton* zerodhaAuthButton = nullptr;
    QLabel* zerodhaStatusLabel = nullptr;
    QLineEdit* flatTradeClientIdEdit = nullptr;
    QLineEdit* flatTradeAccessTokenEdit = nullptr;
    QLineEdit* flatTradeApiKeyEdit = nullptr;
    QLineEdit* flatTradeApiSecretEdit = nullptr;
    QPushButton* flatTradeAuthButton = nullptr;
    QLabel* flatTradeStatusLabel = nullptr;
    QLineEdit* tradeJiniApiKeyEdit = nullptr;
    QLineEdit* tradeJiniPasswordEdit = nullptr;
    QLineEdit* tradeJiniTwoFactorEdit = nullptr;
    QComboBox* tradeJiniTwoFactorTypeCombo = nullptr;
    QLineEdit* tradeJiniAccessTokenEdit = nullptr;
    QPushButton* tradeJiniAuthButton = nullptr;
    QLabel* tradeJiniStatusLabel = nullptr;
    QLineEdit* dhanApiKeyEdit = nullptr;
    QLineEdit* dhanApiSecretEdit = nullptr;
    QLineEdit* dhanClientIdEdit = nullptr;
    QLineEdit* dhanAccessTokenEdit = nullptr;
    QPushButton* dhanAuthButton = nullptr;
    QLabel* dhanStatusLabel = nullptr;
    QLineEdit* angelOneApiKeyEdit = nullptr;
    QLineEdit* angelOneClientCodeEdit = nullptr;
    QLineEdit* angelOnePasswordEdit = nullptr;
    QLineEdit* angelOneTotpEdit = nullptr;
    QLineEdit* angelOneJwtTokenEdit = nullptr;
    QLineEdit* angelOneFeedTokenEdit = nullptr;
    QPushButton* angelOneLoginButton = nullptr;
    QLabel* angelOneStatusLabel = nullptr;
    QLineEdit* upstoxApiKeyEdit = nullptr;
    QLineEdit* upstoxApiSecretEdit = nullptr;
    QLineEdit* upstoxAccessTokenEdit = nullptr;
    QPushButton* upstoxAuthButton = nullptr;
    QLabel* upstoxStatusLabel = nullptr;
    QGroupBox* fyersGroup = nullptr;
    QGroupBox* zerodhaGroup = nullptr;
    QGroupBox* flatTradeGroup = nullptr;
    QGroupBox* tradeJiniGroup = nullptr;
    QGroupBox* dhanGroup = nullptr;
    QGroupBox* angelOneGroup = nullptr;
    QGroupBox* upstoxGroup = nullptr;
    FyersAuth* fyersAuth = nullptr;
    ZerodhaAuth* zerodhaAuth = nullptr;
    FlatTradeAuth* flatTradeAuth = nullptr;
    TradeJiniAuth* tradeJiniAuth = nullptr;
    DhanAuth* dhanAuth = nullptr;
    AngelOneAuth* angelOneAuth = nullptr;
    UpstoxAuth* upstoxAuth = nullptr;
    QCheckBox* autoConnectCheck = nullptr;
    QCheckBox* autoStartFeedCheck = nullptr;
    QSpinBox* updateIntervalSpin = nullptr;
    QSpinBox* requestTimeoutSpin = nullptr;
    QSpinBox* retryAttemptsSpin = nullptr;
    QCheckBox* autoDownloadCheck = nullptr;
    QSpinBox* autoDownloadDaysSpin = nullptr;
    QSpinBox* maxHistoricalDaysSpin = nullptr;
    QSpinBox* maxTicksSpin = nullptr;
    QCheckBox* compressDataCheck = nullptr;
    QCheckBox* pluginEnabledCheck = nullptr;
    QLineEdit* amiBrokerPathEdit = nullptr;
    QPushButton* browseAmiBrokerButton = nullptr;
    QLabel* pluginStatusLabel = nullptr;
    QCheckBox* loggingEnabledCheck = nullptr;
    QComboBox* logLevelCombo = nullptr;
    QLineEdit* logFilePathEdit = nullptr;
    QSpinBox* maxLogSizeSpin = nullptr;
    QSpinBox* maxLogFilesSpin = nullptr;
    QMap<QString, QTimeEdit*> marketStartEdits;
    QMap<QString, QTimeEdit*> marketEndEdits;

    DialogPrompts* prompts;
    Delays delays;
    QNetworkAccessManager* testNetwork = nullptr;  // made on the first API test
    QPointer<QNetworkReply> testReply;              // the API test on its way
    std::function<void(QObject*)> loginHook;
    QString currentLogFile;
    QHash<QLineEdit*, QString> storedTokens;  // the stored value each token field last showed
    bool savingSettings = false;
    // The pages that carry settings but are never shown.
    QWidget* connectionPage = nullptr;
    QWidget* dataPage = nullptr;
    QWidget* pluginPage = nullptr;
    // Zerodha login in progress: the key and secret read at the press, whether an exchange is
    // under way, a request token the browser delivered meanwhile (exchanged if that one fails),
    // and whether this login already ended (later signals are stale).
    QString zerodhaLoginKey;
    QString zerodhaLoginSecret;
    bool zerodhaExchangePending = false;
    QString zerodhaHeldCapture;
    bool zerodhaLoginDone = false;
};
