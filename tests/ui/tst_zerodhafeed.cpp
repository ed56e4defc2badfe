// The whole Zerodha road through the real window: a loopback stream in the broker's binary format
// fills the watchlist row and AmiBroker's live file, a history backfill against a loopback
// candle service writes the symbol's bars, and bars or a refusal that come after their request was
// given up are written and told nowhere.
#include "amibroker/CSVExporter.h"
#include "brokers/HistoricalDownloader.h"
#include "brokers/zerodha/ZerodhaBroker.h"
#include "core/DataManager.h"
#include "ui/AlertWindow.h"
#include "support/HttpTestServer.h"
#include "support/OfflineWindow.h"
#include "support/RefusingHttpServer.h"
#include "support/TestFiles.h"
#include "support/WebSocketTestServer.h"
#include "support/ZerodhaFrames.h"

#include <QFile>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// The real connector, with the stream and candle hosts the window configures replaced by loopback
// peers.
class LoopbackZerodha : public ZerodhaBroker {
public:
    LoopbackZerodha(const QString& streamUrl, const QString& restUrl, QObject* parent)
        : ZerodhaBroker(parent), stream(streamUrl)
    {
        setRestBaseUrl(restUrl);
    }
    void initialize(const QMap<QString, QString>& config) override
    {
        QMap<QString, QString> local = config;
        local.insert("ws_url", stream);
        ZerodhaBroker::initialize(local);
    }

private:
    QString stream;
};

}  // namespace

class TestZerodhaFeed : public QObject, protected WindowFixture {
    Q_OBJECT

    // Zerodha, with RELIANCE (408065) in the watchlist and daily bars of the last 30 days asked for.
    void watchRelianceDaily()
    {
        settings->setCurrentBroker("Zerodha");
        settings->setWatchlistForBroker("Zerodha", {"408065"});
        settings->cacheSymbolName("408065", "RELIANCE");
        settings->setHistoricalTimeframe("day");
        settings->setHistoricalDateRange("Last 30 Days");
    }

private slots:
    void initTestCase() { QVERIFY(openHome("ZerodhaFeedTest")); }
    void init() { freshState(); }
    void cleanup() { dropState(); }
    void streamAndBackfillReachAmiBroker()
    {
        WebSocketTestServer stream;
        HttpTestServer candles;
        QVERIFY(stream.listen() && candles.listen());
        QTemporaryDir csvDir;
        QVERIFY(csvDir.isValid());

        watchRelianceDaily();
        auto owner = window(stream.baseUrl() + "/", candles.baseUrl(), 10);
        MainWindow& w = *owner;
        w.exporter()->setExportDir(csvDir.path());
        w.repository()->addSymbol("RELIANCE", "408065", "NSE", "EQ");

        // Connected at start-up; the watchlist is subscribed once the connection has settled.
        QTRY_VERIFY_WITH_TIMEOUT(stream.textMessages().contains("{\"a\":\"mode\",\"v\":[\"full\",[408065]]}"), 10000);
        QCOMPARE(stream.connectionUrls().value(0).query(), QString("api_key=KEY&access_token=TOK"));

        // Full packet: token, last, qty, average, volume, buy and sell qty, open, high, low, close, trade time.
        const auto now = quint32(QDateTime::currentSecsSinceEpoch());
        stream.sendBinary(ZerodhaFrames::message(
            {ZerodhaFrames::packet({408065, 250010, 10, 0, 123456, 0, 0, 249000, 251000, 248500, 0, now}, 184)}));

        QTableWidget* table = watchlistTable(w);
        QVERIFY(table);
        QTRY_VERIFY_WITH_TIMEOUT(table->item(0, 1) && table->item(0, 1)->text() == "2500.10", 10000);
        QCOMPARE(table->item(0, 2)->text(), QString("10.10"));
        QCOMPARE(table->item(0, 4)->text(), QString("2490.00"));
        const QString live = w.exporter()->liveDataFilePath();
        QTRY_VERIFY_WITH_TIMEOUT(TestFiles::readAll(live).contains("RELIANCE,"), 10000);
        QVERIFY2(TestFiles::readAll(live).contains("2500.10"), TestFiles::readAll(live).constData());

        // Backfill from the row: the broker's day candles land in AmiBroker's file under the symbol.
        candles.setReply("GET", "/instruments/historical/408065/day",
                         HttpTestServer::Reply::json(R"({"status":"success","data":{"candles":[)"
                                                     R"(["2024-03-01T00:00:00+0530",2400,2450,2390,2433.35,900000,0]]}})"));
        for (QPushButton* b : table->cellWidget(0, 9)->findChildren<QPushButton*>()) {
            if (b->text() == "Load History")
                b->click();
        }
        QTRY_VERIFY_WITH_TIMEOUT(TestFiles::readAll(live).contains("2433.35"), 10000);
        QCOMPARE(candles.requestCount(), 1);
        QCOMPARE(candles.lastRequest().header("Authorization"), QByteArray("token KEY:TOK"));
    }

    void refusedTokenRaisesAlert()
    {
        RefusingHttpServer refuser("HTTP/1.1 403 Forbidden");
        QVERIFY(refuser.listen());
        auto w = window(refuser.wsUrl() + "/", "http://127.0.0.1:1");
        const auto alerts = [] {
            QList<AlertWindow*> out;
            for (QWidget* top : QApplication::topLevelWidgets()) {
                if (auto* a = qobject_cast<AlertWindow*>(top); a && a->isVisible())
                    out << a;
            }
            return out;
        };
        QTRY_COMPARE_WITH_TIMEOUT(alerts().size(), 1, 10000);
        AlertWindow* alert = alerts().first();
        QCOMPARE(alert->windowTitle(), QString("Token Expired"));
        QVERIFY(!alert->isModal() && !alert->parentWidget());
        QCOMPARE(alert->findChild<QLabel*>()->text(), QString("Your access token has expired. Please authenticate again."));
        QPointer<AlertWindow> gone(alert);
        alert->close();
        QTRY_VERIFY_WITH_TIMEOUT(gone.isNull(), 5000);  // deleted on close
    }

    // The daily backfill is refused as too many and given up by the queue's watchdog; its retry is
    // answered while a minute request of the same symbol runs. Those daily bars answer nothing any
    // more: not AmiBroker's file, the stores, the status line, nor the box that the next failure
    // of the same kind would open.
    void answerAfterTheRequestEndedReachesNobody()
    {
        WebSocketTestServer stream;
        HttpTestServer candles;
        QVERIFY(stream.listen() && candles.listen());
        QTemporaryDir csvDir;
        QVERIFY(csvDir.isValid());
        watchRelianceDaily();
        QList<std::function<void()>> retries;
        QPointer<ZerodhaBroker> connector;
        auto owner = window(stream.baseUrl() + "/", candles.baseUrl(), 10, [&](ZerodhaBroker* z) {
            connector = z;
            z->setHistoryRetryTimer([&retries](int, std::function<void()> retry) { retries << retry; });
        });
        MainWindow& w = *owner;
        w.exporter()->setExportDir(csvDir.path());
        w.repository()->addSymbol("RELIANCE", "408065", "NSE", "EQ");
        w.downloader()->setPacingInterval(10);
        QTRY_VERIFY_WITH_TIMEOUT(stream.textMessages().contains("{\"a\":\"mode\",\"v\":[\"full\",[408065]]}"), 10000);
        QVERIFY(connector);
        QSignalSpy completed(w.downloader(), &HistoricalDownloader::downloadCompleted);
        QSignalSpy downloaded(w.downloader(), &HistoricalDownloader::historyDownloaded);
        const auto historyBoxes = [this] {
            int n = 0;
            for (const WindowPrompts::Shown& s : qAsConst(prompts->shown))
                n += s.kind == "error" && s.text.startsWith("No history for RELIANCE:");
            return n;
        };

        candles.queueReply("GET", "/instruments/historical/408065/day",
                           HttpTestServer::Reply::json(R"({"status":"error","message":"Too many requests",)"
                                                       R"("error_type":"NetworkException"})",
                                                       429));
        candles.queueReply("GET", "/instruments/historical/408065/day",
                           HttpTestServer::Reply::json(R"({"status":"success","data":{"candles":[)"
                                                       R"(["2024-03-01T00:00:00+0530",2400,2450,2390,2433.35,900000,0]]}})"));
        candles.setReply("GET", "/instruments/historical/408065/minute", HttpTestServer::Reply::silent());
        w.downloader()->setRequestTimeout(300);
        QTableWidget* table = watchlistTable(w);
        QVERIFY(table);
        for (QPushButton* b : table->findChildren<QPushButton*>()) {
            if (b->text() == "Load History")
                b->click();
        }
        // The watchdog's failure is told: a box, and the status line no longer says "requested".
        QTRY_COMPARE_WITH_TIMEOUT(historyBoxes(), 1, 10000);
        QCOMPARE(windowStatus(w), QString("Error: No history for RELIANCE: Historical data request timed out: no "
                                          "reply within 300 ms"));
        QTRY_COMPARE_WITH_TIMEOUT(retries.size(), 1, 10000);  // the refusal may come after the watchdog
        prompts->closeErrorBoxes();

        w.downloader()->setRequestTimeout(60000);
        const QDate today = QDate::currentDate();
        QVERIFY(!w.downloader()->downloadHistoricalData("408065", today.addDays(-1), today, "minute").isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(candles.requestsTo("/instruments/historical/408065/minute").size(), 1, 10000);

        const QString status = windowStatus(w);
        QSignalSpy answered(connector.data(), &IBroker::historyAnswered);
        retries.takeFirst()();
        QVERIFY(answered.wait(10000));
        QCOMPARE(answered.at(0).at(2).value<QList<OHLCData>>().size(), 1);
        QVERIFY(!TestFiles::readAll(w.exporter()->liveDataFilePath()).contains("2433.35"));
        QCOMPARE(windowStatus(w), status);
        QCOMPARE(completed.size(), 0);
        QCOMPARE(downloaded.size(), 0);
        QVERIFY(!w.dataStore()->availableSymbols().contains("408065"));
        QCOMPARE(w.downloader()->activeSymbols(), QStringList{"408065"});

        // The minute request times out too: the same kind of failure, told on the status line only.
        w.downloader()->setRequestTimeout(50);
        QTRY_VERIFY_WITH_TIMEOUT(windowStatus(w).endsWith("no reply within 50 ms"), 10000);
        QCOMPARE(historyBoxes(), 1);
    }

    // The daily backfill is given up by the queue's watchdog; its retry is refused by the service
    // while a minute request of the same symbol runs. That refusal is no one's: the minute request
    // goes on, and neither a box nor the status line tells it. The minute request's own refusal is
    // told once, in the connector's words.
    void refusalAfterTheRequestEndedIsToldToNoOne()
    {
        WebSocketTestServer stream;
        HttpTestServer candles;
        QVERIFY(stream.listen() && candles.listen());
        watchRelianceDaily();
        QList<std::function<void()>> retries;
        QPointer<ZerodhaBroker> connector;
        auto owner = window(stream.baseUrl() + "/", candles.baseUrl(), 10, [&](ZerodhaBroker* z) {
            connector = z;
            z->setHistoryRetryTimer([&retries](int, std::function<void()> retry) { retries << retry; });
        });
        MainWindow& w = *owner;
        w.repository()->addSymbol("RELIANCE", "408065", "NSE", "EQ");
        w.downloader()->setPacingInterval(10);
        QTRY_VERIFY_WITH_TIMEOUT(stream.textMessages().contains("{\"a\":\"mode\",\"v\":[\"full\",[408065]]}"), 10000);
        QVERIFY(connector);
        QSignalSpy failed(w.downloader(), &HistoricalDownloader::downloadFailed);
        const auto errorBoxes = [this](const QString& start) {
            int n = 0;
            for (const WindowPrompts::Shown& s : qAsConst(prompts->shown))
                n += s.kind == "error" && s.text.startsWith(start);
            return n;
        };
        const QByteArray serverError =
            R"({"status":"error","message":"Internal server error","error_type":"GeneralException"})";

        candles.queueReply("GET", "/instruments/historical/408065/day",
                           HttpTestServer::Reply::json(R"({"status":"error","message":"Too many requests",)"
                                                       R"("error_type":"NetworkException"})",
                                                       429));
        candles.queueReply("GET", "/instruments/historical/408065/day", HttpTestServer::Reply::json(serverError, 500));
        candles.setReply("GET", "/instruments/historical/408065/minute", HttpTestServer::Reply::hold());
        w.downloader()->setRequestTimeout(300);
        QTableWidget* table = watchlistTable(w);
        QVERIFY(table);
        for (QPushButton* b : table->findChildren<QPushButton*>()) {
            if (b->text() == "Load History")
                b->click();
        }
        QTRY_COMPARE_WITH_TIMEOUT(errorBoxes("No history for RELIANCE:"), 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(retries.size(), 1, 10000);  // the refusal may come after the watchdog
        prompts->closeErrorBoxes();

        w.downloader()->setRequestTimeout(60000);
        const QDate today = QDate::currentDate();
        const QString minute = w.downloader()->downloadHistoricalData("408065", today.addDays(-1), today, "minute");
        QVERIFY(!minute.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(candles.requestsTo("/instruments/historical/408065/minute").size(), 1, 10000);

        const QString status = windowStatus(w);
        const int boxes = prompts->shown.size();
        QSignalSpy refused(connector.data(), &IBroker::historyFailed);
        QSignalSpy connectorErrors(connector.data(), &IBroker::errorOccurred);
        retries.takeFirst()();
        QTRY_COMPARE_WITH_TIMEOUT(refused.size() + connectorErrors.size(), 1, 10000);
        QCoreApplication::processEvents();  // the window tells errors from the event loop
        QCOMPARE(prompts->shown.size(), boxes);
        QCOMPARE(windowStatus(w), status);
        QCOMPARE(failed.size(), 1);  // the watchdog's
        QCOMPARE(w.downloader()->activeSymbols(), QStringList{"408065"});

        int minuteRequest = -1;
        for (int i = 0; i < candles.requestCount(); ++i) {
            if (candles.requests().at(i).path == "/instruments/historical/408065/minute")
                minuteRequest = i;
        }
        QVERIFY(candles.answerHeld(minuteRequest, HttpTestServer::Reply::json(serverError, 500)));
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 2, 10000);
        QCOMPARE(failed.last().at(0).toString(), minute);
        const QString text = failed.last().at(2).toString();
        QVERIFY2(text.startsWith("Zerodha history error for 408065:"), qPrintable(text));
        QTRY_COMPARE_WITH_TIMEOUT(errorBoxes(text), 1, 10000);
        QCOMPARE(windowStatus(w), "Error: " + text);
        QCoreApplication::processEvents();
        QCOMPARE(errorBoxes("Zerodha history error"), 1);
    }

private:
    // A Zerodha window, logged in, whose connector talks to the given loopback hosts; `made` sees
    // the connector as it is made.
    std::unique_ptr<MainWindow> window(const QString& streamUrl, const QString& restUrl, int subscribeDelayMs = 500,
                                       std::function<void(ZerodhaBroker*)> made = {})
    {
        settings->setProvider(SettingsManager::Zerodha);
        settings->setZerodhaApiKey("KEY");
        settings->setZerodhaAccessToken("TOK");
        settings->saveSettings();
        MainWindowSeams seams = offlineWindowSeams(prompts);
        seams.autoSubscribeDelayMs = subscribeDelayMs;
        seams.brokerFactory = [streamUrl, restUrl, made](int, QObject* parent) -> IBroker* {
            auto* connector = new LoopbackZerodha(streamUrl, restUrl, parent);
            if (made)
                made(connector);
            return connector;
        };
        return std::make_unique<MainWindow>(seams);
    }
};

QTEST_MAIN(TestZerodhaFeed)
#include "tst_zerodhafeed.moc"
