// The window's own Fyers socket and the Fyers connector's socket against one loopback peer that
// speaks the depth stream: what each sends, and that one market update reaches the watchlist and
// the live CSV file once, whichever socket carries the subscription.
#include "amibroker/CSVExporter.h"
#include "brokers/BrokerAPI.h"
#include "brokers/fyers/FyersBroker.h"
#include "support/FyersFrames.h"
#include "support/ListLookups.h"
#include "support/LogCapture.h"
#include "support/OfflineWindow.h"
#include "support/WebSocketTestServer.h"

#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>

using namespace FyersFrames;

namespace {

QByteArray sbinDepth(qint64 mid, bool snapshot)
{
    Feed f;
    f.ticker = "NSE:SBIN-EQ";
    f.depth = book(mid, 5);
    f.feedTime = 1741152602;
    return message({f}, snapshot);
}

}  // namespace

class TestFyersWindowStream : public QObject, protected WindowFixture
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(openHome("FyersWindowStreamTest")); }
    void init()
    {
        freshState();
        peer = std::make_unique<WebSocketTestServer>();
        exportDir = std::make_unique<QTemporaryDir>();
        QVERIFY(peer->listen());
        settings->setApiKey("feed-key");
        settings->setFyersClientId("FY1");
        settings->setFyersAppId("APP-100");
        settings->setFyersAccessToken("fy-token");
    }
    void cleanup()
    {
        peer.reset();
        dropState();
    }

    void connectorCarriesTheWatchlist()
    {
        settings->setProvider(SettingsManager::Fyers);
        settings->setWatchlistForBroker("Fyers", {"3045"});
        LogCapture log;
        // The window hands the connector its watchlist once the instrument records are in reach.
        settleMs = 2500;
        auto w = makeWindow(true);
        w->repository()->addSymbol("SBIN", "3045", "NSE", "EQ");
        QVERIFY(qobject_cast<FyersBroker*>(w->brokerFacade()->implementation()));

        // The connector opens its own socket with the client id and token in the upgrade request,
        // subscribes what the watchlist asks for in depth mode and resumes channel 1.
        QTRY_COMPARE_WITH_TIMEOUT(peer->clientCount(), 1, 5000);
        QCOMPARE(peer->connectionRequests().at(0).rawHeader("Authorization"), QByteArray("FY1:fy-token"));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("[MainWindow] Set SettingsManager on FyersBroker"),
                                 10000);
        QTRY_COMPARE_WITH_TIMEOUT(peer->textMessages().size(), 2, 5000);
        QCOMPARE(peer->textMessages(),
                 (QStringList{R"({"type":1,"data":{"subs":1,"mode":"depth","channel":"1","symbols":["NSE:SBIN-EQ"]}})",
                              R"({"type":2,"data":{"resumeChannels":["1"],"pauseChannels":[]}})"}));

        // The window's own socket opens beside it, with the same header, and subscribes nothing.
        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QTRY_COMPARE_WITH_TIMEOUT(peer->clientCount(), 2, 5000);
        const QNetworkRequest own = peer->connectionRequests().at(1);
        QCOMPARE(own.url().path(), QString("/versova"));
        QCOMPARE(own.rawHeader("Authorization"), QByteArray("FY1:fy-token"));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("[WebSocket] Successfully connected to \"Fyers\""), 5000);
        QMetaObject::invokeMethod(w.get(), "sendFyersPing");
        QTRY_VERIFY_WITH_TIMEOUT(peer->textMessages().contains("ping"), 5000);
        QCOMPARE(peer->textMessages().count("ping"), 1);
        QVERIFY(!peer->textMessages().join('\n').contains(R"("type":"auth")"));

        // The peer sends each update on both sockets: the row shows it, the live file has it once.
        sendTwoUpdates(*w, true);
        const qint64 ticks = w->ticksReceived();
        QTRY_COMPARE_WITH_TIMEOUT(w->fyersFramesSeen(), 2, 5000);
        QCOMPARE(w->ticksReceived(), ticks);  // the copies on the window's socket add nothing
        QCOMPARE(liveLines(*w, "SBIN"), 2);
    }
    void windowSocketCarriesItWithoutConnector()
    {
        // Started under the "Custom API" there is no connector: the window's own socket subscribes.
        settings->setProvider(SettingsManager::CustomAPI);
        settings->setWatchlistForBroker("Custom API", {"X"});
        settings->setWatchlistForBroker("Fyers", {"3045"});
        auto w = makeWindow(false);
        QVERIFY(!w->brokerFacade()->implementation());
        w->repository()->addSymbol("SBIN", "3045", "NSE", "EQ");
        ListLookups lookups({instrument("SBIN", "NSE", "3045")});
        w->setSymbolLookups(&lookups);
        settings->setProvider(SettingsManager::Fyers);
        emit w->brokerFacade()->connectionStatusChanged(true);

        QMetaObject::invokeMethod(w.get(), "onStartLiveFeed");
        QTRY_COMPARE_WITH_TIMEOUT(peer->textMessages().size(), 3, 5000);
        QVERIFY(peer->textMessages().at(1).contains(R"("symbols":["NSE:SBIN-EQ"])"));
        QVERIFY(peer->textMessages().at(2).contains(R"("resumeChannels":["1"])"));

        sendTwoUpdates(*w, false);
        QTableWidget* table = watchlistTable(*w);

        // A quote reply names its ticker and reaches that row; a plain reply changes nothing.
        peer->sendText(R"({"s":"ok","code":200,"message":"subscribed"})");
        peer->sendText(R"({"s":"ok","d":{"quotes":[{"symbol":"NSE:SBIN-EQ","lp":752.5,"o":749,"h":753,"l":748,"v":12}]}})");
        QTRY_COMPARE_WITH_TIMEOUT(table->item(0, 1)->text(), QString("752.50"), 5000);
        QVERIFY(prompts->texts("error").isEmpty());

        // Errors reach the user, as a protobuf message or as a JSON reply; neither is a tick.
        peer->sendBinary(errorMessage("invalid token"));
        QTRY_COMPARE_WITH_TIMEOUT(prompts->texts("error"), QStringList{"Fyers stream error: invalid token"}, 5000);
        peer->sendText(R"({"s":"error","code":-16,"message":"Could not authenticate the user"})");
        QTRY_COMPARE_WITH_TIMEOUT(prompts->texts("error").size(), 2, 5000);
        QCOMPARE(prompts->texts("error").last(), QString("Fyers stream error: Could not authenticate the user"));
        QCOMPARE(liveLines(*w, "SBIN"), 2);
        w->setSymbolLookups(nullptr);
    }

private:
    // A snapshot and an update of SBIN's book (a pong between them when asked): two ticks, the row
    // on the newer, two lines in the live file.
    void sendTwoUpdates(MainWindow& w, bool pong)
    {
        const qint64 ticksBefore = w.ticksReceived();
        peer->sendBinary(sbinDepth(75000, true));
        if (pong)
            peer->sendText("pong");
        peer->sendBinary(sbinDepth(75100, false));
        QTRY_COMPARE_WITH_TIMEOUT(watchlistTable(w)->item(0, 1)->text(), QString("751.00"), 5000);
        QCOMPARE(w.ticksReceived(), ticksBefore + 2);
        QCOMPARE(liveLines(w, "SBIN"), 2);
    }
    std::unique_ptr<MainWindow> makeWindow(bool realConnector)
    {
        MainWindowSeams seams = recordingSeams();
        if (realConnector)
            seams.brokerFactory = nullptr;  // the program's own Fyers connector
        QStringList urls{peer->baseUrl() + "/versova"};
        for (int i = 1; i < 6; ++i)
            urls << peer->baseUrl() + "/other" + QString::number(i);
        seams.fyersStreamUrls = urls;
        seams.autoSubscribeDelayMs = settleMs;
        auto w = std::make_unique<MainWindow>(seams);
        w->exporter()->setExportDir(exportDir->path());
        // Only ticks write the live file here, not the periodic rewrite of the latest ones.
        w->exporter()->setExportInterval(3600);
        prompts->shown.clear();
        return w;
    }
    // Lines of the live file that start with `symbol`, after the pending lines are written.
    int liveLines(MainWindow& w, const QString& symbol)
    {
        QMetaObject::invokeMethod(w.exporter(), "flushPendingLines");
        QFile f(w.exporter()->liveDataFilePath());
        if (!f.open(QIODevice::ReadOnly))
            return 0;
        int n = 0;
        for (const QByteArray& line : f.readAll().split('\n'))
            n += line.startsWith(symbol.toUtf8() + ',') ? 1 : 0;
        return n;
    }

    std::unique_ptr<WebSocketTestServer> peer;
    std::unique_ptr<QTemporaryDir> exportDir;  // a live file of its own per test
    int settleMs = 10;
};

QTEST_MAIN(TestFyersWindowStream)
#include "tst_fyerswindowstream.moc"
