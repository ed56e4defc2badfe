// Logging in from the main window (password logins against a loopback login host, the
// credentials box), the settings action, and the application cache reset.
#include "brokers/LiveFeeder.h"
#include "support/HttpTestServer.h"
#include "support/LoopbackLogins.h"
#include "support/OfflineWindow.h"
#include "support/ScriptedDialogPrompts.h"
#include "support/TestFiles.h"
#include "ui/dialogs/SettingsDialog.h"

#include <QCryptographicHash>
#include <QDesktopServices>
#include <QDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

namespace {
// The window's wait before it asks for the Fyers code, short here.
constexpr int kCodePromptMs = 50;
}  // namespace

class TestWindowLogin : public QObject, protected WindowFixture
{
    Q_OBJECT

public slots:
    void openBrowser(const QUrl&) {}

private slots:
    void initTestCase() { QVERIFY(openHome("WindowLoginTest")); }
    void init()
    {
        freshState();
        loginHost = std::make_unique<HttpTestServer>();
        QVERIFY(loginHost->listen());
    }
    void cleanup()
    {
        QDesktopServices::unsetUrlHandler("http");
        loginHost.reset();
        dropState();
    }

    void credentialsBox_data()
    {
        QTest::addColumn<int>("provider");
        QTest::addColumn<QString>("apiKey");  // the one credential set, "" for none
        QTest::addColumn<bool>("openSettings");
        QTest::newRow("TradeJini without key, Cancel") << 2 << "" << false;
        QTest::newRow("AngelOne with key but no client code, Open Settings") << 4 << "ao-key" << true;
        QTest::newRow("Custom API without URL") << 6 << "cust-key" << true;
    }
    void credentialsBox()
    {
        QFETCH(int, provider);
        QFETCH(QString, apiKey);
        QFETCH(bool, openSettings);
        settings->setTradeJiniApiKey(provider == 2 ? apiKey : QString());
        settings->setAngelOneApiKey(provider == 4 ? apiKey : QString());
        settings->setApiKey(apiKey);
        auto w = makeWindow(provider);
        prompts->openSettings = openSettings;
        QMetaObject::invokeMethod(w.get(), "onQuickAuthAction");

        const QString name = SettingsManager::providerName(provider);
        QCOMPARE(prompts->shown.first().kind, QString("offerSettings"));
        QCOMPARE(prompts->shown.first().title, QString("Credentials Not Configured"));
        QCOMPARE(prompts->shown.first().text,
                 provider == 6 ? "Custom API needs its Custom URL and API key.\nPlease set them in Settings first."
                               : name + " API credentials are not configured.\nPlease set them in Settings first.");
        QCOMPARE(prompts->dialogsRun, openSettings ? 1 : 0);
        QVERIFY(!holds<TradeJiniAuth>(*w));
        QVERIFY(!holds<AngelOneAuth>(*w));
        QCOMPARE(loginHost->requestCount(), 0);
    }
    void tradeJiniLoginStoresTokenThenConnects()
    {
        settings->setTradeJiniApiKey("tj-key");
        loginHost->setReply("POST", "/api-gw/oauth/individual-token-v2",
                            HttpTestServer::Reply::json(R"({"access_token":"tj-fresh"})"));
        auto w = makeWindow(SettingsManager::TradeJini);
        broker->calls.clear();
        prompts->logins = {{"pass word", "123456"}};
        QMetaObject::invokeMethod(w.get(), "onQuickAuthAction");
        QCOMPARE(prompts->shown.first().title, QString("TradeJini Authentication"));
        QCOMPARE(prompts->shown.first().text, QString("2FA / TOTP:"));

        QTRY_COMPARE_WITH_TIMEOUT(prompts->texts("information"), QStringList{"Authentication successful!"}, 5000);
        QCOMPARE(prompts->shown.last().title, QString("TradeJini"));
        QCOMPARE(settings->tradeJiniAccessToken(), QString("tj-fresh"));
        QCOMPARE(SettingsManager().tradeJiniAccessToken(), QString("tj-fresh"));
        const HttpTestServer::Request req = loginHost->lastRequest();
        QCOMPARE(req.header("Authorization"), QByteArray("Bearer tj-key"));
        QVERIFY(req.body.contains("twoFa=123456"));
        QVERIFY(req.body.contains("twoFaTyp=TOTP"));

        // The connect follows once the box is closed, with the fresh token in the configuration.
        QVERIFY(!broker->calls.contains("initialize"));
        QTRY_VERIFY_WITH_TIMEOUT(broker->calls.contains("initialize"), 5000);
        QCOMPARE(broker->configs.last().value("accessToken"), QString("tj-fresh"));
        QTRY_VERIFY_WITH_TIMEOUT(!holds<TradeJiniAuth>(*w), 5000);
    }
    void angelOneLoginStoresNothingUnlessItSucceeds_data()
    {
        QTest::addColumn<QStringList>("answer");  // {password, code}; none: Cancel
        QTest::addColumn<bool>("refused");         // sent, and the host refuses it
        QTest::newRow("cancelled") << QStringList{} << false;
        QTest::newRow("empty code") << QStringList{"secret", ""} << false;
        QTest::newRow("empty password") << QStringList{"", "123456"} << false;
        QTest::newRow("refused by the host") << QStringList{"pw", "000000"} << true;
    }
    void angelOneLoginStoresNothingUnlessItSucceeds()
    {
        QFETCH(QStringList, answer);
        QFETCH(bool, refused);
        settings->setAngelOneApiKey("ao-key");
        settings->setAngelOneClientCode("C123");
        settings->setAngelOneJwtToken("old-jwt");
        loginHost->setReply("POST", "/rest/auth/angelbroking/user/v1/loginByPassword",
                            HttpTestServer::Reply::json(R"({"status":false,"message":"Invalid totp"})"));
        auto w = makeWindow(SettingsManager::AngelOne);
        broker->calls.clear();
        if (!answer.isEmpty())
            prompts->logins = {{answer[0], answer[1]}};
        QMetaObject::invokeMethod(w.get(), "onQuickAuthAction");
        QCOMPARE(prompts->shown.first().title, QString("AngelOne Login"));
        QCOMPARE(prompts->shown.first().text, QString("TOTP (6 digits):"));
        if (refused) {
            QTRY_COMPARE_WITH_TIMEOUT(prompts->texts("critical").size(), 1, 5000);
            QCOMPARE(prompts->shown.last().title, QString("AngelOne Auth Failed"));
            QVERIFY(prompts->texts("critical").first().contains("Invalid totp"));
        } else {
            QCOMPARE(prompts->kinds(), QStringList{"login"});
            QVERIFY(!holds<AngelOneAuth>(*w));  // no login was started
            QCOMPARE(loginHost->requestCount(), 0);
        }
        QCOMPARE(settings->angelOneJwtToken(), QString("old-jwt"));
        QTRY_VERIFY_WITH_TIMEOUT(!holds<AngelOneAuth>(*w), 5000);
        QVERIFY(!broker->calls.contains("connect"));
    }
    void zerodhaExchangesRequestTokenThenStores()
    {
        settings->setZerodhaApiKey("zkey");
        settings->setZerodhaApiSecret("zsecret");
        loginHost->setReply("POST", "/session/token",
                            HttpTestServer::Reply::json(R"({"status":"success","data":{"access_token":"z-access"}})"));
        auto w = makeWindow(SettingsManager::Zerodha);
        QMetaObject::invokeMethod(w.get(), "onQuickAuthAction");
        auto* login = qobject_cast<ZerodhaAuth*>(lastLogin.data());
        QVERIFY(login);

        // The first success carries the request token from the browser: it is exchanged, nothing
        // is stored or shown.
        emit login->authenticationSuccessful("req-123");
        QVERIFY(prompts->shown.isEmpty());
        QVERIFY(settings->zerodhaAccessToken().isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(prompts->texts("information"), QStringList{"Authentication successful!"}, 5000);
        QVERIFY(loginHost->lastRequest().body.contains("request_token=req-123"));
        QVERIFY(loginHost->lastRequest().body.contains("api_key=zkey"));
        QCOMPARE(prompts->shown.last().title, QString("Zerodha"));
        QCOMPARE(settings->zerodhaAccessToken(), QString("z-access"));
        const QDateTime expiry = settings->zerodhaTokenExpiry();
        QCOMPARE(expiry.date(), QDate::currentDate().addDays(1));
        QCOMPARE(expiry.time(), QTime(3, 30));
        QTRY_VERIFY_WITH_TIMEOUT(lastLogin.isNull(), 5000);
    }
    void dhanKeepsClientIdUnlessGiven_data()
    {
        QTest::addColumn<QString>("signalled");
        QTest::addColumn<QString>("stored");
        QTest::newRow("empty keeps") << "" << "OLD-ID";
        QTest::newRow("given replaces") << "NEW-ID" << "NEW-ID";
    }
    void dhanKeepsClientIdUnlessGiven()
    {
        QFETCH(QString, signalled);
        QFETCH(QString, stored);
        settings->setDhanApiKey("dkey");
        settings->setDhanApiSecret("dsecret");
        settings->setDhanClientId("OLD-ID");
        // The consent request never answers: only the test's signal ends this login.
        loginHost->setReply("POST", "/app/generate-consent", HttpTestServer::Reply::silent());
        auto w = makeWindow(SettingsManager::Dhan);
        QMetaObject::invokeMethod(w.get(), "onQuickAuthAction");
        auto* login = qobject_cast<DhanAuth*>(lastLogin.data());
        QVERIFY(login);
        emit login->authenticationSuccessful("d-token", signalled);
        QCOMPARE(settings->dhanAccessToken(), QString("d-token"));
        QCOMPARE(settings->dhanClientId(), stored);
        QCOMPARE(prompts->shown.last().title, QString("Dhan"));
    }
    void fyersCodePrompt_data()
    {
        QTest::addColumn<bool>("failFirst");     // no browser opens
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("secret");
        QTest::addColumn<QByteArray>("hashed");  // what the posted hash is of
        QTest::newRow("no browser: no prompt") << true << "" << "" << QByteArray();
        QTest::newRow("prompt cancelled") << false << "" << "" << QByteArray();
        QTest::newRow("no secret: the app id stands in") << false << "auth-code-1" << "" << QByteArray("FY1:APP-100");
        // The redirect also carries code=200, the status: the code is auth_code.
        QTest::newRow("secret, and the whole redirect address pasted")
            << false << " https://127.0.0.1/?s=ok&code=200&auth_code=auth-code-1&state=sample_state " << "SEC-9"
            << QByteArray("FY1:SEC-9");
    }
    void fyersCodePrompt()
    {
        QFETCH(bool, failFirst);
        QFETCH(QString, code);
        QFETCH(QString, secret);
        QFETCH(QByteArray, hashed);
        settings->setFyersClientId("FY1");
        settings->setFyersAppId("APP-100");
        settings->setFyersSecretKey(secret);
        loginHost->setReply("POST", "/validate-authcode", HttpTestServer::Reply::silent());
        // The offscreen platform opens no browser unless a handler stands in for it.
        if (!failFirst)
            QDesktopServices::setUrlHandler("http", this, "openBrowser");
        auto w = makeWindow(SettingsManager::Fyers);
        if (!code.isEmpty())
            prompts->texts_ = QStringList{code};
        QMetaObject::invokeMethod(w.get(), "onQuickAuthAction");
        QVERIFY(qobject_cast<FyersAuth*>(lastLogin.data()));
        if (failFirst) {
            // The failure box names the address to open by hand; the released login must not be
            // asked for a code.
            QCOMPARE(prompts->shown.last().title, QString("Fyers Auth Failed"));
            QCOMPARE(prompts->shown.last().text, "Failed to open browser. Please manually navigate to: " + loginHost->baseUrl()
                                                     + "/generate-authcode?client_id=FY1&redirect_uri=https://127.0.0.1"
                                                       "&response_type=code&state=sample_state");
            QTRY_VERIFY_WITH_TIMEOUT(lastLogin.isNull(), 5000);
            // The prompt's timer, started before this one and due sooner even when its coarse
            // timing runs late, has fired by the time this one does.
            QTimer after;
            after.setSingleShot(true);
            after.setTimerType(Qt::PreciseTimer);
            QSignalSpy fired(&after, &QTimer::timeout);
            after.start(2 * kCodePromptMs);
            QTRY_COMPARE_WITH_TIMEOUT(fired.count(), 1, 5000);
            QVERIFY(!prompts->kinds().contains("getText"));
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(prompts->kinds().contains("getText"), 5000);
        QCOMPARE(prompts->shown.last().title, QString("Fyers Auth Code"));
        QCOMPARE(prompts->shown.last().text, QString("Enter the auth_code from the redirect URL:"));
        if (code.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(lastLogin.isNull(), 5000);
            QCOMPARE(loginHost->requestCount(), 0);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(loginHost->requestCount(), 1, 5000);
            const QJsonObject body = QJsonDocument::fromJson(loginHost->lastRequest().body).object();
            QCOMPARE(body.value("code").toString(), QString("auth-code-1"));
            QCOMPARE(body.value("appIdHash").toString(),
                     QString(QCryptographicHash::hash(hashed, QCryptographicHash::Sha256).toHex()));
            QVERIFY(!lastLogin.isNull());
        }
    }
    void settingsAccepted_data()
    {
        QTest::addColumn<int>("result");
        QTest::addColumn<bool>("brokerConnected");
        QTest::addColumn<bool>("connects");
        QTest::addColumn<bool>("feeding");
        QTest::newRow("cancelled") << int(QDialog::Rejected) << false << false << true;
        QTest::newRow("accepted, not connected") << int(QDialog::Accepted) << false << true << false;
        QTest::newRow("accepted, connected, feeding")
            << int(QDialog::Accepted) << true << false << true;
    }
    void settingsAccepted()
    {
        QFETCH(int, result);
        QFETCH(bool, brokerConnected);
        QFETCH(bool, connects);
        QFETCH(bool, feeding);
        settings->setTradeJiniAccessToken("tj-token");
        settings->setApiKey("feed-key");
        settings->setWatchlistForBroker("TradeJini", {"2885"});
        auto w = makeWindow(SettingsManager::TradeJini);
        broker->connected = brokerConnected;
        if (feeding)
            w->feeder()->start();
        QCOMPARE(w->feeder()->isRunning(), feeding);
        QSignalSpy restarted(w->feeder(), &LiveFeeder::started);
        broker->calls.clear();
        prompts->dialogResult = result;

        QMetaObject::invokeMethod(w.get(), "onSettingsAction");
        QCOMPARE(prompts->dialogsRun, 1);
        const bool accepted = result == QDialog::Accepted;
        // A running feeder is restarted to read the new settings; its status text is the last word.
        QCOMPARE(restarted.count(), accepted && feeding ? 1 : 0);
        QCOMPARE(w->feeder()->isRunning(), feeding);
        if (accepted && !feeding)
            QCOMPARE(windowStatus(*w), QString("Settings updated successfully"));
        else if (!accepted)
            QVERIFY(windowStatus(*w) != "Settings updated successfully");
        if (connects)
            QTRY_VERIFY_WITH_TIMEOUT(broker->calls.contains("initialize"), 5000);
        else
            QVERIFY(!broker->calls.contains("initialize"));

        // The same dialog serves every later call.
        QMetaObject::invokeMethod(w.get(), "onSettingsAction");
        QCOMPARE(w->findChildren<QDialog*>(QString(), Qt::FindDirectChildrenOnly).size(), 1);
    }
    void resetAppCache()
    {
        const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        QVERIFY(QDir().mkpath(folder + "/cache"));
        // The symbol manager's meta files go too: left alone they would call a deleted master current.
        const QStringList goes{"zerodha_nse_symbols.csv", "zerodha_nse_symbols.csv.meta.json",
                               "dhan_symbols.csv", "zerodha_nse_symbols.meta.json"};
        const QStringList stays{"notes.txt", "symbols.csv", "cache/zerodha_nse_symbols.csv"};
        for (const QString& f : goes + stays)
            QVERIFY(TestFiles::writeFile(folder + "/" + f, "x"));
        settings->setWatchlistForBroker("Zerodha", {"408065"});
        settings->setWatchlistForBroker("Dhan", {"1333"});
        settings->setZerodhaApiKey("keep-me");
        auto w = makeWindow(SettingsManager::Dhan);
        w->repository()->addSymbol("HDFCBANK", "1333", "NSE", "EQ");
        settings->cacheSymbolName("1333", "HDFCBANK");

        prompts->answers = {QMessageBox::No};
        QMetaObject::invokeMethod(w.get(), "onResetAppCacheAction");
        QCOMPARE(settings->watchlistForBroker("Zerodha"), QStringList{"408065"});
        QVERIFY(QFile::exists(folder + "/dhan_symbols.csv"));

        prompts->answers = {QMessageBox::Yes};
        QMetaObject::invokeMethod(w.get(), "onResetAppCacheAction");
        for (int b = 0; b <= 7; ++b)
            QVERIFY(settings->watchlistForBroker(SettingsManager::providerName(b)).isEmpty());
        QCOMPARE(settings->symbolDisplayName("1333"), QString("1333"));
        QCOMPARE(settings->zerodhaApiKey(), QString("keep-me"));
        QVERIFY(w->repository()->isEmpty());
        for (const QString& f : goes)
            QVERIFY2(!QFile::exists(folder + "/" + f), qPrintable(f));
        for (const QString& f : stays)
            QVERIFY2(QFile::exists(folder + "/" + f), qPrintable(f));
        QCOMPARE(prompts->shown.last().title, QString("Cache Reset Complete"));
        QVERIFY(prompts->shown.last().text.startsWith("App cache has been cleared successfully."));
        QCOMPARE(watchlistTable(*w)->rowCount(), 0);
        // Saved: a fresh store reads the empty lists back.
        SettingsManager reread;
        QVERIFY(reread.watchlistForBroker("Zerodha").isEmpty());
    }
    void clearLogsKeepsTheRunningLog()
    {
        const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/logs/";
        QVERIFY(QDir().mkpath(folder));
        for (const char* name : {"Tickvane_old.log", "Tickvane_now.log"})
            QVERIFY(TestFiles::writeFile(folder + name, QByteArray()));
        settings->setProvider(SettingsManager::TradeJini);
        MainWindowSeams seams = recordingSeams();
        seams.logFilePath = folder + "Tickvane_now.log";
        ScriptedDialogPrompts dialogPrompts;  // answers Yes
        seams.settingsDialog = [&dialogPrompts](SettingsManager* s, QWidget* parent) -> QDialog* {
            return new SettingsDialog(s, parent, &dialogPrompts);
        };
        MainWindow w(seams);
        QMetaObject::invokeMethod(&w, "onSettingsAction");
        auto* dialog = w.findChild<SettingsDialog*>();
        QVERIFY(dialog);
        for (QPushButton* b : dialog->findChildren<QPushButton*>()) {
            if (b->text() == "Clear Logs")
                b->click();
        }
        QVERIFY(!QFile::exists(folder + "Tickvane_old.log"));
        QVERIFY(QFile::exists(folder + "Tickvane_now.log"));
    }

private:
    std::unique_ptr<MainWindow> makeWindow(int provider)
    {
        settings->setProvider(provider);
        MainWindowSeams seams = recordingSeams();
        const QString host = loginHost->baseUrl();
        seams.prepareLogin = [this, host](QObject* login) {
            lastLogin = login;
            pointLoginAt(login, host);
        };
        seams.fyersCodePromptMs = kCodePromptMs;
        seams.settingsDialog = [](SettingsManager*, QWidget* parent) { return new QDialog(parent); };
        auto w = std::make_unique<MainWindow>(seams);
        finishStartup(*w);
        prompts->shown.clear();
        return w;
    }
    // Logins the window made and still holds.
    template <typename Login> bool holds(MainWindow& w) const
    {
        return !w.findChildren<Login*>(QString(), Qt::FindDirectChildrenOnly).isEmpty();
    }

    std::unique_ptr<HttpTestServer> loginHost;
    QPointer<QObject> lastLogin;
};

QTEST_MAIN(TestWindowLogin)
#include "tst_windowlogin.moc"
