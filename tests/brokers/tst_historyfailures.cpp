// History failures of the connectors through the facade and the history queue. A loopback candle
// host holds every request and refuses it with HTTP 500 when the test says: the refusal of a
// request the queue has given up fails nothing and is told to no one; the refusal of the request
// that runs fails that request, once, in the connector's own words.
#include "brokers/BrokerAPI.h"
#include "brokers/HistoricalDownloader.h"
#include "brokers/angelone/AngelOneBroker.h"
#include "brokers/dhan/DhanBroker.h"
#include "brokers/flattrade/FlatTradeBroker.h"
#include "brokers/fyers/FyersBroker.h"
#include "brokers/tradejini/TradeJiniBroker.h"
#include "brokers/upstox/UpstoxBroker.h"
#include "brokers/zerodha/ZerodhaBroker.h"
#include "core/DataManager.h"
#include "core/SettingsManager.h"
#include "support/BrokerTestSetup.h"
#include "support/HttpTestServer.h"
#include "support/LogCapture.h"
#include "symbols/SymbolRepository.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

// The connector `name` with its candle host at `base`; `symbol` is what the watchlist would ask for.
IBroker* connectorFor(const QString& name, const QString& base, SymbolRepository& repo, QString* symbol)
{
    if (name == "Zerodha") {
        auto* z = new ZerodhaBroker;
        z->setRestBaseUrl(base);
        z->initialize({{"api_key", "KEY"}, {"access_token", "TOK"}, {"ws_url", "ws://127.0.0.1:1/"}});
        *symbol = "408065";
        return z;
    }
    if (name == "FlatTrade") {
        auto* f = new FlatTradeBroker;
        repo.addSymbol("RELIANCE", "2885", "NSE", "EQ");
        f->setSymbolRepository(&repo);
        f->setRestBaseUrl(base);
        f->initialize({{"access_token", "TOK"}, {"client_id", "FT1"}, {"ws_url", "ws://127.0.0.1:1/"}});
        *symbol = "RELIANCE";
        return f;
    }
    if (name == "TradeJini") {
        auto* t = new TradeJiniBroker;
        repo.addSymbol("RELIANCE", "2885", "NSE", "EQ");
        t->setSymbolRepository(&repo);
        t->setRestBaseUrl(base);
        t->initialize({{"accessToken", "TOK"}, {"clientId", "CL1"}, {"apiKey", ""}});
        *symbol = "RELIANCE";
        return t;
    }
    if (name == "Dhan") {
        auto* d = new DhanBroker;
        repo.addSymbol("NSE:SBIN", "3045", "NSE", "NSE");
        d->setSymbolRepository(&repo);
        d->setRestBaseUrl(base);
        *symbol = "3045";
        return d;
    }
    if (name == "Upstox") {
        auto* u = new UpstoxBroker;
        repo.addSymbol("INFY", "NSE_EQ|INE009A01021", "NSE", "EQ");
        u->setSymbolRepository(&repo);
        u->setRestBaseUrl(base);
        *symbol = "INFY";
        return u;
    }
    if (name == "AngelOne") {
        auto* a = new AngelOneBroker;
        repo.addSymbol("RELIANCE-EQ", "2885", "NSE", "");
        a->setSymbolRepository(&repo);
        a->setRestBaseUrl(base);
        a->initialize({{"api_key", "KEY"}, {"client_code", "C123"}, {"jwt_token", "JWT"}, {"feed_token", "FEED"}});
        *symbol = "RELIANCE-EQ";
        return a;
    }
    auto* f = new FyersBroker;
    f->initialize({{"access_token", "TOK"}, {"client_id", "XY123"}, {"app_id", "APP-100"}});
    f->setDataUrl(base + "/data");
    *symbol = "NSE:SBIN-EQ";
    return f;
}

}  // namespace

class TestHistoryFailures : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { setUpBrokerTest("tst_historyfailures"); }

    void refusalAfterTheRequestEnded_data()
    {
        QTest::addColumn<QString>("connector");
        QTest::addColumn<QString>("told");  // how the connector words a refused candle request
        QTest::newRow("Zerodha") << "Zerodha" << "Zerodha history error for 408065: ";
        QTest::newRow("FlatTrade") << "FlatTrade" << "FlatTrade history request failed: ";
        QTest::newRow("TradeJini") << "TradeJini" << "Historical data request failed for RELIANCE: ";
        QTest::newRow("Dhan") << "Dhan" << "Historical data request failed for NSE:SBIN: ";
        QTest::newRow("Upstox") << "Upstox" << "Historical data request failed for INFY: ";
        QTest::newRow("Fyers") << "Fyers" << "Fyers history request failed for NSE:SBIN-EQ: ";
        QTest::newRow("AngelOne") << "AngelOne" << "AngelOne history error for RELIANCE-EQ: ";
    }

    // The daily request is given up by the queue's watchdog; its refusal comes while the minute
    // request of the same symbol runs.
    void refusalAfterTheRequestEnded()
    {
        QFETCH(QString, connector);
        QFETCH(QString, told);
        LogCapture log(false);
        HttpTestServer host;
        QVERIFY(host.listen());
        host.setResponder([](const HttpTestServer::Request&) { return HttpTestServer::Reply::hold(); });
        SymbolRepository repo;
        QString symbol;
        std::unique_ptr<IBroker> broker(connectorFor(connector, host.baseUrl(), repo, &symbol));
        BrokerAPI api;
        api.setImplementation(broker.get());
        DataManager store;
        SettingsManager settings;
        HistoricalDownloader queue(&api, &store, &settings, nullptr);
        queue.setPacingInterval(5);
        QSignalSpy failed(&queue, &HistoricalDownloader::downloadFailed);
        QSignalSpy timedOut(&queue, &HistoricalDownloader::downloadTimedOut);
        QSignalSpy errors(&api, &BrokerAPI::errorOccurred);
        // What the connector says, however it says it.
        QSignalSpy connectorFailures(broker.get(), &IBroker::historyFailed);
        QSignalSpy connectorErrors(broker.get(), &IBroker::errorOccurred);

        queue.setRequestTimeout(100);
        queue.downloadHistoricalData(symbol, QDate(2024, 2, 1), QDate(2024, 2, 29), "day");
        const QString minute = queue.downloadHistoricalData(symbol, QDate(2024, 3, 1), QDate(2024, 3, 1), "5minute");
        QVERIFY(timedOut.wait(5000));
        queue.setRequestTimeout(60000);
        QTRY_COMPARE_WITH_TIMEOUT(host.requestCount(), 2, 5000);
        HttpTestServer::Reply refused = HttpTestServer::Reply::bytes("Internal error", "text/plain");
        refused.status = 500;

        QVERIFY(host.answerHeld(0, refused));
        QTRY_COMPARE_WITH_TIMEOUT(connectorFailures.size() + connectorErrors.size(), 1, 5000);
        QCOMPARE(failed.size(), 1);  // the watchdog's, no more
        QCOMPARE(errors.size(), 0);
        QCOMPARE(queue.activeSymbols(), QStringList{symbol});
        QCOMPARE(log.count("failed after it had ended"), 1);

        QVERIFY(host.answerHeld(1, refused));
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 2, 5000);
        QCOMPARE(failed.last().at(0).toString(), minute);
        const QString text = failed.last().at(2).toString();
        QVERIFY2(text.startsWith(told), qPrintable(text));
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors.at(0).at(0).toString(), text);
        QTRY_VERIFY_WITH_TIMEOUT(!queue.isDownloading(), 5000);
        QCOMPARE(failed.size(), 2);
        QCOMPARE(log.count("failed after it had ended"), 1);
    }
};

QTEST_GUILESS_MAIN(TestHistoryFailures)
#include "tst_historyfailures.moc"
