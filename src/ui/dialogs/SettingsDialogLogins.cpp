// Broker logins started from the settings dialog, the Zerodha token expiry check and the
// authentication status labels.
#include "ui/dialogs/SettingsDialog.h"

#include "brokers/angelone/AngelOneAuth.h"
#include "brokers/dhan/DhanAuth.h"
#include "brokers/flattrade/FlatTradeAuth.h"
#include "brokers/fyers/FyersAuth.h"
#include "brokers/tradejini/TradeJiniAuth.h"
#include "brokers/upstox/UpstoxAuth.h"
#include "brokers/zerodha/ZerodhaAuth.h"
#include "core/SettingsManager.h"
#include "ui/dialogs/DialogPrompts.h"

#include <QComboBox>
#include <QDateTime>
#include <QDebug>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>

namespace {

void setStatus(QLabel* label, const QString& text, const char* style)
{
    label->setText(text);
    label->setStyleSheet(QString::fromLatin1(style));
}

const char* setOrEmpty(const QString& v)
{
    return v.isEmpty() ? "Empty" : "Set";
}

const char kRed[] = "color: red;";
const char kGreen[] = "color: green;";
const char kOrange[] = "color: orange;";
const char kBlue[] = "color: blue;";

}  // namespace

// ---- Zerodha ----------------------------------------------------------------------------------

void SettingsDialog::onZerodhaAuthClicked()
{
    const QString key = zerodhaApiKeyEdit->text();
    const QString secret = zerodhaApiSecretEdit->text();
    if (key.isEmpty() || secret.isEmpty()) {
        warn(QStringLiteral("Zerodha Authentication"),
             QStringLiteral("Please enter both API Key and API Secret before authenticating."));
        return;
    }
    zerodhaLoginKey = key;
    zerodhaLoginSecret = secret;
    zerodhaExchangePending = false;
    zerodhaHeldCapture.clear();
    zerodhaLoginDone = false;
    if (!zerodhaAuth) {
        zerodhaAuth = new ZerodhaAuth(this);
        if (loginHook)
            loginHook(zerodhaAuth);
        connect(zerodhaAuth, &ZerodhaAuth::authenticationSuccessful, this, &SettingsDialog::onZerodhaCapture);
        connect(zerodhaAuth, &ZerodhaAuth::authenticationFailed, this, &SettingsDialog::onZerodhaAuthFailed);
    }
    if (!prompts->confirm(
            this, QStringLiteral("Zerodha Authentication"),
            QStringLiteral("Zerodha OAuth2 Authentication:\n\nOPTION 1 (Automatic - Recommended):\n• Click OK to open "
                           "Zerodha login in browser\n• Login with your credentials\n• The request token will be "
                           "captured automatically!\n\nOPTION 2 (Manual - Fallback):\n• If automatic capture fails, "
                           "copy the 'request_token' from the redirect URL\n• Enter it in the dialog that "
                           "appears\n\nClick OK to proceed.")))
        return;
    zerodhaAuth->startAuthentication(key, QString());
    QTimer::singleShot(delays.zerodhaFallbackMs, this, [this] {
        if (!zerodhaAccessTokenEdit->text().isEmpty() || zerodhaExchangePending || zerodhaLoginDone)
            return;
        QString token;
        const bool ok = prompts->getText(
            this, QStringLiteral("Manual Token Entry (Fallback)"),
            QStringLiteral("Auto-capture timeout. Please enter the request_token manually from the redirect URL:\n(Or "
                           "click Cancel if already authenticated)"),
            &token);
        token = token.trimmed();
        // The browser capture may have arrived while the box was open; one exchange per login.
        if (!ok || token.isEmpty() || zerodhaExchangePending || zerodhaLoginDone)
            return;
        zerodhaExchangePending = true;
        zerodhaAuth->exchangeRequestToken(token, zerodhaLoginKey, zerodhaLoginSecret);
    });
}

void SettingsDialog::onZerodhaCapture(const QString& value)
{
    if (zerodhaLoginDone)
        return;  // a late answer of a login that already ended
    // The login reports the browser's request token and the exchange's access token through the
    // one signal. Only the exchange's answer is the token the login holds: a request token must
    // never be stored as an access token, whatever order the two arrive in.
    const bool exchangeAnswer = !value.isEmpty() && value == zerodhaAuth->getAccessToken();
    if (exchangeAnswer) {
        zerodhaExchangePending = false;
        zerodhaHeldCapture.clear();
        zerodhaLoginDone = true;
        qInfo() << "[SettingsDialog] Received access_token from exchange";
        onZerodhaAuthSuccess(value);
        return;
    }
    if (zerodhaExchangePending) {
        // The browser delivered while a typed token is being exchanged: kept for that one's failure.
        qInfo() << "[SettingsDialog] Request token captured while an exchange is under way, held";
        zerodhaHeldCapture = value;
        return;
    }
    startZerodhaExchange(value);
}

void SettingsDialog::startZerodhaExchange(const QString& requestToken)
{
    zerodhaExchangePending = true;
    qInfo() << "[SettingsDialog] Auto-captured request_token, exchanging for session";
    zerodhaAuth->exchangeRequestToken(requestToken, zerodhaLoginKey, zerodhaLoginSecret);
}

void SettingsDialog::onZerodhaAuthSuccess(const QString& accessToken)
{
    qInfo() << "Zerodha authentication successful, access token received:" << setOrEmpty(accessToken);
    zerodhaAccessTokenEdit->setText(accessToken);
    const QDateTime expiry(QDate::currentDate().addDays(1), QTime(3, 30));
    qDebug() << "Saving Zerodha credentials - API Key:" << zerodhaApiKeyEdit->text();
    qDebug() << "Saving Zerodha credentials - API Secret:" << setOrEmpty(zerodhaApiSecretEdit->text());
    settingsManager->setZerodhaApiKey(zerodhaApiKeyEdit->text());
    settingsManager->setZerodhaApiSecret(zerodhaApiSecretEdit->text());
    settingsManager->setZerodhaAccessToken(accessToken);
    settingsManager->setZerodhaTokenExpiry(expiry);
    settingsManager->saveSettings();
    updateAuthenticationStatus();
    info(QStringLiteral("Zerodha Authentication"),
         QStringLiteral("Authentication successful! Access token has been saved.\nToken valid until: %1")
             .arg(expiry.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))));
}

void SettingsDialog::onZerodhaAuthFailed(const QString& error)
{
    if (zerodhaLoginDone)
        return;
    // A failed exchange ends that exchange: the browser's capture, held or still to come, is
    // exchanged next instead of being taken for its answer.
    const QString text = QStringLiteral("Authentication failed: ") + error;
    if (zerodhaHeldCapture.isEmpty()) {
        zerodhaExchangePending = false;
        critical(QStringLiteral("Zerodha Authentication Failed"), text);
        return;
    }
    // The held capture is exchanged only once this box is closed, so its outcome is the last word
    // the user sees. Until then the exchange counts as under way: a capture arriving meanwhile is
    // held in its place rather than exchanged beside it.
    critical(QStringLiteral("Zerodha Authentication Failed"),
             text + QStringLiteral("\n\nThe request token captured from your browser is tried next."));
    if (zerodhaLoginDone)
        return;
    const QString held = zerodhaHeldCapture;
    zerodhaHeldCapture.clear();
    if (!held.isEmpty())
        startZerodhaExchange(held);
    else
        zerodhaExchangePending = false;
}

// ---- Fyers ------------------------------------------------------------------------------------

void SettingsDialog::onFyersAuthClicked()
{
    const QString clientId = fyersClientIdEdit->text();
    const QString appId = fyersAppIdEdit->text();
    const QString title = QStringLiteral("Fyers Authentication");
    if (clientId.isEmpty() || appId.isEmpty()) {
        warn(title, QStringLiteral("Please enter both Client ID and App ID before authenticating."));
        return;
    }
    if (clientId.size() < 6 || clientId.size() > 16) {
        warn(title, QStringLiteral("Fyers Client ID should be between 6-16 characters long.\nPlease check your "
                                   "Client ID from the Fyers API app dashboard."));
        return;
    }
    static const QRegularExpression noSpaces(QStringLiteral("^[\\S]+$"));
    if (!noSpaces.match(clientId).hasMatch()) {
        warn(title, QStringLiteral("Fyers Client ID should not contain spaces or special whitespace characters.\n"
                                   "Please check your Client ID from the Fyers API app dashboard."));
        return;
    }
    if (!fyersAuth) {
        fyersAuth = new FyersAuth(this);
        if (loginHook)
            loginHook(fyersAuth);
        connect(fyersAuth, &FyersAuth::authenticationSuccessful, this, &SettingsDialog::onFyersAuthSuccess);
        connect(fyersAuth, &FyersAuth::authenticationFailed, this, &SettingsDialog::onFyersAuthFailed);
    }
    if (providerCombo->currentIndex() >= 0)
        settingsManager->setProvider(providerCombo->currentIndex());
    if (!prompts->confirm(
            this, title,
            QStringLiteral("Fyers OAuth2 Authentication Process:\n\nPrerequisites:\n• Client ID of your API app "
                           "(6-16 characters)\n• App ID / App Secret of the same app\nBoth are on the Fyers API "
                           "dashboard.\n\nSteps:\n1. Your browser opens the Fyers authorization page\n2. Log in to "
                           "Fyers\n3. Grant permission to the app\n4. You are redirected to a URL like "
                           "https://127.0.0.1/?auth_code=XXXXXX&state=sample_state\n5. Copy the 'auth_code' value\n6. "
                           "Come back here and enter it when prompted\n\nNote: on an 'invalid clientId' error, verify "
                           "the Client ID on the dashboard.\n\nClick OK to open the browser and start authentication.")))
        return;
    // Without a browser the failure box names the address; there is no code to ask for.
    bool failedAtOnce = false;
    const QMetaObject::Connection failure =
        connect(fyersAuth, &FyersAuth::authenticationFailed, this, [&failedAtOnce] { failedAtOnce = true; });
    fyersAuth->startAuthentication(clientId, QStringLiteral("https://127.0.0.1"));
    disconnect(failure);
    if (failedAtOnce)
        return;
    // The login hashes the app's secret; without one it falls back to the app id.
    const QString secret = fyersSecretKeyEdit->text().isEmpty() ? appId : fyersSecretKeyEdit->text();
    QTimer::singleShot(delays.fyersCodeMs, this, [this, clientId, secret] {
        QString code;
        const bool ok = prompts->getText(this, QStringLiteral("Enter Authorization Code"),
                                         QStringLiteral("Please enter the auth_code from the redirect URL:"), &code);
        code = code.trimmed();
        if (!ok || code.isEmpty()) {
            warn(QStringLiteral("Authentication Cancelled"),
                 QStringLiteral("Authentication was cancelled. Please try again if you want to authenticate."));
            return;
        }
        fyersAuth->exchangeAuthCode(code, clientId, secret);
    });
}

void SettingsDialog::onFyersAuthSuccess(const QString& accessToken)
{
    qInfo() << "Fyers authentication successful, access token received:" << setOrEmpty(accessToken);
    fyersAccessTokenEdit->setText(accessToken);
    qDebug() << "Saving Fyers credentials - Client ID:" << fyersClientIdEdit->text();
    qDebug() << "Saving Fyers credentials - App ID:" << fyersAppIdEdit->text();
    settingsManager->setFyersClientId(fyersClientIdEdit->text());
    settingsManager->setFyersAppId(fyersAppIdEdit->text());
    settingsManager->setFyersSecretKey(fyersSecretKeyEdit->text());
    settingsManager->setFyersAccessToken(accessToken);
    settingsManager->saveSettings();
    info(QStringLiteral("Fyers Authentication"),
         QStringLiteral("Authentication successful! Access token has been saved.\n\nYou can now use the Symbol Manager "
                        "(Tools → Symbol Manager) to select symbols for your watchlist."));
}

void SettingsDialog::onFyersAuthFailed(const QString& error)
{
    critical(QStringLiteral("Fyers Authentication Failed"), QStringLiteral("Authentication failed: ") + error);
}

// ---- FlatTrade --------------------------------------------------------------------------------

void SettingsDialog::onFlatTradeAuthClicked()
{
    const QString key = flatTradeApiKeyEdit->text().trimmed();
    const QString secret = flatTradeApiSecretEdit->text().trimmed();
    if (key.isEmpty()) {
        warn(QStringLiteral("Missing API Key"), QStringLiteral("Please enter your FlatTrade API Key first."));
        return;
    }
    if (secret.isEmpty()) {
        warn(QStringLiteral("Missing API Secret"), QStringLiteral("Please enter your FlatTrade API Secret first."));
        return;
    }
    if (!flatTradeAuth) {
        flatTradeAuth = new FlatTradeAuth(this);
        if (loginHook)
            loginHook(flatTradeAuth);
        connect(flatTradeAuth, &FlatTradeAuth::authenticationSuccessful, this, &SettingsDialog::onFlatTradeAuthSuccess);
        connect(flatTradeAuth, &FlatTradeAuth::authenticationFailed, this, &SettingsDialog::onFlatTradeAuthFailed);
    }
    setStatus(flatTradeStatusLabel, QStringLiteral("🔄 Authenticating..."), kOrange);
    flatTradeAuthButton->setEnabled(false);
    flatTradeAuth->setApiKey(key);
    flatTradeAuth->setApiSecret(secret);
    flatTradeAuth->startAuthentication();
    if (!flatTradeAuthButton->isEnabled())  // the start may already have failed
        info(QStringLiteral("FlatTrade Authentication"),
             QStringLiteral("A browser window will open for FlatTrade login.\n\nAfter successful login, you will be "
                            "redirected back automatically.\n\nNote: Make sure the redirect URL in your FlatTrade app "
                            "is set to http://127.0.0.1:8765"));
}

void SettingsDialog::onFlatTradeAuthSuccess(const QString& accessToken, const QString& clientId)
{
    flatTradeAccessTokenEdit->setText(accessToken);
    flatTradeClientIdEdit->setText(clientId);
    setStatus(flatTradeStatusLabel, QStringLiteral("✓ Authenticated"), kGreen);
    flatTradeAuthButton->setEnabled(true);
    info(QStringLiteral("Success"),
         QStringLiteral("FlatTrade authentication successful!\nClient ID: %1\n\nAccess token has been set.").arg(clientId));
}

void SettingsDialog::onFlatTradeAuthFailed(const QString& error)
{
    setStatus(flatTradeStatusLabel, QStringLiteral("❌ Failed"), kRed);
    flatTradeAuthButton->setEnabled(true);
    critical(QStringLiteral("Authentication Failed"), QStringLiteral("FlatTrade authentication failed:\n\n%1").arg(error));
}

// ---- TradeJini --------------------------------------------------------------------------------

void SettingsDialog::onTradeJiniAuthClicked()
{
    const QString key = tradeJiniApiKeyEdit->text().trimmed();
    const QString password = tradeJiniPasswordEdit->text().trimmed();
    const QString code = tradeJiniTwoFactorEdit->text().trimmed();
    if (key.isEmpty()) {
        warn(QStringLiteral("Missing API Key"), QStringLiteral("Please enter your TradeJini API Key first."));
        return;
    }
    if (password.isEmpty()) {
        warn(QStringLiteral("Missing Password"), QStringLiteral("Please enter your TradeJini Password first."));
        return;
    }
    if (code.isEmpty()) {
        warn(QStringLiteral("Missing 2FA"), QStringLiteral("Please enter your 2FA code first."));
        return;
    }
    if (!tradeJiniAuth) {
        tradeJiniAuth = new TradeJiniAuth(this);
        if (loginHook)
            loginHook(tradeJiniAuth);
        connect(tradeJiniAuth, &TradeJiniAuth::authenticationSucceeded, this,
                [this](const QString& token, const QString&) { onTradeJiniAuthSuccess(token); });
        connect(tradeJiniAuth, &TradeJiniAuth::authenticationFailed, this, &SettingsDialog::onTradeJiniAuthFailed);
    }
    setStatus(tradeJiniStatusLabel, QStringLiteral("🔄 Authenticating..."), kOrange);
    tradeJiniAuthButton->setEnabled(false);
    tradeJiniAuth->authenticateWithPassword(key, password, code, tradeJiniTwoFactorTypeCombo->currentText());
}

void SettingsDialog::onTradeJiniAuthSuccess(const QString& accessToken)
{
    tradeJiniAccessTokenEdit->setText(accessToken);
    setStatus(tradeJiniStatusLabel, QStringLiteral("✓ Authenticated"), kGreen);
    tradeJiniAuthButton->setEnabled(true);
    info(QStringLiteral("Success"), QStringLiteral("TradeJini authentication successful!\n\nAccess token has been set."));
}

void SettingsDialog::onTradeJiniAuthFailed(const QString& error)
{
    setStatus(tradeJiniStatusLabel, QStringLiteral("❌ Failed"), kRed);
    tradeJiniAuthButton->setEnabled(true);
    critical(QStringLiteral("Authentication Failed"), QStringLiteral("TradeJini authentication failed:\n\n%1").arg(error));
}

// ---- Dhan, AngelOne, Upstox -------------------------------------------------------------------

void SettingsDialog::onDhanAuthClicked()
{
    const QString key = dhanApiKeyEdit->text().trimmed();
    const QString secret = dhanApiSecretEdit->text().trimmed();
    if (key.isEmpty() || secret.isEmpty()) {
        warn(QStringLiteral("Missing Credentials"),
             QStringLiteral("Please enter both API Key and API Secret to authenticate with Dhan."));
        return;
    }
    const QString clientId = dhanClientIdEdit->text().trimmed();
    if (!dhanAuth) {
        dhanAuth = new DhanAuth(this);
        if (loginHook)
            loginHook(dhanAuth);
        connect(dhanAuth, &DhanAuth::authenticationSuccessful, this,
                [this](const QString& token, const QString&) { onDhanAuthSuccess(token); });
        connect(dhanAuth, &DhanAuth::authenticationFailed, this, &SettingsDialog::onDhanAuthFailed);
    }
    setStatus(dhanStatusLabel, QStringLiteral("🔄 Initiating OAuth flow... Please check your browser"), kBlue);
    dhanAuthButton->setEnabled(false);
    dhanAuth->setApiKey(key);
    dhanAuth->setApiSecret(secret);
    dhanAuth->setClientId(clientId);
    dhanAuth->startAuthentication(key, secret, clientId, QStringLiteral("http://127.0.0.1:8767"));
}

void SettingsDialog::onDhanAuthSuccess(const QString& accessToken)
{
    qDebug() << "Dhan authentication successful, token received";
    dhanAccessTokenEdit->setText(accessToken);
    if (dhanAuth && !dhanAuth->getClientId().isEmpty())
        dhanClientIdEdit->setText(dhanAuth->getClientId());
    setStatus(dhanStatusLabel, QStringLiteral("✅ Authenticated successfully"), kGreen);
    dhanAuthButton->setEnabled(true);
    saveSettings();
    info(QStringLiteral("Authentication Successful"),
         QStringLiteral("Successfully authenticated with Dhan!\n\nYour access token has been saved and will be used for "
                        "API requests."));
}

void SettingsDialog::onDhanAuthFailed(const QString& error)
{
    qDebug() << "Dhan authentication failed:" << error;
    setStatus(dhanStatusLabel, QStringLiteral("❌ Authentication failed: %1").arg(error), kRed);
    dhanAuthButton->setEnabled(true);
    critical(QStringLiteral("Authentication Failed"),
             QStringLiteral("Failed to authenticate with Dhan:\n\n%1\n\nPlease check your API credentials and try again.")
                 .arg(error));
}

void SettingsDialog::onAngelOneDirectLoginClicked()
{
    const QString key = angelOneApiKeyEdit->text().trimmed();
    const QString clientCode = angelOneClientCodeEdit->text().trimmed();
    const QString password = angelOnePasswordEdit->text().trimmed();
    const QString totp = angelOneTotpEdit->text().trimmed();
    if (key.isEmpty() || clientCode.isEmpty() || password.isEmpty() || totp.isEmpty()) {
        warn(QStringLiteral("Missing Credentials"),
             QStringLiteral("Please enter API Key, Client Code, Password, and TOTP to login."));
        return;
    }
    static const QRegularExpression sixDigits(QStringLiteral("^[0-9]{6}$"));
    if (!sixDigits.match(totp).hasMatch()) {
        warn(QStringLiteral("Invalid TOTP"), QStringLiteral("TOTP must be a 6-digit code from your authenticator app."));
        return;
    }
    if (!angelOneAuth) {
        angelOneAuth = new AngelOneAuth(this);
        if (loginHook)
            loginHook(angelOneAuth);
        connect(angelOneAuth, &AngelOneAuth::authenticationSuccessful, this, [this] { onAngelOneAuthSuccess(); });
        connect(angelOneAuth, &AngelOneAuth::authenticationFailed, this, &SettingsDialog::onAngelOneAuthFailed);
    }
    setStatus(angelOneStatusLabel, QStringLiteral("🔄 Logging in with password... Please wait"), kBlue);
    angelOneLoginButton->setEnabled(false);
    angelOneAuth->login(key, clientCode, password, totp, QStringLiteral("live"));
}

void SettingsDialog::onAngelOneAuthSuccess()
{
    qDebug() << "AngelOne authentication successful";
    if (angelOneAuth) {
        angelOneJwtTokenEdit->setText(angelOneAuth->getJwtToken());
        angelOneFeedTokenEdit->setText(angelOneAuth->getFeedToken());
    }
    setStatus(angelOneStatusLabel, QStringLiteral("✅ Authenticated successfully"), kGreen);
    angelOneLoginButton->setEnabled(true);
    saveSettings();
    info(QStringLiteral("Authentication Successful"),
         QStringLiteral("Successfully authenticated with AngelOne!\n\nYour JWT and Feed tokens have been saved."));
}

void SettingsDialog::onAngelOneAuthFailed(const QString& error)
{
    qDebug() << "AngelOne authentication failed:" << error;
    setStatus(angelOneStatusLabel, QStringLiteral("❌ Authentication failed: %1").arg(error), kRed);
    angelOneLoginButton->setEnabled(true);
    critical(QStringLiteral("Authentication Failed"),
             QStringLiteral("Failed to authenticate with AngelOne:\n\n%1\n\nPlease check your credentials and try again.")
                 .arg(error));
}

void SettingsDialog::onUpstoxAuthClicked()
{
    const QString key = upstoxApiKeyEdit->text().trimmed();
    const QString secret = upstoxApiSecretEdit->text().trimmed();
    if (key.isEmpty() || secret.isEmpty()) {
        warn(QStringLiteral("Missing Credentials"),
             QStringLiteral("Please enter both API Key and API Secret to authenticate with Upstox."));
        return;
    }
    if (!upstoxAuth) {
        upstoxAuth = new UpstoxAuth(this);
        if (loginHook)
            loginHook(upstoxAuth);
        connect(upstoxAuth, &UpstoxAuth::authenticationSuccessful, this, &SettingsDialog::onUpstoxAuthSuccess);
        connect(upstoxAuth, &UpstoxAuth::authenticationFailed, this, &SettingsDialog::onUpstoxAuthFailed);
    }
    setStatus(upstoxStatusLabel, QStringLiteral("🔄 Initiating OAuth flow... Please check your browser"), kBlue);
    upstoxAuthButton->setEnabled(false);
    upstoxAuth->setApiKey(key);
    upstoxAuth->setApiSecret(secret);
    upstoxAuth->startAuthentication(key, secret, QStringLiteral("http://127.0.0.1:8765"));
}

void SettingsDialog::onUpstoxAuthSuccess(const QString& accessToken)
{
    qDebug() << "Upstox authentication successful, token received";
    upstoxAccessTokenEdit->setText(accessToken);
    setStatus(upstoxStatusLabel, QStringLiteral("✅ Authenticated successfully"), kGreen);
    upstoxAuthButton->setEnabled(true);
    settingsManager->setUpstoxAccessToken(accessToken);
    settingsManager->saveSettings();
    info(QStringLiteral("Authentication Success"),
         QStringLiteral("Successfully authenticated with Upstox. Access token has been saved."));
}

void SettingsDialog::onUpstoxAuthFailed(const QString& error)
{
    qDebug() << "Upstox authentication failed:" << error;
    setStatus(upstoxStatusLabel, QStringLiteral("❌ Authentication failed: ") + error, kRed);
    upstoxAuthButton->setEnabled(true);
    warn(QStringLiteral("Authentication Failed"), QStringLiteral("Failed to authenticate with Upstox:\n") + error);
}

// ---- token expiry and status labels -----------------------------------------------------------

void SettingsDialog::checkTokenValidity()
{
    if (settingsManager->zerodhaAccessToken().isEmpty())
        return;
    const QDateTime expiry = settingsManager->zerodhaTokenExpiry();
    const QDateTime now = QDateTime::currentDateTime();
    if (!expiry.isValid())
        return;
    if (expiry < now) {
        warn(QStringLiteral("Token Expired"),
             QStringLiteral("Your Zerodha access token has expired. Please re-authenticate to continue using Zerodha "
                            "services."));
        zerodhaAccessTokenEdit->clear();
        settingsManager->setZerodhaAccessToken(QString());
        settingsManager->setZerodhaTokenExpiry(QDateTime());
        settingsManager->saveSettings();
        return;
    }
    const qint64 seconds = now.secsTo(expiry);
    if (seconds <= 7199)
        info(QStringLiteral("Token Expiry Notice"),
             QStringLiteral("Your Zerodha access token will expire in %1 hours. Consider re-authenticating before it "
                            "expires.")
                 .arg(seconds / 3600));
}

void SettingsDialog::updateAuthenticationStatus()
{
    const QString expired = QStringLiteral("❌ Token expired - Re-authentication required");
    if (settingsManager->zerodhaAccessToken().isEmpty()) {
        setStatus(zerodhaStatusLabel, QStringLiteral("❌ Not authenticated"), kRed);
    } else {
        const QDateTime expiry = settingsManager->zerodhaTokenExpiry();
        const QDateTime now = QDateTime::currentDateTime();
        if (expiry.isValid() && now < expiry)
            setStatus(zerodhaStatusLabel,
                      QStringLiteral("✅ Authenticated (expires in %1 hours)").arg(now.secsTo(expiry) / 3600), kGreen);
        else
            setStatus(zerodhaStatusLabel, expired, kRed);
    }
    const auto simple = [](QLabel* label, const QString& token) {
        if (token.isEmpty())
            setStatus(label, QStringLiteral("❌ Not authenticated"), kRed);
        else
            setStatus(label, QStringLiteral("✅ Authenticated"), kGreen);
    };
    simple(tradeJiniStatusLabel, settingsManager->tradeJiniAccessToken());
    simple(dhanStatusLabel, settingsManager->dhanAccessToken());
}
