// The main window's quick login: runs the current broker's login flow, stores the tokens it
// returns and connects; or offers the settings when the broker's credentials are missing.
#include "ui/MainWindow.h"

#include "brokers/BrokerAPI.h"
#include "brokers/IBroker.h"
#include "brokers/LiveFeeder.h"
#include "brokers/angelone/AngelOneAuth.h"
#include "brokers/dhan/DhanAuth.h"
#include "brokers/flattrade/FlatTradeAuth.h"
#include "brokers/fyers/FyersAuth.h"
#include "brokers/tradejini/TradeJiniAuth.h"
#include "brokers/upstox/UpstoxAuth.h"
#include "brokers/zerodha/ZerodhaAuth.h"
#include "core/SettingsManager.h"
#include "ui/dialogs/SettingsDialog.h"
#include "ui/UserPrompts.h"

#include <QDateTime>
#include <QDebug>
#include <QPointer>
#include <QDialog>
#include <QLabel>
#include <QTimer>

void MainWindow::onQuickAuthAction()
{
    const int provider = settings->provider();
    const QString name = SettingsManager::providerName(provider);
    // Each login object lives until its success or failure handler releases it.
    auto prepared = [this](QObject* login) {
        if (seams.prepareLogin)
            seams.prepareLogin(login);
    };

    switch (provider) {
    case SettingsManager::Zerodha: {
        const QString apiKey = settings->zerodhaApiKey();
        const QString apiSecret = settings->zerodhaApiSecret();
        if (apiKey.isEmpty() || apiSecret.isEmpty()) {
            showCredentialsNotConfigured(name);
            return;
        }
        auto* login = new ZerodhaAuth(this);
        prepared(login);
        // One login reports success twice: first the request token from the browser redirect,
        // then the access token it was exchanged for.
        auto exchanged = std::make_shared<bool>(false);
        connect(login, &ZerodhaAuth::authenticationSuccessful, this,
                [this, login, apiKey, apiSecret, exchanged](const QString& token) {
                    if (!*exchanged) {
                        *exchanged = true;
                        login->exchangeRequestToken(token, apiKey, apiSecret);
                        return;
                    }
                    settings->setZerodhaAccessToken(token);
                    // Tokens expire early in the morning.
                    QDateTime expiry = QDateTime::currentDateTime().addDays(1);
                    expiry.setTime(QTime(3, 30));
                    settings->setZerodhaTokenExpiry(expiry);
                    finishLogin(login, QStringLiteral("Zerodha"));
                });
        connect(login, &ZerodhaAuth::authenticationFailed, this, [this, login](const QString& e) {
            failLogin(login, QStringLiteral("Zerodha"), e);
        });
        login->startAuthentication(apiKey, QString());
        return;
    }
    case SettingsManager::FlatTrade: {
        const QString apiKey = settings->flatTradeApiKey();
        const QString apiSecret = settings->flatTradeApiSecret();
        if (apiKey.isEmpty() || apiSecret.isEmpty()) {
            showCredentialsNotConfigured(name);
            return;
        }
        auto* login = new FlatTradeAuth(this);
        prepared(login);
        connect(login, &FlatTradeAuth::authenticationSuccessful, this,
                [this, login](const QString& token, const QString& clientId) {
                    settings->setFlatTradeAccessToken(token);
                    settings->setFlatTradeClientId(clientId);
                    finishLogin(login, QStringLiteral("FlatTrade"));
                });
        connect(login, &FlatTradeAuth::authenticationFailed, this, [this, login](const QString& e) {
            failLogin(login, QStringLiteral("FlatTrade"), e);
        });
        login->setApiKey(apiKey);
        login->setApiSecret(apiSecret);
        login->startAuthentication();
        return;
    }
    case SettingsManager::Dhan: {
        const QString apiKey = settings->dhanApiKey();
        const QString apiSecret = settings->dhanApiSecret();
        const QString clientId = settings->dhanClientId();
        if (apiKey.isEmpty() || apiSecret.isEmpty()) {
            showCredentialsNotConfigured(name);
            return;
        }
        auto* login = new DhanAuth(this);
        prepared(login);
        connect(login, &DhanAuth::authenticationSuccessful, this,
                [this, login](const QString& token, const QString& id) {
                    settings->setDhanAccessToken(token);
                    if (!id.isEmpty())
                        settings->setDhanClientId(id);
                    finishLogin(login, QStringLiteral("Dhan"));
                });
        connect(login, &DhanAuth::authenticationFailed, this, [this, login](const QString& e) {
            failLogin(login, QStringLiteral("Dhan"), e);
        });
        login->setApiKey(apiKey);
        login->setApiSecret(apiSecret);
        login->setClientId(clientId);
        login->startAuthentication(apiKey, apiSecret, clientId, QStringLiteral("http://127.0.0.1:8767"));
        return;
    }
    case SettingsManager::Upstox: {
        const QString apiKey = settings->upstoxApiKey();
        const QString apiSecret = settings->upstoxApiSecret();
        if (apiKey.isEmpty() || apiSecret.isEmpty()) {
            showCredentialsNotConfigured(name);
            return;
        }
        auto* login = new UpstoxAuth(this);
        prepared(login);
        connect(login, &UpstoxAuth::authenticationSuccessful, this, [this, login](const QString& token) {
            settings->setUpstoxAccessToken(token);
            finishLogin(login, QStringLiteral("Upstox"));
        });
        connect(login, &UpstoxAuth::authenticationFailed, this, [this, login](const QString& e) {
            failLogin(login, QStringLiteral("Upstox"), e);
        });
        login->setApiKey(apiKey);
        login->setApiSecret(apiSecret);
        login->startAuthentication(apiKey, apiSecret, QStringLiteral("http://127.0.0.1:8765"));
        return;
    }
    case SettingsManager::Fyers: {
        const QString clientId = settings->fyersClientId();
        const QString appId = settings->fyersAppId();
        if (clientId.isEmpty() || appId.isEmpty()) {
            showCredentialsNotConfigured(name);
            return;
        }
        auto* login = new FyersAuth(this);
        prepared(login);
        connect(login, &FyersAuth::authenticationSuccessful, this, [this, login](const QString& token) {
            settings->setFyersAccessToken(token);
            finishLogin(login, QStringLiteral("Fyers"));
        });
        connect(login, &FyersAuth::authenticationFailed, this, [this, login](const QString& e) {
            failLogin(login, QStringLiteral("Fyers"), e);
        });
        // A login that fails at once (no browser: its box has named the address) has nothing to
        // ask for.
        bool failedAtOnce = false;
        const QMetaObject::Connection failure =
            connect(login, &FyersAuth::authenticationFailed, this, [&failedAtOnce] { failedAtOnce = true; });
        login->startAuthentication(clientId, QStringLiteral("https://127.0.0.1"));
        disconnect(failure);
        if (failedAtOnce)
            return;
        // The user pastes the code from the redirect. A login that failed meanwhile (its box has
        // told the user) has released its object: then there is nothing to ask for either.
        QPointer<FyersAuth> pending(login);
        // The login hashes the app's secret; without one it falls back to the app id.
        const QString secret = settings->fyersSecretKey().isEmpty() ? appId : settings->fyersSecretKey();
        QTimer::singleShot(seams.fyersCodePromptMs, this, [this, pending, clientId, secret] {
            if (!pending)
                return;
            QString code;
            if (!prompts->getText(this, QStringLiteral("Fyers Auth Code"),
                                  QStringLiteral("Enter the auth_code from the redirect URL:"), &code)
                || code.isEmpty()) {
                pending->deleteLater();
                return;
            }
            pending->exchangeAuthCode(code, clientId, secret);
        });
        return;
    }
    case SettingsManager::TradeJini: {
        const QString apiKey = settings->tradeJiniApiKey();
        if (apiKey.isEmpty()) {
            showCredentialsNotConfigured(name);
            return;
        }
        QString password, code;
        if (!prompts->askPasswordAndCode(this, QStringLiteral("TradeJini Authentication"),
                                         QStringLiteral("2FA / TOTP:"), &password, &code)
            || password.isEmpty() || code.isEmpty())
            return;
        auto* login = new TradeJiniAuth(this);
        prepared(login);
        connect(login, &TradeJiniAuth::authenticationSucceeded, this,
                [this, login](const QString& token, const QString&) {
                    settings->setTradeJiniAccessToken(token);
                    finishLogin(login, QStringLiteral("TradeJini"));
                });
        connect(login, &TradeJiniAuth::authenticationFailed, this, [this, login](const QString& e) {
            failLogin(login, QStringLiteral("TradeJini"), e);
        });
        login->authenticateWithPassword(apiKey, password, code, QStringLiteral("TOTP"));
        return;
    }
    case SettingsManager::AngelOne: {
        const QString apiKey = settings->angelOneApiKey();
        const QString clientCode = settings->angelOneClientCode();
        if (apiKey.isEmpty() || clientCode.isEmpty()) {
            showCredentialsNotConfigured(name);
            return;
        }
        QString password, code;
        if (!prompts->askPasswordAndCode(this, QStringLiteral("AngelOne Login"),
                                         QStringLiteral("TOTP (6 digits):"), &password, &code)
            || password.isEmpty() || code.isEmpty())
            return;
        auto* login = new AngelOneAuth(this);
        prepared(login);
        connect(login, &AngelOneAuth::authenticationSuccessful, this,
                [this, login](const QString& jwt, const QString& refresh, const QString& feed) {
                    settings->setAngelOneJwtToken(jwt);
                    settings->setAngelOneRefreshToken(refresh);
                    settings->setAngelOneFeedToken(feed);
                    finishLogin(login, QStringLiteral("AngelOne"));
                });
        connect(login, &AngelOneAuth::authenticationFailed, this, [this, login](const QString& e) {
            failLogin(login, QStringLiteral("AngelOne"), e);
        });
        login->login(apiKey, clientCode, password, code, QStringLiteral("live"));
        return;
    }
    default:
        // The "Custom API" has no login to run: its key goes with every request.
        if (provider == SettingsManager::CustomAPI) {
            if (!settings->customUrl().trimmed().isEmpty() && !settings->apiKey().trimmed().isEmpty()) {
                prompts->information(this, name,
                                     QStringLiteral("Custom API needs no login: every request carries "
                                                    "the API key from Settings.\nUse Test API in "
                                                    "Settings to check the URL and key."));
            } else if (prompts->offerSettings(this, QStringLiteral("Credentials Not Configured"),
                                              QStringLiteral("Custom API needs its Custom URL and API "
                                                             "key.\nPlease set them in Settings first."))) {
                onSettingsAction();
            }
            return;
        }
        showCredentialsNotConfigured(name);
        return;
    }
}

void MainWindow::showCredentialsNotConfigured(const QString& brokerName)
{
    const bool open = prompts->offerSettings(
        this, QStringLiteral("Credentials Not Configured"),
        QStringLiteral("%1 API credentials are not configured.\nPlease set them in Settings first.")
            .arg(brokerName));
    if (open)
        onSettingsAction();
}

void MainWindow::finishLogin(QObject* login, const QString& brokerName)
{
    settings->saveSettings();
    prompts->information(this, brokerName, QStringLiteral("Authentication successful!"));
    // Connects only once the user has closed the box.
    QTimer::singleShot(300, this, [this] { onConnectAction(); });
    login->deleteLater();
}

void MainWindow::failLogin(QObject* login, const QString& brokerName, const QString& error)
{
    prompts->critical(this, QStringLiteral("%1 Auth Failed").arg(brokerName), error);
    login->deleteLater();
}

void MainWindow::onSettingsAction()
{
    if (!settingsDialog) {
        settingsDialog = seams.settingsDialog ? seams.settingsDialog(settings, this)
                                              : new SettingsDialog(settings, this);
        if (auto* dialog = qobject_cast<SettingsDialog*>(settingsDialog))
            dialog->setCurrentLogFile(seams.logFilePath);
    }
    if (prompts->execDialog(settingsDialog) != QDialog::Accepted)
        return;
    statusMessageLabel->setText(QStringLiteral("Settings updated successfully"));
    boxedQuoteFailures.clear();
    boxedHistoryFailures.clear();

    bool usable = false;
    switch (settings->provider()) {
    case SettingsManager::Zerodha:
        usable = !settings->zerodhaApiKey().isEmpty() && !settings->zerodhaAccessToken().isEmpty();
        break;
    case SettingsManager::FlatTrade:
        usable = !settings->flatTradeApiKey().isEmpty() && !settings->flatTradeAccessToken().isEmpty();
        break;
    case SettingsManager::TradeJini:
        usable = !settings->tradeJiniAccessToken().isEmpty();
        break;
    case SettingsManager::Dhan:
        usable = !settings->dhanAccessToken().isEmpty();
        break;
    case SettingsManager::AngelOne:
        usable = !settings->angelOneApiKey().isEmpty() && !settings->angelOneJwtToken().isEmpty();
        break;
    case SettingsManager::Upstox:
        usable = !settings->upstoxApiKey().isEmpty() && !settings->upstoxAccessToken().isEmpty();
        break;
    case SettingsManager::Fyers:
        usable = !settings->fyersClientId().isEmpty() && !settings->fyersAccessToken().isEmpty();
        break;
    default:
        break;
    }
    IBroker* broker = brokerAPI ? brokerAPI->implementation() : nullptr;
    if (usable && broker && !broker->isConnected()) {
        qInfo() << "[MainWindow] Auto-connecting after authentication...";
        QTimer::singleShot(500, this, [this] { onConnectAction(); });
    }
    // The feeder reads its settings when it starts.
    if (liveFeeder && liveFeeder->isRunning()) {
        liveFeeder->stop();
        liveFeeder->start();
    }
}
