// The main window over a loopback "Custom API" quote service, as a new user meets it: quotes in
// their rows, removed symbols leaving the poll, and the truth when the service fails (label,
// one box per kind of failure, status line, one request per symbol at a time, the timeout).
#include "brokers/BrokerAPI.h"
#include "brokers/HistoricalDownloader.h"
#include "brokers/LiveFeeder.h"
#include "core/DataManager.h"
#include "support/HttpTestServer.h"
#include "support/OfflineWindow.h"
#include "ui/ElidedLabel.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

class TestQuotePollWindow : public QObject, protected WindowFixture
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(openHome("QuotePollWindowTest")); }
    void init()
    {
        freshState();
        mode = "good";
        typosKnown = false;
        quotes = std::make_unique<HttpTestServer>();
        QVERIFY(quotes->listen());
        // Each symbol has its own quote; only requests with the key are answered.
        quotes->setResponder([this](const HttpTestServer::Request& r) {
            if (r.header("X-API-Key") != "custom-key-123")
                return HttpTestServer::Reply::json("{}", 401);
            if (mode == "503")
                return HttpTestServer::Reply::json("{}", 503);
            if (mode == "html")
                return HttpTestServer::Reply::bytes("<html>busy</html>", "text/html");
            if (mode == "slow")
                return HttpTestServer::Reply::silent();
            if (mode == "held")
                return HttpTestServer::Reply::hold();
            if (r.query.queryItemValue("symbol").startsWith("SBINN") && !typosKnown)  // typos the service does not know
                return HttpTestServer::Reply::json(R"({"error":"unknown symbol"})", 404);
            if (r.query.queryItemValue("symbol") == "ACME")
                return HttpTestServer::Reply::json(R"({"symbol":"ACME","price":123.45,"open":120,)"
                                                   R"("high":125,"low":119.5,"volume":5000})");
            return HttpTestServer::Reply::json(R"({"price":77.5})");  // no open, no symbol
        });
    }
    void cleanup() { dropState(); }

    void quotesReachRows()
    {
        auto w = makeWindow({});
        QVERIFY(!w->brokerFacade()->implementation());
        // The configured provider shows from the start, though nothing is connected yet.
        QCOMPARE(w->statusBar()->findChildren<QLabel*>().at(1)->text(), QString("Broker: Custom API"));
        // With its URL and key set, the Custom API has no login to run and says so.
        QMetaObject::invokeMethod(w.get(), "onQuickAuthAction");
        QCOMPARE(prompts->kinds(), QStringList{"information"});
        QVERIFY(prompts->texts("information").first().startsWith("Custom API needs no login"));
        prompts->shown.clear();

        // Connected with nothing to poll yet: the status says what to do.
        QMetaObject::invokeMethod(w.get(), "onConnectAction");
        QCOMPARE(windowStatus(*w),
                 QString("Custom API is ready: add symbols with Quick Add, then press Start Feed."));

        // Without an instrument master, quick add takes the typed text as the symbol.
        auto* search = w->findChild<QLineEdit*>("symbolSearchEdit");
        for (const char* typed : {"acme", "zed", "acme"}) {
            search->setText(typed);
            QMetaObject::invokeMethod(w.get(), "onSymbolSearchTriggered");
        }
        QCOMPARE(windowStatus(*w), QString("'ACME' is already in your watchlist."));
        QCOMPARE(settings->watchlistForBroker("Custom API"), (QStringList{"ACME", "ZED"}));

        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QVERIFY(prompts->shown.isEmpty());
        QTableWidget* tb = watchlistTable(*w);
        QTRY_COMPARE_WITH_TIMEOUT(tb->item(0, 1)->text(), QString("123.45"), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(tb->item(1, 1)->text(), QString("77.50"), 15000);
        QCOMPARE(tb->item(0, 2)->text(), QString("3.45"));
        QCOMPARE(tb->item(0, 7)->text(), QString("5,000"));
        QCOMPARE(tb->item(1, 2)->text(), QString("--"));  // no open: no change to show
        QCOMPARE(w->dataStore()->latestTick("ACME").ltp, 123.45);
        QCOMPARE(connectionLabel(*w)->text(), QString("Connected"));

        // A removed symbol leaves the poll at once. A request sent just before may still arrive;
        // after two more rounds none can.
        prompts->answers = {QMessageBox::Yes};
        tb->cellWidget(0, 9)->findChildren<QPushButton*>().last()->click();  // Remove
        for (int i = 0; i < 2; ++i) {
            quotes->clearRequests();
            QTRY_VERIFY_WITH_TIMEOUT(requestsFor("ZED") >= 2, 15000);
        }
        QCOMPARE(requestsFor("ACME"), 0);
        QVERIFY(w->feeder()->statusText().startsWith("Running - 1 symbol, "));
        prompts->answers = {QMessageBox::Yes};
        QMetaObject::invokeMethod(w.get(), "onClearSymbols");
        QVERIFY(w->brokerFacade()->subscribed().isEmpty());
        QVERIFY(w->feeder()->statusText().startsWith("Running - 0 symbols"));

        // With its date fields shown the window still fits a 1366 px wide screen.
        auto* range = w->findChild<QComboBox*>("dateRangeCombo");
        range->setCurrentIndex(range->findText("Custom Range"));
        QVERIFY(w->findChild<QWidget*>("fromDateEdit")->isVisibleTo(w.get()));
        QVERIFY2(w->minimumSizeHint().width() <= 1366, qPrintable(QString::number(w->minimumSizeHint().width())));

        // Stop says the poll is off and how to resume.
        QMetaObject::invokeMethod(w.get(), "onStopLiveFeed");
        QCOMPARE(connectionLabel(*w)->text(), QString("Disconnected"));
        QCOMPARE(windowStatus(*w), QString("Live feed stopped. Press Start Feed to poll Custom API again."));
        QVERIFY(w->findChild<QPushButton*>("startLiveFeedBtn")->isEnabled());
    }
    void failureTold_data()
    {
        QTest::addColumn<QString>("failure");  // the service's mode, or "refused" / "wrong key"
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("box");  // the start of the one error box
        QTest::newRow("refused") << "refused" << "Custom API: not reachable"
                                 << "Custom API: the quote service at http://127.0.0.1:1 is not reachable";
        QTest::newRow("wrong key") << "wrong key" << "Custom API: key refused"
                                   << "Custom API: the quote service refused the API key (HTTP 401).\n"
                                      "Check the API key in Settings.";
        QTest::newRow("outage") << "503" << "Custom API: HTTP 503"
                                << "Custom API: the quote service at %1 answered HTTP 503";
        QTest::newRow("not json") << "html" << "Custom API: not JSON"
                                  << "Custom API: the reply of the quote service is not JSON";
        QTest::newRow("slow") << "slow" << "Custom API: timed out"
                              << "Custom API: the quote service at %1 sent no reply within 1 s.";
    }
    void failureTold()
    {
        QFETCH(QString, failure);
        QFETCH(QString, label);
        QFETCH(QString, box);
        box.replace("%1", quotes->baseUrl());
        settings->setRequestTimeout(failure == "slow" ? 1 : 15);  // only the silent service waits short
        auto w = makeWindow({"ACME", "BETA", "GAMMA"});
        const auto fail = [&] {
            if (failure == "refused")
                settings->setCustomUrl("http://127.0.0.1:1");
            else if (failure == "wrong key")
                settings->setApiKey("stale-key");
            else
                mode = failure;
        };
        fail();
        BrokerAPI* facade = w->brokerFacade();
        QSignalSpy failures(facade, &BrokerAPI::quoteFailed);
        // Until a symbol's request ends no other one is sent for it, however often the poll runs.
        int requestsAtFirstFailure = -1;
        connect(facade, &BrokerAPI::quoteFailed, this, [&] {
            if (requestsAtFirstFailure < 0)
                requestsAtFirstFailure = quotes->requestCount();
        });
        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");

        // Two rounds of three symbols fail: one box, the label and the status line tell why.
        QTRY_VERIFY_WITH_TIMEOUT(failures.count() >= 6, 15000);
        QCOMPARE(prompts->texts("error").size(), 1);
        QVERIFY2(prompts->texts("error").first().startsWith(box), qPrintable(prompts->texts("error").first()));
        QCOMPARE(connectionLabel(*w)->text(), label);
        QCOMPARE(connectionLabel(*w)->styleSheet(), QString("color: red;"));
        QVERIFY(windowStatus(*w).startsWith("Error: Custom API: "));
        // The feed stays started: Stop is the way out.
        QVERIFY(w->feeder()->isRunning());
        QVERIFY(w->findChild<QPushButton*>("stopLiveFeedBtn")->isEnabled());
        if (failure == "slow")
            QCOMPARE(requestsAtFirstFailure, 3);

        // The next good reply connects again; the same failure afterwards is told again.
        settings->setCustomUrl(quotes->baseUrl());
        settings->setApiKey("custom-key-123");
        mode = "good";
        QTRY_COMPARE_WITH_TIMEOUT(connectionLabel(*w)->text(), QString("Connected"), 15000);
        prompts->closeErrorBoxes();
        fail();
        QTRY_COMPARE_WITH_TIMEOUT(prompts->texts("error").size(), 2, 15000);
    }

    // One symbol the service does not know, among good ones: one box naming it, once, while the
    // others stream and the label says so.
    void unknownSymbolToldOnce()
    {
        auto w = makeWindow({"SBIN", "SBINN", "TCS"});
        QSignalSpy failures(w->brokerFacade(), &BrokerAPI::quoteFailed);
        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QTableWidget* tb = watchlistTable(*w);
        QTRY_COMPARE_WITH_TIMEOUT(tb->item(0, 1)->text(), QString("77.50"), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(tb->item(2, 1)->text(), QString("77.50"), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(failures.count() >= 2, 15000);
        QCOMPARE(prompts->texts("error").size(), 1);
        QVERIFY2(prompts->texts("error").first().startsWith("SBINN: the service does not know this symbol (HTTP 404)"),
                 qPrintable(prompts->texts("error").first()));
        QCOMPARE(connectionLabel(*w)->text(), QString("Streaming 2 of 3 symbols; SBINN fails"));
        QCOMPARE(connectionLabel(*w)->styleSheet(), QString("color: #e65100;"));

        // Dismissed, it stays dismissed while the symbol keeps failing and the others answer.
        prompts->closeErrorBoxes();
        const int seen = failures.count();
        QTRY_VERIFY_WITH_TIMEOUT(failures.count() >= seen + 3, 15000);
        QCOMPARE(prompts->texts("error").size(), 1);
        QCOMPARE(connectionLabel(*w)->text(), QString("Streaming 2 of 3 symbols; SBINN fails"));

        // Removed from the watchlist, it no longer fails: the label is plain again.
        prompts->answers = {QMessageBox::Yes};
        tb->cellWidget(1, 9)->findChildren<QPushButton*>().last()->click();  // Remove
        QTRY_COMPARE_WITH_TIMEOUT(connectionLabel(*w)->text(), QString("Connected"), 15000);
        QCOMPARE(connectionLabel(*w)->styleSheet(), QString("color: green;"));
    }

    // A symbol that answers again leaves the label, and Stop forgets the symbols that failed: a
    // new start names none of them before its own replies do.
    void symbolAnsweringAgainLeavesTheLabel()
    {
        auto w = makeWindow({"SBIN", "SBINN"});
        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QTRY_COMPARE_WITH_TIMEOUT(connectionLabel(*w)->text(), QString("Streaming 1 of 2 symbols; SBINN fails"), 15000);
        typosKnown = true;
        QTRY_COMPARE_WITH_TIMEOUT(connectionLabel(*w)->text(), QString("Connected"), 15000);
        QCOMPARE(connectionLabel(*w)->styleSheet(), QString("color: green;"));

        typosKnown = false;
        QTRY_COMPARE_WITH_TIMEOUT(connectionLabel(*w)->text(), QString("Streaming 1 of 2 symbols; SBINN fails"), 15000);
        QMetaObject::invokeMethod(w.get(), "onStopLiveFeed");
        QCOMPARE(connectionLabel(*w)->text(), QString("Disconnected"));
        QVERIFY(w->brokerFacade()->failingSymbols().isEmpty());
        mode = "slow";  // no reply of the new start comes while the label is read
        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QCOMPARE(connectionLabel(*w)->text(), QString("Connected"));
    }

    // Several unknown symbols (as a wrong address makes of them all) open no pile of boxes: while
    // one is open the label names the others.
    void unknownSymbolsShareOpenBox()
    {
        auto w = makeWindow({"SBINN", "SBIN", "SBINN2", "SBINN3"});
        QSignalSpy failures(w->brokerFacade(), &BrokerAPI::quoteFailed);
        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QTRY_VERIFY_WITH_TIMEOUT(failures.count() >= 6, 15000);
        QTRY_COMPARE_WITH_TIMEOUT(connectionLabel(*w)->text(), QString("Streaming 1 of 4 symbols; SBINN, SBINN2, SBINN3 fail"), 15000);
        QCOMPARE(prompts->texts("error").size(), 1);
        QVERIFY(prompts->texts("error").first().contains("check the Custom URL in Settings"));
    }

    // Long names of failing symbols neither widen the window nor change the label's size; the
    // label reads whole on hover.
    void failingNamesKeepTheWindowsWidth()
    {
        auto w = makeWindow({"SBIN", "SBINN:BAJAJ-AUTO-EQ", "SBINN:ICICIPRULI-EQ", "SBINN:HDFCLIFE-EQ", "TCS"});
        w->resize(1000, 700);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QLabel* label = connectionLabel(*w);
        QTRY_COMPARE_WITH_TIMEOUT(w->width(), 1000, 5000);
        const QSize size = label->size();
        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QTRY_VERIFY_WITH_TIMEOUT(label->text().contains("SBINN:HDFCLIFE-EQ"), 15000);
        QCoreApplication::processEvents();  // the layout the text would have asked for
        QCOMPARE(label->size(), size);
        QCOMPARE(w->width(), 1000);
        auto* elided = qobject_cast<ElidedLabel*>(label);
        QVERIFY(elided && elided->isElided());
        QCOMPARE(elided->hoverText(), label->text());
        // Cut, but never so far that the count of streaming symbols is lost.
        QVERIFY2(label->width() >= label->fontMetrics().horizontalAdvance("Streaming 10 of 10"),
                 qPrintable(QString::number(label->width())));
    }

    // A service that takes its time: Stop closes the quote requests on their way at once (no
    // box, no failing symbol), and a Start right after sends its own at once, although the network
    // stack opens no more than six connections to one host. A history request keeps its own life.
    void stopEndsQuotesOnTheirWay()
    {
        settings->setRequestTimeout(120);  // only Stop can end the quotes within the test's waits
        const QStringList symbols{"ACME", "BETA", "GAMMA", "DELTA", "EPSI", "ZETA"};
        auto w = makeWindow(symbols);
        mode = "held";
        HistoricalDownloader* downloads = w->downloader();
        QSignalSpy downloaded(downloads, &HistoricalDownloader::downloadCompleted);
        QSignalSpy failed(downloads, &HistoricalDownloader::downloadFailed);
        downloads->downloadHistoricalData("ACME", QDate::currentDate().addDays(-5), QDate::currentDate(), "day");
        QTRY_COMPARE_WITH_TIMEOUT(quotes->requestCount(), 1, 5000);
        const int historyRequest = 0;
        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        // Five quotes reach the service; the sixth waits for one of the six connections to it.
        QTRY_COMPARE_WITH_TIMEOUT(quotes->requestCount(), 6, 5000);

        QMetaObject::invokeMethod(w.get(), "onStopLiveFeed");
        QTRY_COMPARE_WITH_TIMEOUT(quotes->openConnections(), 1, 5000);  // the history request's
        QCoreApplication::processEvents();
        QVERIFY(prompts->shown.isEmpty());
        QVERIFY(w->brokerFacade()->failingSymbols().isEmpty());
        QCOMPARE(connectionLabel(*w)->text(), QString("Disconnected"));
        QCOMPARE(windowStatus(*w), QString("Live feed stopped. Press Start Feed to poll Custom API again."));

        mode = "good";
        quotes->clearRequests();
        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QTRY_VERIFY_WITH_TIMEOUT(quotes->requestCount() >= symbols.size(), 5000);
        QTableWidget* tb = watchlistTable(*w);
        for (int row = 0; row < symbols.size(); ++row)
            QTRY_VERIFY_WITH_TIMEOUT(tb->item(row, 1)->text() != "--" && !tb->item(row, 1)->text().isEmpty(), 5000);
        QCOMPARE(connectionLabel(*w)->text(), QString("Connected"));

        const QByteArray bars = R"({"data":[{"open":1,"high":2,"low":0.5,"close":1.5,"date":"2024-03-15"}]})";
        QVERIFY(quotes->answerHeld(historyRequest, HttpTestServer::Reply::json(bars)));
        QTRY_COMPARE_WITH_TIMEOUT(downloaded.count(), 1, 5000);
        QCOMPARE(failed.count(), 0);
        QVERIFY(prompts->shown.isEmpty());
    }

    // Two history requests while the service is down: one box, in plain words.
    void historyFailuresToldOnce()
    {
        auto w = makeWindow({"ACME"});
        mode = "503";
        HistoricalDownloader* downloads = w->downloader();
        downloads->setPacingInterval(10);
        QSignalSpy failed(downloads, &HistoricalDownloader::downloadFailed);
        const QDate today = QDate::currentDate();
        downloads->downloadHistoricalData("ACME", today.addDays(-5), today, "day");
        downloads->downloadHistoricalData("BETA", today.addDays(-5), today, "day");
        QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 2, 15000);
        QCoreApplication::processEvents();  // queued box requests, had there been any
        QCOMPARE(prompts->texts("error").size(), 1);
        const QString box = prompts->texts("error").first();
        QVERIFY2(box.startsWith(QString("Custom API: the quote service at %1 answered HTTP 503").arg(quotes->baseUrl())),
                 qPrintable(box));
        QVERIFY2(!box.contains("symbol=") && !box.contains("Error transferring"), qPrintable(box));
        QCOMPARE(failed.last().at(2).toString(), box);  // the downloader fails with the same words
    }

private:
    // A window on the "Custom API" with these symbols, polling every 20 ms.
    std::unique_ptr<MainWindow> makeWindow(const QStringList& symbols)
    {
        settings->setProvider(SettingsManager::CustomAPI);
        settings->setApiKey("custom-key-123");
        settings->setCustomUrl(quotes->baseUrl());
        settings->setCurrentBroker("Custom API");
        settings->setWatchlistForBroker("Custom API", symbols);
        auto w = std::make_unique<MainWindow>(recordingSeams());
        finishStartup(*w);
        w->brokerFacade()->setPollInterval(20);
        return w;
    }
    QLabel* connectionLabel(MainWindow& w) const { return w.statusBar()->findChildren<QLabel*>().first(); }
    int requestsFor(const QString& symbol) const
    {
        int n = 0;
        for (const HttpTestServer::Request& r : quotes->requests())
            n += r.query.queryItemValue("symbol") == symbol;
        return n;
    }

    std::unique_ptr<HttpTestServer> quotes;  // fresh per test: no late request of the last one
    QString mode;  // what the service does: "good", "503", "html", "slow", "held" (until the test answers)
    bool typosKnown = false;  // the service knows the SBINN symbols after all
};

QTEST_MAIN(TestQuotePollWindow)
#include "tst_quotepollwindow.moc"
