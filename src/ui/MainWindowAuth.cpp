// The main window's quick login: runs the current broker's login flow, stores the tokens it
// returns and connects; or offers the settings when the broker's credentials are missing.
#include "ui/MainWindow.h"

#include "brokers/BrokerAPI.h"
#include "brokers/IBroker.h"
#include "brokers/LiveFeeder.h"
#include "brokers/angelone/AngelOneAuth.h"
#include "brokers/tradejini/TradeJiniAuth.h"
#include "core/SettingsManager.h"
#include "ui/UserPrompts.h"

#include <QDebug>
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
        // The "Custom API" has no login; the other brokers log in through the settings dialog.
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
        if (seams.settingsDialog)
            settingsDialog = seams.settingsDialog(settings, this);
        if (!settingsDialog) {
            qWarning() << "[MainWindow] Settings dialog not available";
            return;
        }
    }
    if (prompts->execDialog(settingsDialog) != QDialog::Accepted)
        return;
    statusMessageLabel->setText(QStringLiteral("Settings updated successfully"));

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
