// Settings dialog: provider page visibility, load/save/defaults/validation, token expiry check,
// log-file actions, market hours, and the broker logins against loopback peers.
#include "brokers/BrokerAPI.h"
#include "core/SettingsManager.h"
#include "support/HttpTestServer.h"
#include "support/LogCapture.h"
#include "support/LoopbackLogins.h"
#include "support/ScriptedDialogPrompts.h"
#include "support/TestEnvironment.h"
#include "support/TestFiles.h"
#include "ui/dialogs/SettingsDialog.h"

#include <QComboBox>
#include <QCryptographicHash>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QGroupBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTcpSocket>
#include <QTimeEdit>
#include <QtTest>
#include <QtTest/qtestspontaneevent.h>

#include <memory>

class TestSettingsDialog : public QObject {
    Q_OBJECT

public slots:
    void captureUrl(const QUrl& url) { openedUrls.append(url); }

private slots:
    void init()
    {
        QCoreApplication::setOrganizationName("Tickvane");
        QCoreApplication::setApplicationName("Tickvane");
        env.reset(new TestEnvironment);
        settings.reset(new SettingsManager);
        restartPrompts = 0;
        settings->setRestartPrompt([this](const QString&, const QString&) { ++restartPrompts; });
        prompts.reset(new ScriptedDialogPrompts);
        server.reset(new HttpTestServer);
        QVERIFY(server->listen());
        openedUrls.clear();
        QDesktopServices::setUrlHandler("https", this, "captureUrl");
        QDesktopServices::setUrlHandler("http", this, "captureUrl");
    }
    void cleanup()
    {
        QDesktopServices::unsetUrlHandler("https");
        QDesktopServices::unsetUrlHandler("http");
        delete dialog;
        dialog = nullptr;
        server.reset();
        settings.reset();
        env.reset();
    }

    void providerChoiceShowsOneBrokerBox_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("visibleBox");
        QTest::newRow("zerodha") << 0 << "zerodhaGroup";
        QTest::newRow("flattrade") << 1 << "flatTradeGroup";
        QTest::newRow("tradejini") << 2 << "tradeJiniGroup";
        QTest::newRow("dhan") << 3 << "dhanGroup";
        QTest::newRow("angelone") << 4 << "angelOneGroup";
        QTest::newRow("upstox") << 5 << "upstoxGroup";
        QTest::newRow("custom") << 6 << "";
        QTest::newRow("none") << -1 << "";
    }
    void providerChoiceShowsOneBrokerBox()
    {
        QFETCH(int, index);
        QFETCH(QString, visibleBox);
        make();
        dialog->show();
        fill({"zerodhaApiKeyEdit=typed", "customUrlEdit=http://x"});
        auto* combo = w<QComboBox>("providerCombo");
        combo->setCurrentIndex(index == 0 ? 3 : 0);  // make sure the index changes
        combo->setCurrentIndex(index);
        for (const char* box : {"fyersGroup", "zerodhaGroup", "flatTradeGroup", "tradeJiniGroup", "dhanGroup",
                                "angelOneGroup", "upstoxGroup"})
            QCOMPARE(w<QGroupBox>(box)->isVisible(), visibleBox == box);
        QCOMPARE(w<QLineEdit>("customUrlEdit")->isEnabled(), index == 6);
        QVERIFY(w<QLineEdit>("apiKeyEdit")->isVisible());  // the "Custom API" needs its key too
        QVERIFY(w<QLabel>("customUrlLabel")->isVisible());
        QCOMPARE(w<QLineEdit>("zerodhaApiKeyEdit")->text(), QString("typed"));
        QCOMPARE(w<QLineEdit>("customUrlEdit")->text(), QString("http://x"));
    }
    void okSavesClampedControlsAndCancelNothing()
    {
        settings->setZerodhaApiKey("k");
        settings->setZerodhaApiSecret("s");
        settings->setZerodhaAccessToken("t");
        settings->setConnectOnStartup(true);
        settings->setDhanClientId("D1");
        settings->setMaxHistoricalDays(5000);  // beyond the control's range
        settings->setRequestTimeout(90);
        const QTime nseOpen = settings->marketStartTime("NSE");
        make();
        fill({"upstoxApiKeyEdit=UK", "tradeJiniPasswordEdit=pw", "apiKeyEdit=general"});
        QSpinBox* interval = w<QSpinBox>("updateIntervalSpin");
        interval->setValue(42);
        QTimeEdit* nseStart = nullptr;
        for (QTimeEdit* e : dialog->findChildren<QTimeEdit*>()) {
            if (e->time() == nseOpen && !nseStart)
                nseStart = e;
        }
        QVERIFY(nseStart);
        nseStart->setTime(QTime(9, 1));

        // Cancel: nothing reaches the settings, and the typed text is still there at the next opening.
        w<QDialogButtonBox>("buttonBox")->button(QDialogButtonBox::Cancel)->click();
        QCOMPARE(dialog->result(), int(QDialog::Rejected));
        QCOMPARE(settings->upstoxApiKey(), QString());
        QCOMPARE(settings->marketStartTime("NSE"), nseOpen);
        QCOMPARE(w<QLineEdit>("upstoxApiKeyEdit")->text(), QString("UK"));

        pressOk();
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        QCOMPARE(settings->upstoxApiKey(), QString("UK"));
        QCOMPARE(settings->tradeJiniApiSecret(), QString("pw"));  // the password is kept as the API secret
        QCOMPARE(settings->apiKey(), QString("general"));
        QCOMPARE(settings->updateInterval(), 42);
        QCOMPARE(settings->maxHistoricalDays(), 3650);
        QCOMPARE(settings->requestTimeout(), 60);
        QCOMPARE(settings->marketStartTime("NSE"), QTime(9, 1));
        QCOMPARE(settings->dhanClientId(), QString("D1"));
        QVERIFY(settings->connectOnStartup());  // carried by a control the user never sees
        QCOMPARE(restartPrompts, 0);
        QSettings stored(settings->settingsFilePath(), QSettings::IniFormat);
        QCOMPARE(stored.value("Connection/updateInterval").toInt(), 42);
    }
    void restoreDefaultsResetsGeneralControlsOnly()
    {
        settings->setZerodhaApiKey("k");
        settings->setZerodhaApiSecret("s");
        settings->setZerodhaAccessToken("t");
        settings->setConnectOnStartup(true);
        settings->setUpdateInterval(9);
        settings->setMaxHistoricalDays(10);
        settings->setAutoDownloadHistorical(false);
        settings->setPluginEnabled(false);
        settings->setAmiBrokerPath("C:/AB");
        settings->setApiKey("x");
        settings->setMarketStartTime("NSE", QTime(9, 0));
        make();

        prompts->answers.enqueue(false);
        w<QDialogButtonBox>("buttonBox")->button(QDialogButtonBox::RestoreDefaults)->click();
        QCOMPARE(w<QSpinBox>("updateIntervalSpin")->value(), 9);

        w<QComboBox>("logLevelCombo")->setCurrentText("Debug");
        prompts->answers.enqueue(true);
        w<QDialogButtonBox>("buttonBox")->button(QDialogButtonBox::RestoreDefaults)->click();
        QCOMPARE(prompts->last().title, QString("Reset Settings"));
        QCOMPARE(w<QComboBox>("logLevelCombo")->currentText(), QString("Info"));
        QCOMPARE(settings->updateInterval(), 9);  // nothing stored before OK
        pressOk();
        QVERIFY(!settings->connectOnStartup());
        QCOMPARE(settings->updateInterval(), 5);
        QCOMPARE(settings->maxHistoricalDays(), 365);
        QVERIFY(settings->autoDownloadHistorical());
        QVERIFY(settings->pluginEnabled());
        QCOMPARE(settings->amiBrokerPath(), QString());
        QCOMPARE(settings->apiKey(), QString());
        QCOMPARE(settings->provider(), 0);
        QCOMPARE(settings->zerodhaAccessToken(), QString("t"));
        QCOMPARE(settings->marketStartTime("NSE"), QTime(9, 0));
    }
    void validation_data()
    {
        QTest::addColumn<int>("provider");
        QTest::addColumn<QStringList>("fields");  // name=value
        QTest::addColumn<QString>("message");     // empty: accepted

        QTest::newRow("zerodha no secret") << 0 << QStringList{"zerodhaApiKeyEdit=k"}
                                           << "Zerodha API Key and API Secret are required for Zerodha authentication.";
        QTest::newRow("zerodha blank key counts") << 0
                                                  << QStringList{"zerodhaApiKeyEdit= ", "zerodhaApiSecretEdit=s"}
                                                  << "Please authenticate with Zerodha to get an access token.";
        QTest::newRow("flattrade no token") << 1 << QStringList{"flatTradeApiKeyEdit=k", "flatTradeApiSecretEdit=s"}
                                            << "Please authenticate with FlatTrade to get an access token.";
        QTest::newRow("tradejini no password") << 2 << QStringList{"tradeJiniApiKeyEdit=k"}
                                               << "TradeJini API Key and Password are required for TradeJini authentication.";
        QTest::newRow("dhan token first") << 3 << QStringList{}
                                          << "Please authenticate with Dhan to get an access token or enter your token from Dhan Web.";
        QTest::newRow("dhan client id") << 3 << QStringList{"dhanAccessTokenEdit=t"} << "Dhan Client ID is required.";
        QTest::newRow("angelone") << 4 << QStringList{} << "Please authenticate with AngelOne to get a JWT token.";
        QTest::newRow("upstox") << 5 << QStringList{} << "Please authenticate with Upstox to get an access token.";
        QTest::newRow("custom") << 6 << QStringList{} << "Custom URL is required for custom API provider.";
        QTest::newRow("custom ok") << 6 << QStringList{"customUrlEdit=http://q"} << "";
        QTest::newRow("custom scheme in capitals") << 6 << QStringList{"customUrlEdit=HTTP://q/quote"} << "";
        QTest::newRow("custom without scheme") << 6 << QStringList{"customUrlEdit=localhost:8080/q"}
                                               << "The Custom URL needs http:// or https:// at its start, for example http://localhost:8080/quote.";
        QTest::newRow("stored Fyers, which the list lacks, survives") << 7 << QStringList{} << "";
    }
    void validation()
    {
        QFETCH(int, provider);
        QFETCH(QStringList, fields);
        QFETCH(QString, message);
        settings->setProvider(provider);
        settings->saveSettings();
        restartPrompts = 0;
        make();
        QCOMPARE(w<QComboBox>("providerCombo")->currentIndex(), provider == SettingsManager::Fyers ? -1 : provider);
        fill(fields);
        dialog->show();
        pressOk();
        if (message.isEmpty()) {
            QCOMPARE(dialog->result(), int(QDialog::Accepted));
            QVERIFY(prompts->shown.isEmpty());
            QCOMPARE(settings->provider(), provider);
            QCOMPARE(restartPrompts, 0);
            return;
        }
        QCOMPARE(prompts->last().title, QString("Validation Error"));
        QCOMPARE(prompts->last().text, message);
        QVERIFY(dialog->isVisible());
        QCOMPARE(settings->customUrl(), QString());
    }
    void testApiReportsWhatCameBack_data()
    {
        QTest::addColumn<QString>("url");      // empty: the loopback quote service
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");  // empty: no reply at all
        QTest::addColumn<QString>("expected");
        const QByteArray quote = R"({"symbol":"ACME","price":88.5})";
        QTest::newRow("works") << "" << 200 << quote << "Works - ACME at 88.50";
        QTest::newRow("key refused") << "" << 401 << QByteArray("{}") << "API key refused (HTTP 401)";
        QTest::newRow("key forbidden") << "" << 403 << QByteArray("{}") << "API key refused (HTTP 403)";
        QTest::newRow("outage") << "" << 503 << QByteArray("{}") << "Service answered HTTP 503 for ACME";
        QTest::newRow("unknown symbol") << "" << 404 << QByteArray("{}") << "ACME: the service does not know this symbol (HTTP 404)";
        QTest::newRow("quote of another symbol") << "" << 200 << QByteArray(R"({"symbol":"TCS","price":1})")
                                                 << "ACME: the service answered with a quote of TCS";
        QTest::newRow("exchange form of the symbol") << "" << 200 << QByteArray(R"({"symbol":"NSE:ACME-EQ","price":1})")
                                                     << "Works - ACME at 1.00";
        QTest::newRow("quote of a name starting alike") << "" << 200 << QByteArray(R"({"symbol":"ACME-X","price":1})")
                                                        << "ACME: the service answered with a quote of ACME-X";
        QTest::newRow("not json") << "" << 200 << QByteArray("<html>") << "Reply for ACME is not JSON";
        QTest::newRow("no price") << "" << 200 << QByteArray("{}") << "Reached, but the reply has no price for ACME";
        QTest::newRow("timed out") << "" << 200 << QByteArray() << "Timed out - no reply for ACME within 1 s";
        QTest::newRow("not reachable") << "http://127.0.0.1:1/q" << 200 << quote << "Not reachable - Connection refused";
        QTest::newRow("no url") << " " << 200 << quote << "No Custom URL entered";
        QTest::newRow("no scheme") << "127.0.0.1:1/q" << 200 << quote << "The Custom URL needs http:// or https:// at its start";
    }
    void testApiReportsWhatCameBack()
    {
        QFETCH(QString, url);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        server->setReply("GET", "/q", body.isEmpty() ? HttpTestServer::Reply::silent() : HttpTestServer::Reply::json(body, status));
        settings->setWatchlistForBroker("Custom API", {"ACME"});
        make();
        dialog->setDelays({body.isEmpty() ? 300 : 0, 0, 0});  // only the silent service waits short
        w<QComboBox>("providerCombo")->setCurrentIndex(SettingsManager::CustomAPI);
        w<QLineEdit>("customUrlEdit")->setText(url.isEmpty() ? server->baseUrl() + "/q" : url);
        w<QLineEdit>("apiKeyEdit")->setText("the-key");
        w<QPushButton>("testApiButton")->click();
        QTRY_COMPARE(w<QLabel>("apiStatusLabel")->text(), "Status: " + expected);
        // One request, in the form the feed sends.
        QCOMPARE(server->requestCount(), url.isEmpty() ? 1 : 0);
        if (url.isEmpty())
            QCOMPARE(server->lastRequest().header("X-API-Key") + server->lastRequest().rawTarget, QByteArray("the-key/q?symbol=ACME"));
    }
    // Without a watchlist the test asks for a symbol of its own, and says which. That the service
    // does not know it says nothing against the address or the key: the service answered and took
    // the key. A refused key is still told as one.
    void testApiNamesTheSymbolItProbed()
    {
        server->setReply("GET", "/q", HttpTestServer::Reply::json("{}", 404));
        make();
        w<QComboBox>("providerCombo")->setCurrentIndex(SettingsManager::CustomAPI);
        fill({"customUrlEdit=" + server->baseUrl() + "/q", "apiKeyEdit=the-key"});
        w<QPushButton>("testApiButton")->click();
        QTRY_COMPARE(w<QLabel>("apiStatusLabel")->text(),
                     QString("Status: Works - key accepted; the service does not know NIFTY (HTTP 404)"));
        QCOMPARE(w<QLabel>("apiStatusLabel")->styleSheet(), QString("color: green;"));
        QCOMPARE(server->lastRequest().query.queryItemValue("symbol"), QString("NIFTY"));

        server->setReply("GET", "/q", HttpTestServer::Reply::json("{}", 403));
        w<QPushButton>("testApiButton")->click();
        QTRY_COMPARE(w<QLabel>("apiStatusLabel")->text(), QString("Status: API key refused (HTTP 403)"));
        QCOMPARE(w<QLabel>("apiStatusLabel")->styleSheet(), QString("color: red;"));

        // Restored after being minimised, the result stays; so does a running test.
        // (notify, as sendEvent would clear the window system's mark)
        const auto restore = [this] {
            QShowEvent restored;
            QSpontaneKeyEvent::setSpontaneous(&restored);
            qApp->notify(dialog, &restored);
        };
        restore();
        QCOMPARE(w<QLabel>("apiStatusLabel")->text(), QString("Status: API key refused (HTTP 403)"));
        server->setReply("GET", "/q", HttpTestServer::Reply::silent());
        dialog->setDelays({300, 0, 0});
        w<QPushButton>("testApiButton")->click();
        QCOMPARE(w<QLabel>("apiStatusLabel")->text(), QString("Status: Testing..."));
        restore();
        QCOMPARE(w<QLabel>("apiStatusLabel")->text(), QString("Status: Testing..."));
        QTRY_COMPARE(w<QLabel>("apiStatusLabel")->text(), QString("Status: Timed out - no reply for NIFTY within 1 s"));

        // Reopened, the dialog shows no result of a test made before.
        dialog->show();
        dialog->hide();
        dialog->show();
        QCOMPARE(w<QLabel>("apiStatusLabel")->text(), QString("Status: Not tested"));
    }

    // Pasted with blanks, the key and the address are saved as Test API sent them, and the feed
    // then gets what the test got.
    void savedAsTested()
    {
        server->setResponder([](const HttpTestServer::Request& r) {
            if (r.header("X-API-Key") != "nu-key")
                return HttpTestServer::Reply::json("{}", 401);
            return HttpTestServer::Reply::json(R"({"price":12.5})");
        });
        settings->setWatchlistForBroker("Custom API", {"ACME"});
        make();
        w<QComboBox>("providerCombo")->setCurrentIndex(SettingsManager::CustomAPI);
        fill({"customUrlEdit= " + server->baseUrl() + "/quote ", "apiKeyEdit=nu-key "});
        w<QPushButton>("testApiButton")->click();
        QTRY_COMPARE(w<QLabel>("apiStatusLabel")->text(), QString("Status: Works - ACME at 12.50"));
        // The timeout sits with the address it applies to, on the page the dialog opens on.
        dialog->show();
        QVERIFY(w<QSpinBox>("requestTimeoutSpin")->isVisible());
        w<QSpinBox>("requestTimeoutSpin")->setValue(40);
        pressOk();
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        QCOMPARE(settings->customUrl(), server->baseUrl() + "/quote");
        QCOMPARE(settings->apiKey(), QString("nu-key"));
        QCOMPARE(settings->requestTimeout(), 40);

        BrokerAPI feed;
        feed.setProvider(SettingsManager::CustomAPI);
        feed.setCustomUrl(settings->customUrl());
        feed.setApiKey(settings->apiKey());
        feed.setPollInterval(3600000);
        QSignalSpy ticks(&feed, &BrokerAPI::tickReceived);
        QSignalSpy failures(&feed, &BrokerAPI::quoteFailed);
        feed.subscribeLiveData("ACME");
        feed.startLiveData();
        QVERIFY(QMetaObject::invokeMethod(&feed, "onLiveDataTimer"));
        QTRY_COMPARE_WITH_TIMEOUT(ticks.count() + failures.count(), 1, 5000);
        QCOMPARE(ticks.count(), 1);
        QCOMPARE(server->requestCount(), 2);
        QCOMPARE(server->lastRequest().rawTarget, QByteArray("/quote?symbol=ACME"));
    }

    void tokenExpiryCheck_data()
    {
        QTest::addColumn<qint64>("expiresIn");  // seconds from now, past when negative; 0: no expiry stored
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("boxText");
        QTest::addColumn<QString>("label");
        QTest::newRow("expired") << qint64(-60) << "Token Expired"
                                 << "Your Zerodha access token has expired. Please re-authenticate to continue using Zerodha services."
                                 << QString::fromUtf8("❌ Token expired - Re-authentication required");
        QTest::newRow("under two hours") << qint64(7199) << "Token Expiry Notice"
                                         << "Your Zerodha access token will expire in 1 hours. Consider re-authenticating before it expires."
                                         << QString::fromUtf8("✅ Authenticated (expires in 1 hours)");
        QTest::newRow("three hours") << qint64(3 * 3600 + 30) << "" << "" << QString::fromUtf8("✅ Authenticated (expires in 3 hours)");
        QTest::newRow("no expiry: kept") << qint64(0) << "" << "" << QString::fromUtf8("❌ Token expired - Re-authentication required");
    }
    void tokenExpiryCheck()
    {
        QFETCH(qint64, expiresIn);
        QFETCH(QString, box);
        settings->setZerodhaAccessToken("tok");
        if (expiresIn != 0)
            settings->setZerodhaTokenExpiry(QDateTime::currentDateTime().addSecs(expiresIn));
        make();
        QCOMPARE(prompts->shown.size(), box.isEmpty() ? 0 : 1);
        if (!box.isEmpty()) {
            QCOMPARE(prompts->last().title, box);
            QTEST(prompts->last().text, "boxText");
        }
        QTEST(w<QLabel>("zerodhaStatusLabel")->text(), "label");
        // Only an expired token is dropped, from the store and the file as well.
        const bool dropped = expiresIn < 0;
        QCOMPARE(settings->zerodhaAccessToken().isEmpty(), dropped);
        QCOMPARE(w<QLineEdit>("zerodhaAccessTokenEdit")->text().isEmpty(), dropped);
        QCOMPARE(settings->zerodhaTokenExpiry().isValid(), expiresIn > 0);
        if (dropped)
            QCOMPARE(QSettings(settings->settingsFilePath(), QSettings::IniFormat).value("API/zerodhaAccessToken").toString(), QString());
    }
    void statusLabelsFollowStoredTokens()
    {
        settings->setTradeJiniAccessToken("tj");
        settings->setFlatTradeAccessToken("ft");
        settings->setZerodhaApiKey("zk");
        settings->setZerodhaApiSecret("zs");
        make();
        QCOMPARE(w<QLabel>("tradeJiniStatusLabel")->text(), QString::fromUtf8("✅ Authenticated"));
        QCOMPARE(w<QLabel>("tradeJiniStatusLabel")->styleSheet(), QString("color: green;"));
        QCOMPARE(w<QLabel>("flatTradeStatusLabel")->text(), QString::fromUtf8("❌ Not authenticated"));
        QCOMPARE(w<QLabel>("dhanStatusLabel")->text(), QString::fromUtf8("❌ Not authenticated"));

        // A login elsewhere stores a token while the dialog is open: the field shows it at once and
        // OK keeps it; a field the user typed into is left alone by unrelated changes.
        settings->setZerodhaAccessToken("old");
        QCOMPARE(w<QLineEdit>("zerodhaAccessTokenEdit")->text(), QString("old"));
        w<QLineEdit>("fyersAccessTokenEdit")->setText("typed");
        settings->setZerodhaAccessToken("fresh");
        QCOMPARE(w<QLineEdit>("zerodhaAccessTokenEdit")->text(), QString("fresh"));
        QCOMPARE(w<QLineEdit>("fyersAccessTokenEdit")->text(), QString("typed"));
        w<QDialogButtonBox>("buttonBox")->button(QDialogButtonBox::Ok)->click();
        QCOMPARE(settings->zerodhaAccessToken(), QString("fresh"));
        QCOMPARE(settings->fyersAccessToken(), QString("typed"));
    }
    void viewLogOpensNewest()
    {
        make();
        const QString folder = w<QLineEdit>("logFilePathEdit")->text();
        QPushButton* view = button("View Current Log");
        QVERIFY(view);
        view->click();
        QCOMPARE(prompts->last().title, QString("Log Not Found"));

        QVERIFY(QDir().mkpath(folder) && TestFiles::writeFile(folder + "/notes.md", {}));
        view->click();
        QCOMPARE(prompts->last().title, QString("No Logs"));

        QFile older(folder + "/a.log");
        QVERIFY(older.open(QIODevice::WriteOnly));
        QVERIFY(older.setFileTime(QDateTime::currentDateTime().addDays(-1), QFileDevice::FileModificationTime));
        older.close();
        QVERIFY(TestFiles::writeFile(folder + "/crash.txt", {}));
        view->click();
        QCOMPARE(prompts->opened, QList<QUrl>{QUrl::fromLocalFile(QFileInfo(folder + "/crash.txt").absoluteFilePath())});
    }
    void clearLogsKeepsTheLiveLog()
    {
        make();
        const QString folder = w<QLineEdit>("logFilePathEdit")->text();
        QVERIFY(QDir().mkpath(folder));
        for (const char* name : {"Tickvane_1.log", "Tickvane_2.log", "crash_1.txt", "keep.json"})
            QVERIFY(TestFiles::writeFile(folder + "/" + name, {}));
        dialog->setCurrentLogFile(folder + "/Tickvane_2.log");
        QPushButton* clear = button("Clear Logs");
        prompts->answers.enqueue(false);
        clear->click();
        QCOMPARE(QDir(folder).entryList(QDir::Files).size(), 4);

        clear->click();
        QCOMPARE(prompts->last().title, QString("Logs Cleared"));
        QCOMPARE(prompts->last().text, QString("Deleted 2 log file(s).\nThe log of this session is kept while Tickvane runs."));
        QCOMPARE(QDir(folder).entryList(QDir::Files, QDir::Name), (QStringList{"Tickvane_2.log", "keep.json"}));
    }
    void zerodhaLoginExchangesOneRequestToken_data()
    {
        QTest::addColumn<bool>("captured");  // the browser capture arrives while the manual box is open
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("requestToken");
        QTest::newRow("captured: the typed token is not exchanged as well") << true << "typed" << "REQ";
        QTest::newRow("typed by hand, trimmed") << false << "  MANUAL  " << "MANUAL";
    }
    void zerodhaLoginExchangesOneRequestToken()
    {
        QFETCH(bool, captured);
        QFETCH(QString, typed);
        QFETCH(QString, requestToken);
        server->setReply("POST", "/session/token", HttpTestServer::Reply::json(R"({"status":"success","data":{"access_token":"AT1"}})"));
        make();
        fill({"zerodhaApiKeyEdit=key", "zerodhaApiSecretEdit=sec"});
        if (captured)
            prompts->onGetText = [this] { emit dialog->zerodhaLogin()->authenticationSuccessful("REQ"); };
        prompts->texts.enqueue(typed);
        w<QPushButton>("zerodhaAuthButton")->click();
        QCOMPARE(openedUrls.size(), 1);
        QCOMPARE(QUrlQuery(openedUrls.first()).queryItemValue("api_key"), QString("key"));
        QTRY_COMPARE_WITH_TIMEOUT(settings->zerodhaAccessToken(), QString("AT1"), 10000);
        QCOMPARE(server->requestsTo("/session/token").size(), 1);
        const QUrlQuery form(QString::fromUtf8(server->requestsTo("/session/token").first().body));
        QCOMPARE(form.queryItemValue("request_token"), requestToken);
        QCOMPARE(form.queryItemValue("checksum"),
                 QString(QCryptographicHash::hash(("key" + requestToken + "sec").toUtf8(), QCryptographicHash::Sha256).toHex()));
        QCOMPARE(settings->zerodhaTokenExpiry(), QDateTime(QDate::currentDate().addDays(1), QTime(3, 30)));
        QCOMPARE(w<QLineEdit>("zerodhaAccessTokenEdit")->text(), QString("AT1"));
        QVERIFY(w<QLabel>("zerodhaStatusLabel")->text().startsWith(QString::fromUtf8("✅ Authenticated")));
        QCOMPARE(prompts->last().title, QString("Zerodha Authentication"));

        // A stray success after the login ended is not taken for a new request token: no request is
        // started (a reply object would exist at once).
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        auto* network = dialog->zerodhaLogin()->findChild<QNetworkAccessManager*>();
        QVERIFY(network->findChildren<QNetworkReply*>().isEmpty());
        emit dialog->zerodhaLogin()->authenticationSuccessful("late");
        QVERIFY(network->findChildren<QNetworkReply*>().isEmpty());
    }
    void zerodhaCaptureAfterAFailedTypedToken_data()
    {
        // When the browser's request token arrives: after the typed token was refused, or while
        // the typed token is still being exchanged (it is held until that exchange fails).
        QTest::addColumn<bool>("whileExchanging");
        QTest::newRow("capture after the refusal") << false;
        QTest::newRow("capture during the exchange") << true;
    }
    void zerodhaCaptureAfterAFailedTypedToken()
    {
        QFETCH(bool, whileExchanging);
        server->setResponder([whileExchanging](const HttpTestServer::Request& r) {
            if (QUrlQuery(QString::fromUtf8(r.body)).queryItemValue("request_token") == "REQ")
                return HttpTestServer::Reply::json(R"({"status":"success","data":{"access_token":"AT2"}})");
            if (whileExchanging)
                return HttpTestServer::Reply::silent();  // ended later, by the test
            return HttpTestServer::Reply::json(R"({"status":"error","message":"Token is invalid or has expired.",)"
                                               R"("error_type":"TokenException"})",
                                               403);
        });
        make();
        fill({"zerodhaApiKeyEdit=key", "zerodhaApiSecretEdit=sec"});
        // While the failure box is open nothing else is under way, so no success box can open
        // over it and leave "failed" as the last word once the user closes them.
        int runningDuringFailureBox = -1;
        prompts->onMessage = [&](const ScriptedDialogPrompts::Shown& box) {
            if (box.title != "Zerodha Authentication Failed")
                return;
            runningDuringFailureBox = 0;
            for (QNetworkReply* r : dialog->zerodhaLogin()->findChild<QNetworkAccessManager*>()->findChildren<QNetworkReply*>())
                runningDuringFailureBox += r->isRunning() ? 1 : 0;
        };
        prompts->texts.enqueue("TYPED");
        w<QPushButton>("zerodhaAuthButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(server->requestCount(), 1, 10000);
        const quint16 port = quint16(dialog->zerodhaLogin()->redirectPort());
        if (whileExchanging) {
            sendRedirect(port, "/?action=login&status=success&request_token=REQ");
            QCoreApplication::processEvents();
            QCOMPARE(server->requestCount(), 1);  // one exchange at a time
            // The typed token's exchange fails.
            const auto replies = dialog->zerodhaLogin()->findChild<QNetworkAccessManager*>()->findChildren<QNetworkReply*>();
            QCOMPARE(replies.size(), 1);
            replies.first()->abort();
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(prompts->last().title, QString("Zerodha Authentication Failed"), 10000);
            // The listener still waits for the browser.
            QVERIFY(dialog->zerodhaLogin()->isListening());
            sendRedirect(port, "/?action=login&status=success&request_token=REQ");
        }
        // The capture is exchanged, and only the exchange's answer is stored.
        QTRY_COMPARE_WITH_TIMEOUT(settings->zerodhaAccessToken(), QString("AT2"), 10000);
        QStringList exchanged;
        for (const HttpTestServer::Request& r : server->requestsTo("/session/token"))
            exchanged << QUrlQuery(QString::fromUtf8(r.body)).queryItemValue("request_token");
        QCOMPARE(exchanged, (QStringList{"TYPED", "REQ"}));
        QCOMPARE(w<QLineEdit>("zerodhaAccessTokenEdit")->text(), QString("AT2"));
        QCOMPARE(settings->zerodhaTokenExpiry(), QDateTime(QDate::currentDate().addDays(1), QTime(3, 30)));
        QTRY_COMPARE_WITH_TIMEOUT(prompts->last().title, QString("Zerodha Authentication"), 5000);
        QCOMPARE(prompts->last().type, QString("information"));
        QCOMPARE(runningDuringFailureBox, 0);
        if (whileExchanging)
            QVERIFY(prompts->shown.at(prompts->shown.size() - 2).text.endsWith("The request token captured from your browser is tried next."));
    }
    void loginRefusesIncompleteFields_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QString>("refusal");  // the warning's text; empty: the login starts
        const QString fyersLength = "Fyers Client ID should be between 6-16 characters long.\n"
                                    "Please check your Client ID from the Fyers API app dashboard.";
        QTest::newRow("Fyers id of five") << "fyersAuthButton" << QStringList{"fyersClientIdEdit=ABCDE", "fyersAppIdEdit=APP"}
                                          << fyersLength;
        QTest::newRow("Fyers id of seventeen")
            << "fyersAuthButton" << QStringList{"fyersClientIdEdit=ABCDEFGHIJKLMNOPQ", "fyersAppIdEdit=APP"} << fyersLength;
        QTest::newRow("Fyers id with a space")
            << "fyersAuthButton" << QStringList{"fyersClientIdEdit=ABCDEFG HIJKLMNO", "fyersAppIdEdit=APP"}
            << "Fyers Client ID should not contain spaces or special whitespace characters.\n"
               "Please check your Client ID from the Fyers API app dashboard.";
        QTest::newRow("FlatTrade blank key") << "flatTradeAuthButton" << QStringList{"flatTradeApiKeyEdit=  "}
                                             << "Please enter your FlatTrade API Key first.";
        QTest::newRow("TradeJini without 2FA") << "tradeJiniAuthButton"
                                               << QStringList{"tradeJiniApiKeyEdit=K", "tradeJiniPasswordEdit=P"}
                                               << "Please enter your 2FA code first.";
        QTest::newRow("Dhan without secret") << "dhanAuthButton" << QStringList{"dhanApiKeyEdit=K"}
                                             << "Please enter both API Key and API Secret to authenticate with Dhan.";
        const QStringList angelOne{"angelOneApiKeyEdit=K", "angelOneClientCodeEdit=C", "angelOnePasswordEdit=P"};
        const QString badTotp = "TOTP must be a 6-digit code from your authenticator app.";
        QTest::newRow("AngelOne TOTP of six zeros") << "angelOneLoginButton" << angelOne + QStringList{"angelOneTotpEdit=000000"} << "";
        QTest::newRow("AngelOne TOTP of five digits") << "angelOneLoginButton" << angelOne + QStringList{"angelOneTotpEdit=12345"} << badTotp;
        QTest::newRow("AngelOne TOTP with a letter") << "angelOneLoginButton" << angelOne + QStringList{"angelOneTotpEdit=12a456"} << badTotp;
        QTest::newRow("AngelOne TOTP with a sign") << "angelOneLoginButton" << angelOne + QStringList{"angelOneTotpEdit=+12345"} << badTotp;
    }
    void loginRefusesIncompleteFields()
    {
        QFETCH(QString, button);
        QFETCH(QStringList, fields);
        QFETCH(QString, refusal);
        make();
        fill(fields);
        w<QPushButton>(button.toLatin1().constData())->click();
        if (refusal.isEmpty()) {
            QVERIFY(!w<QPushButton>(button.toLatin1().constData())->isEnabled());  // logging in
            return;
        }
        QCOMPARE(prompts->last().type, QString("warning"));
        QCOMPARE(prompts->last().text, refusal);
        QVERIFY(w<QPushButton>(button.toLatin1().constData())->isEnabled());
        QVERIFY(openedUrls.isEmpty());
        QCOMPARE(server->requestCount(), 0);
    }
    void fyersPastedCodeIsExchanged()
    {
        server->setReply("POST", "/validate-authcode", HttpTestServer::Reply::json(R"({"s":"ok","access_token":"FY"})"));
        make();
        fill({"fyersClientIdEdit=XY1234-100", "fyersAppIdEdit=APP-100", "fyersSecretKeyEdit=SECRET"});
        prompts->texts.enqueue("CODE1");
        QMetaObject::invokeMethod(dialog, "onFyersAuthClicked");
        QCOMPARE(openedUrls.size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(settings->fyersAccessToken(), QString("FY"), 10000);
        const QJsonObject body = QJsonDocument::fromJson(server->requestsTo("/validate-authcode").first().body).object();
        QCOMPARE(body.value("code").toString(), QString("CODE1"));
        QCOMPARE(body.value("appIdHash").toString(),
                 QString(QCryptographicHash::hash("XY1234-100:SECRET", QCryptographicHash::Sha256).toHex()));
        QCOMPARE(settings->fyersClientId(), QString("XY1234-100"));
        QCOMPARE(settings->fyersSecretKey(), QString("SECRET"));

        // Cancelling the code box ends the login with a notice and no request.
        prompts->texts.enqueue(QString());
        QMetaObject::invokeMethod(dialog, "onFyersAuthClicked");
        QTRY_COMPARE(prompts->last().title, QString("Authentication Cancelled"));
        QCOMPARE(server->requestsTo("/validate-authcode").size(), 1);
    }
    void flatTradeLoginFillsFieldsOnly()
    {
        server->setReply("POST", "/trade/apitoken", HttpTestServer::Reply::json(R"({"stat":"Ok","token":"FTT","client":"C9"})"));
        make();
        fill({"flatTradeApiKeyEdit=FK", "flatTradeApiSecretEdit=FS"});
        w<QPushButton>("flatTradeAuthButton")->click();
        QCOMPARE(w<QLabel>("flatTradeStatusLabel")->text(), QString::fromUtf8("🔄 Authenticating..."));
        QVERIFY(!w<QPushButton>("flatTradeAuthButton")->isEnabled());
        QCOMPARE(prompts->last().title, QString("FlatTrade Authentication"));
        sendRedirect(dialog->flatTradeLogin()->redirectPort(), "/?code=RC1&client=C9");
        QTRY_COMPARE_WITH_TIMEOUT(w<QLineEdit>("flatTradeAccessTokenEdit")->text(), QString("FTT"), 10000);
        const QJsonObject body = QJsonDocument::fromJson(server->requestsTo("/trade/apitoken").first().body).object();
        QCOMPARE(body.value("api_secret").toString(),
                 QString(QCryptographicHash::hash("FKRC1FS", QCryptographicHash::Sha256).toHex()));
        QCOMPARE(w<QLineEdit>("flatTradeClientIdEdit")->text(), QString("C9"));
        QCOMPARE(w<QLabel>("flatTradeStatusLabel")->text(), QString::fromUtf8("✓ Authenticated"));
        QVERIFY(w<QPushButton>("flatTradeAuthButton")->isEnabled());
        // Filled, not stored: Cancel drops it.
        w<QDialogButtonBox>("buttonBox")->button(QDialogButtonBox::Cancel)->click();
        QCOMPARE(settings->flatTradeAccessToken(), QString());
    }
    void tradeJiniLoginStates()
    {
        server->setReply("POST", "/api-gw/oauth/individual-token-v2", HttpTestServer::Reply::json(R"({"message":"bad otp"})", 401));
        make();
        fill({"tradeJiniApiKeyEdit=K", "tradeJiniPasswordEdit=P", "tradeJiniTwoFactorEdit=123456"});
        w<QPushButton>("tradeJiniAuthButton")->click();
        QVERIFY(!w<QPushButton>("tradeJiniAuthButton")->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(w<QLabel>("tradeJiniStatusLabel")->text(), QString::fromUtf8("❌ Failed"), 10000);
        QVERIFY(w<QPushButton>("tradeJiniAuthButton")->isEnabled());
        QCOMPARE(prompts->last().type, QString("critical"));
        QCOMPARE(w<QLineEdit>("tradeJiniAccessTokenEdit")->text(), QString());

        emit dialog->tradeJiniLogin()->authenticationSucceeded("TJT", "CID");
        QCOMPARE(w<QLineEdit>("tradeJiniAccessTokenEdit")->text(), QString("TJT"));
        QCOMPARE(settings->tradeJiniAccessToken(), QString());  // stored only with OK
    }
    void angelOneLoginSavesTheWholeDialog()
    {
        server->setReply("POST", "/rest/auth/angelbroking/user/v1/loginByPassword",
                         HttpTestServer::Reply::json(R"({"status":true,"data":{"jwtToken":"JWT1","refreshToken":"R1","feedToken":"FEED1"}})"));
        server->setReply("GET", "/rest/secure/angelbroking/user/v1/getProfile",
                         HttpTestServer::Reply::json(R"({"status":true,"data":{}})"));
        settings->setProvider(SettingsManager::AngelOne);
        settings->saveSettings();
        restartPrompts = 0;
        make();
        fill({"angelOneApiKeyEdit=K", "angelOneClientCodeEdit=C", "angelOnePasswordEdit=P",
              "angelOneTotpEdit=123456", "upstoxApiKeyEdit=typed elsewhere"});
        w<QPushButton>("angelOneLoginButton")->click();
        QCOMPARE(w<QLabel>("angelOneStatusLabel")->text(), QString::fromUtf8("🔄 Logging in with password... Please wait"));
        QVERIFY(!w<QPushButton>("angelOneLoginButton")->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(settings->angelOneJwtToken(), QString("JWT1"), 10000);
        QCOMPARE(w<QLineEdit>("angelOneFeedTokenEdit")->text(), QString("FEED1"));
        QCOMPARE(settings->angelOneFeedToken(), QString("FEED1"));
        QCOMPARE(settings->upstoxApiKey(), QString("typed elsewhere"));
        QVERIFY(w<QPushButton>("angelOneLoginButton")->isEnabled());
        QCOMPARE(prompts->last().title, QString("Authentication Successful"));
        QCOMPARE(restartPrompts, 0);
    }
    void dhanLoginStatesAndSave()
    {
        server->setReply("POST", "/app/generate-consent", HttpTestServer::Reply::json(R"({"message":"app not found"})", 400));
        make();
        fill({"dhanApiKeyEdit=K", "dhanApiSecretEdit=S", "dhanClientIdEdit=1100"});
        w<QPushButton>("dhanAuthButton")->click();
        QCOMPARE(w<QLabel>("dhanStatusLabel")->text(), QString::fromUtf8("🔄 Initiating OAuth flow... Please check your browser"));
        QVERIFY(!w<QPushButton>("dhanAuthButton")->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(w<QLabel>("dhanStatusLabel")->text().startsWith(QString::fromUtf8("❌ Authentication failed: ")), 10000);
        QVERIFY(w<QPushButton>("dhanAuthButton")->isEnabled());
        QCOMPARE(prompts->last().title, QString("Authentication Failed"));

        // Success saves the whole dialog, including what was typed elsewhere.
        w<QLineEdit>("zerodhaApiKeyEdit")->setText("typed");
        emit dialog->dhanLogin()->authenticationSuccessful("DT", "ignored");
        QCOMPARE(w<QLineEdit>("dhanAccessTokenEdit")->text(), QString("DT"));
        QCOMPARE(settings->dhanAccessToken(), QString("DT"));
        QCOMPARE(settings->dhanClientId(), QString("1100"));
        QCOMPARE(settings->zerodhaApiKey(), QString("typed"));
        QCOMPARE(w<QLabel>("dhanStatusLabel")->text(), QString::fromUtf8("✅ Authenticated successfully"));
    }
    void upstoxLoginStoresItsToken()
    {
        make();
        fill({"upstoxApiKeyEdit=UK", "upstoxApiSecretEdit=US"});
        w<QPushButton>("upstoxAuthButton")->click();
        QCOMPARE(openedUrls.size(), 1);
        QVERIFY(!w<QPushButton>("upstoxAuthButton")->isEnabled());
        QSignalSpy changed(settings.get(), &SettingsManager::upstoxAccessTokenChanged);
        emit dialog->upstoxLogin()->authenticationSuccessful("UT");
        QCOMPARE(changed.count(), 1);
        QSettings stored(settings->settingsFilePath(), QSettings::IniFormat);
        QCOMPARE(stored.value("API/upstoxAccessToken").toString(), QString("UT"));
        QCOMPARE(settings->upstoxApiKey(), QString());  // only the token is stored at once
        QVERIFY(w<QPushButton>("upstoxAuthButton")->isEnabled());

        emit dialog->upstoxLogin()->authenticationFailed("denied");
        QCOMPARE(w<QLabel>("upstoxStatusLabel")->text(), QString::fromUtf8("❌ Authentication failed: denied"));
        QCOMPARE(prompts->last().type, QString("warning"));
    }
    void secretsStayOutOfTheLog()
    {
        LogCapture log(false);
        settings->setZerodhaApiSecret("SECRET-ZS");
        settings->setZerodhaAccessToken("TOKEN-ZT");
        settings->setFyersAccessToken("TOKEN-FY");
        make();
        QMetaObject::invokeMethod(dialog, "onZerodhaAuthSuccess", Q_ARG(QString, "TOKEN-NEW"));
        QMetaObject::invokeMethod(dialog, "onFyersAuthSuccess", Q_ARG(QString, "TOKEN-FY2"));
        for (const QString& m : log.messages()) {
            QVERIFY2(!m.contains("SECRET-") && !m.contains("TOKEN-"), qPrintable(m));
        }
        QVERIFY(log.contains("Zerodha authentication successful, access token received:"));
    }
    // Last: the restart prompt quits the application, after which no event loop runs here.
    void newProviderIsOnDiskBeforeTheRestartPrompt()
    {
        settings->setProvider(SettingsManager::Zerodha);
        settings->saveSettings();
        settings->setActiveProvider(SettingsManager::Zerodha);  // as the window sets it at start-up
        const QString file = settings->settingsFilePath();
        const QString copy = file + ".copy";
        QStringList seen;  // provider|custom URL in the file, read afresh while the box is up
        settings->setRestartPrompt([&](const QString& title, const QString&) {
            QFile::remove(copy);
            QSettings disk(QFile::copy(file, copy) ? copy : QString(), QSettings::IniFormat);
            seen << title + "|" + disk.value("API/provider").toString() + "|" + disk.value("API/customUrl").toString();
        });
        make();
        w<QComboBox>("providerCombo")->setCurrentIndex(SettingsManager::CustomAPI);
        fill({"customUrlEdit=http://127.0.0.1:9/q"});
        pressOk();
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        QCOMPARE(seen, QStringList{"Restart Required|6|http://127.0.0.1:9/q"});
    }

private:
    SettingsDialog* make()
    {
        delete dialog;
        dialog = new SettingsDialog(settings.get(), nullptr, prompts.get());
        SettingsDialog::Delays d;
        d.zerodhaFallbackMs = 0;
        d.fyersCodeMs = 0;
        dialog->setDelays(d);
        const QString base = server->baseUrl();
        dialog->setLoginObjectHook([base](QObject* login) { pointLoginAt(login, base); });
        return dialog;
    }
    template <typename T> T* w(const char* name) { return dialog->findChild<T*>(QLatin1String(name)); }
    // Types into line edits, each given as "objectName=text".
    void fill(const QStringList& fields)
    {
        for (const QString& f : fields) {
            const int eq = f.indexOf('=');
            w<QLineEdit>(f.left(eq).toLatin1().constData())->setText(f.mid(eq + 1));
        }
    }
    QPushButton* button(const QString& text)
    {
        for (QPushButton* b : dialog->findChildren<QPushButton*>()) {
            if (b->text() == text)
                return b;
        }
        return nullptr;
    }
    void pressOk() { w<QDialogButtonBox>("buttonBox")->button(QDialogButtonBox::Ok)->click(); }
    static void sendRedirect(quint16 port, const QByteArray& target)
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(socket.waitForConnected(5000));
        socket.write("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        QVERIFY(socket.waitForBytesWritten(5000));
        QTRY_VERIFY_WITH_TIMEOUT(socket.bytesAvailable() > 0 || socket.state() != QAbstractSocket::ConnectedState, 5000);
        QVERIFY(socket.readAll().startsWith("HTTP/1.1 200"));
    }

    std::unique_ptr<TestEnvironment> env;
    std::unique_ptr<SettingsManager> settings;
    std::unique_ptr<ScriptedDialogPrompts> prompts;
    std::unique_ptr<HttpTestServer> server;
    SettingsDialog* dialog = nullptr;
    QList<QUrl> openedUrls;
    int restartPrompts = 0;
};

QTEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
