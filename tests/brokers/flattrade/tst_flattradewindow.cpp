// FlatTrade end to end: the real window with the real connector against loopback stream and REST
// peers. After the session is accepted the watchlist row shows the decoded price and the live CSV
// file gets its line; a daily backfill reaches the export. A Disconnect while the stream is still
// opening leaves nothing to come up later.
#include "amibroker/CSVExporter.h"
#include "brokers/HistoricalDownloader.h"
#include "brokers/flattrade/FlatTradeBroker.h"
#include "core/DataManager.h"
#include "support/HostileWebSocketPeer.h"
#include "support/HttpTestServer.h"
#include "support/LogCapture.h"
#include "support/OfflineWindow.h"
#include "support/TestFiles.h"
#include "support/WebSocketTestServer.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

// The connector as the window makes it, on 127.0.0.1: the window's configuration names the
// broker's real stream, so the address is put back after each initialize.
class LoopbackFlatTrade : public FlatTradeBroker {
public:
    LoopbackFlatTrade(const QString& stream, const QString& rest, QObject* parent)
        : FlatTradeBroker(parent), loopbackStream(stream)
    {
        setRestBaseUrl(rest);
    }
    void initialize(const QMap<QString, QString>& config) override
    {
        configuredStream = config.value("ws_url");
        FlatTradeBroker::initialize(config);
        setStreamUrl(loopbackStream);
    }
    QString configuredStream;

private:
    QString loopbackStream;
};

}  // namespace

class TestFlatTradeWindow : public QObject, protected WindowFixture {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(openHome("FlatTradeWindowTest")); }
    void init() { freshState(); }
    void cleanup() { dropState(); }
    void liveRowCsvLineAndBackfill();
    void disconnectWhileStreamOpens();

private:
    // A signed-in FlatTrade session with RELIANCE in its watchlist, and the window on it whose
    // connector talks to the given peers.
    std::unique_ptr<MainWindow> flatTradeWindow(const QString& stream, const QString& rest,
                                                QPointer<LoopbackFlatTrade>& connector)
    {
        settings->setProvider(SettingsManager::FlatTrade);
        settings->setFlatTradeApiKey("ft-key");
        settings->setFlatTradeAccessToken("ft-token");
        settings->setFlatTradeClientId("FT1");
        settings->setWatchlistForBroker("FlatTrade", {"2885"});
        settings->setCurrentBroker("FlatTrade");
        settings->saveSettings();
        MainWindowSeams seams = offlineWindowSeams(prompts);
        seams.autoSubscribeDelayMs = 20;
        seams.brokerFactory = [&connector, stream, rest](int, QObject* parent) -> IBroker* {
            connector = new LoopbackFlatTrade(stream, rest, parent);
            return connector;
        };
        return std::make_unique<MainWindow>(seams);
    }
};

void TestFlatTradeWindow::liveRowCsvLineAndBackfill()
{
    LogCapture log(false);
    WebSocketTestServer streamPeer;
    HttpTestServer restPeer;
    QVERIFY(streamPeer.listen() && restPeer.listen());
    QTemporaryDir csvDir;
    QPointer<LoopbackFlatTrade> connector;
    auto w = flatTradeWindow(streamPeer.baseUrl() + "/PiConnectWSAPI/", restPeer.baseUrl(), connector);
    w->exporter()->setExportDir(csvDir.path());
    w->repository()->addSymbol("RELIANCE-EQ", "2885", "NSE", "EQ");
    QVERIFY(connector);

    QSignalSpy received(&streamPeer, &WebSocketTestServer::textMessageReceived);
    QMetaObject::invokeMethod(w.get(), "onConnectAction");
    QCOMPARE(connector->configuredStream, QString("wss://piconnect.flattrade.in/PiConnectWSAPI/"));
    QVERIFY(received.wait(10000));
    QCOMPARE(streamPeer.textMessages().value(0),
             QString(R"({"t":"a","uid":"FT1","actid":"FT1","source":"API","accesstoken":"ft-token"})"));
    streamPeer.sendText(R"({"t":"ak","uid":"FT1","s":"OK"})");
    QTRY_VERIFY_WITH_TIMEOUT(streamPeer.textMessages().contains(R"({"t":"d","k":"NSE|2885"})"), 10000);

    streamPeer.sendText(R"({"t":"dk","e":"NSE","tk":"2885","ts":"RELIANCE-EQ","lp":"1309.40","o":"1301.00",)"
                        R"("h":"1312.00","l":"1299.10","v":"4210533","ltq":"12","ft":"1788237300"})");
    streamPeer.sendText(R"({"t":"df","e":"NSE","tk":"2885","lp":"1309.55","v":"4211020","ft":"1788237301"})");
    QTableWidget* table = watchlistTable(*w);
    QTRY_COMPARE_WITH_TIMEOUT(table->item(0, 1)->text(), QString("1309.55"), 10000);
    QCOMPARE(table->item(0, 0)->text(), QString("RELIANCE-EQ"));
    QCOMPARE(table->item(0, 7)->text(), QString("4,211,020"));
    QCOMPARE(w->dataStore()->latestTick("RELIANCE-EQ").ltp, 1309.55);

    const QString live = w->exporter()->liveDataFilePath();
    const auto exported = [&live] { return TestFiles::readAll(live); };
    QTRY_VERIFY_WITH_TIMEOUT(exported().contains("RELIANCE-EQ,"), 10000);
    QVERIFY2(exported().contains("1309.55"), exported().constData());

    // A daily backfill through the window's queue lands in the export under the trading symbol,
    // once the window has lent the connector its instrument list.
    QTRY_VERIFY_WITH_TIMEOUT(log.contains("[MainWindow] Set SymbolRepository and SettingsManager on FlatTradeBroker"),
                             10000);
    restPeer.setReply("POST", "/PiConnectAPI/EODChartData",
                      HttpTestServer::Reply::json(
                          R"(["{\"time\":\"01-SEP-2026\",\"into\":\"1285.00\",\"inth\":\"1311.80\",\"intl\":\"1280.00\",)"
                          R"(\"intc\":\"1297.25\",\"ssboe\":\"1788220800\",\"intv\":\"12617528.00\"}"])"));
    w->downloader()->setPacingInterval(10);
    QSignalSpy done(w->downloader(), &HistoricalDownloader::downloadCompleted);
    QVERIFY(!w->downloader()->downloadHistoricalData("2885", QDate(2026, 9, 1), QDate(2026, 9, 1), "day").isEmpty());
    QVERIFY(done.wait(10000));
    QCOMPARE(done.at(0).at(2).toInt(), 1);
    QVERIFY(restPeer.lastRequest().body.contains(R"("sym":"NSE:RELIANCE-EQ")"));
    QTRY_VERIFY_WITH_TIMEOUT(exported().contains("1297.25"), 10000);
}

void TestFlatTradeWindow::disconnectWhileStreamOpens()
{
    // Disconnect while the server still owes the answer to the upgrade: the connector's stream goes
    // at once, and an answer that comes later neither starts a session nor shows it connected.
    HostileWebSocketPeer streamPeer(HostileWebSocketPeer::HoldUpgrade);
    HttpTestServer restPeer;
    QVERIFY(streamPeer.listen() && restPeer.listen());
    QPointer<LoopbackFlatTrade> connector;
    auto w = flatTradeWindow(streamPeer.baseUrl() + "/PiConnectWSAPI/", restPeer.baseUrl(), connector);
    QVERIFY(connector);

    QSignalSpy held(&streamPeer, &HostileWebSocketPeer::upgradeHeld);
    QSignalSpy status(connector.data(), &IBroker::connectionStatusChanged);
    QMetaObject::invokeMethod(w.get(), "onConnectAction");
    QVERIFY(held.size() > 0 || held.wait(10000));
    QMetaObject::invokeMethod(w.get(), "onDisconnectAction");
    streamPeer.answerHeldUpgrades();
    QTRY_COMPARE_WITH_TIMEOUT(streamPeer.openConnections(), 0, 10000);
    QCOMPARE(streamPeer.bytesAfterRequest(), 0);
    QVERIFY(!connector->isConnected());
    for (const QList<QVariant>& args : qAsConst(status))
        QVERIFY(!args.value(0).toBool());
    QCOMPARE(windowStatus(*w), QString("Disconnected from data provider"));
}

QTEST_MAIN(TestFlatTradeWindow)
#include "tst_flattradewindow.moc"
