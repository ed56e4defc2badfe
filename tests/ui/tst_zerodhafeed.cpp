// The whole Zerodha road through the real window: a loopback stream in the broker's binary format
// fills the watchlist row and AmiBroker's live file, and a history backfill against a loopback
// candle service writes the symbol's bars.
#include "amibroker/CSVExporter.h"
#include "brokers/zerodha/ZerodhaBroker.h"
#include "ui/AlertWindow.h"
#include "support/HttpTestServer.h"
#include "support/OfflineWindow.h"
#include "support/RefusingHttpServer.h"
#include "support/TestFiles.h"
#include "support/WebSocketTestServer.h"
#include "support/ZerodhaFrames.h"

#include <QFile>
#include <QPushButton>
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

        settings->setCurrentBroker("Zerodha");
        settings->setWatchlistForBroker("Zerodha", {"408065"});
        settings->cacheSymbolName("408065", "RELIANCE");
        settings->setHistoricalTimeframe("day");
        settings->setHistoricalDateRange("Last 30 Days");
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

private:
    // A Zerodha window, logged in, whose connector talks to the given loopback hosts.
    std::unique_ptr<MainWindow> window(const QString& streamUrl, const QString& restUrl, int subscribeDelayMs = 500)
    {
        settings->setProvider(SettingsManager::Zerodha);
        settings->setZerodhaApiKey("KEY");
        settings->setZerodhaAccessToken("TOK");
        settings->saveSettings();
        MainWindowSeams seams = offlineWindowSeams(prompts);
        seams.autoSubscribeDelayMs = subscribeDelayMs;
        seams.brokerFactory = [streamUrl, restUrl](int, QObject* parent) -> IBroker* {
            return new LoopbackZerodha(streamUrl, restUrl, parent);
        };
        return std::make_unique<MainWindow>(seams);
    }
};

QTEST_MAIN(TestZerodhaFeed)
#include "tst_zerodhafeed.moc"
