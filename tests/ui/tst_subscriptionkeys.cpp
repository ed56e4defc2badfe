// What the window asks each broker to stream: subscription keys built from watchlist items, the
// own-stream wire messages, the opening requests of the window's stream, and what it logs of them.
#include "core/SettingsManager.h"
#include "support/ListLookups.h"
#include "support/TestEnvironment.h"
#include "symbols/SymbolRepository.h"
#include "ui/StreamRequests.h"
#include "ui/SubscriptionKeys.h"

#include <QSettings>
#include <QStandardPaths>
#include <QUrlQuery>
#include <QtTest>

class TestSubscriptionKeys : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // A home of its own: nothing shared with other test runs on this machine.
        env = std::make_unique<TestEnvironment>();
        QVERIFY(env->isValid());
        QCoreApplication::setOrganizationName("TickvaneTest");
        QCoreApplication::setApplicationName("SubscriptionKeysTest");
    }

    void init()
    {
        QSettings().clear();
        settings = new SettingsManager;
        repository = new SymbolRepository;
        // The repository knows some exchanges; the symbol manager knows names and other exchanges.
        repository->addSymbols({instrument("RELIANCE", "NSE", "2885"), instrument("SENSEX", "BSE", "1")});
        manager.records = {instrument("RELIANCE", "NSE", "2885"), instrument("TCS", "NSE", "11536"),
                           instrument("GOLD", "MCX", "4001"), instrument("INFY", "BSE", "500209"),
                           instrument("NIFTYFUT", "nfo", "35001"), instrument("ODD", "NSE", "-7")};
    }

    void cleanup()
    {
        delete repository;
        delete settings;
    }

    void brokerKeys_data()
    {
        QTest::addColumn<int>("provider");
        QTest::addColumn<bool>("withManager");
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<bool>("needsMaster");

        QTest::newRow("TradeJini: repository, manager, name, unknown")
            << 2 << true << QStringList{"2885", "11536", "TCS", "999", "0"}
            << QStringList{"2885_NSE", "11536_NSE", "11536_NSE"} << false;
        QTest::newRow("TradeJini: nothing resolves without the manager")
            << 2 << false << QStringList{"11536", "TCS"} << QStringList() << true;
        QTest::newRow("TradeJini: zero and negatives count as tokens")
            << 2 << true << QStringList{"-7"} << QStringList{"-7_NSE"} << false;
        QTest::newRow("FlatTrade: NSE when no exchange is known")
            << 1 << true << QStringList{"1", "500209", "999", "RELIANCE", "NOPE"}
            << QStringList{"BSE|1", "BSE|500209", "NSE|999", "NSE|2885"} << false;
        QTest::newRow("FlatTrade: only names, no manager")
            << 1 << false << QStringList{"TCS"} << QStringList() << true;
        QTest::newRow("AngelOne: positive numbers only")
            << 4 << true << QStringList{"2885", "0", "-3", "RELIANCE", "99926000"}
            << QStringList{"2885", "99926000"} << false;
        QTest::newRow("Zerodha: names resolved, invalid dropped, master wanted")
            << 0 << true << QStringList{"408065", "TCS", "ODD", "NOPE", "0"}
            << QStringList{"408065", "11536"} << true;
        QTest::newRow("Dhan: items unchanged")
            << 3 << false << QStringList{"1333", "RELIANCE"} << QStringList{"1333", "RELIANCE"} << false;
        QTest::newRow("Upstox: items unchanged")
            << 5 << false << QStringList{"NSE_EQ|INE002A01018"} << QStringList{"NSE_EQ|INE002A01018"}
            << false;
        QTest::newRow("Fyers: names pass unchanged, tokens by the rule")
            << 7 << true << QStringList{"RELIANCE", "NSE:TCS-EQ", "11536", "4001"}
            << QStringList{"RELIANCE", "NSE:TCS-EQ", "NSE:TCS-EQ", "MCX:GOLD-COM"} << false;
    }

    void brokerKeys()
    {
        QFETCH(int, provider);
        QFETCH(bool, withManager);
        QFETCH(QStringList, items);
        const SubscriptionKeys::Result r = SubscriptionKeys::brokerKeys(provider, items, lookups(withManager));
        QTEST(r.keys, "keys");
        QTEST(r.needsSymbolMaster, "needsMaster");
    }

    void fyersSymbolRule_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("cachedName");
        QTest::addColumn<QString>("symbol");
        QTest::newRow("NSE record") << "2885" << "" << "NSE:RELIANCE-EQ";
        QTest::newRow("BSE record") << "500209" << "" << "BSE:INFY-EQ";
        QTest::newRow("MCX record") << "4001" << "" << "MCX:GOLD-COM";
        QTest::newRow("lower-case exchange as stored") << "35001" << "" << "nfo:NIFTYFUT-EQ";
        QTest::newRow("cached name") << "77777" << "ACME" << "NSE:ACME-EQ";
        QTest::newRow("no name: last six digits") << "123456789" << "" << "NSE:TOKEN_456789-EQ";
        QTest::newRow("short token whole") << "4321" << "" << "NSE:TOKEN_4321-EQ";
    }

    void fyersSymbolRule()
    {
        QFETCH(QString, token);
        QFETCH(QString, cachedName);
        QFETCH(QString, symbol);
        if (!cachedName.isEmpty())
            settings->cacheSymbolName(token, cachedName);
        QCOMPARE(SubscriptionKeys::fyersSymbolForToken(token, lookups(true), "[MainWindow->Fyers] Token"),
                 symbol);
        // The own stream applies the same rule to tokens, and completes bare names.
        QCOMPARE(SubscriptionKeys::ownStreamFyersSymbol(token, lookups(true)), symbol);
        QCOMPARE(SubscriptionKeys::ownStreamFyersSymbol("RELIANCE", lookups(true)),
                 QString("NSE:RELIANCE-EQ"));
        QCOMPARE(SubscriptionKeys::ownStreamFyersSymbol("BSE:INFY-EQ", lookups(true)),
                 QString("BSE:INFY-EQ"));
    }

    void zerodhaModeKeepsLargeTokens()
    {
        // Tokens beyond 32 bits stay exact integers. (The Fyers messages are checked on the wire in
        // the live-feed test.)
        QCOMPARE(SubscriptionKeys::zerodhaModeMessage({408065, 4294967297LL}),
                 QString(R"({"a":"mode","v":["full",[408065,4294967297]]})"));
    }

    void fyersOpeningForms_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("appId");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("authorization");
        QTest::addColumn<QString>("clientHeader");
        QTest::newRow("0 client id") << 0 << "" << "/versova" << "" << "FY1:S3CR3T" << "";
        // The app id field may hold the app secret: it never takes the client id's place.
        QTest::newRow("0 app id set") << 0 << "APP-100" << "/versova" << "" << "FY1:S3CR3T" << "";
        QTest::newRow("1 token in query") << 1 << "APP-100" << "/dataws/v3/" << "access_token=S3CR3T" << "" << "";
        for (int i = 2; i <= 5; ++i)
            QTest::newRow(qPrintable(QString("%1 bearer").arg(i)))
                << i << "" << (i == 2 ? "/hsm/v1-5/prod" : "/socket/v4/dataSock") << "" << "Bearer S3CR3T" << "FY1";
        QTest::newRow("past the end: entry 0") << 6 << "" << "/versova" << "" << "FY1:S3CR3T" << "";
    }

    void fyersOpeningForms()
    {
        QFETCH(int, index);
        QFETCH(QString, appId);
        QFETCH(QString, path);
        QFETCH(QString, query);
        const QStringList urls{"wss://a.test/versova", "wss://b.test/dataws/v3/", "wss://c.test/hsm/v1-5/prod",
                               "wss://d.test/socket/v4/dataSock", "wss://b.test/socket/v4/dataSock",
                               "wss://e.test/socket/v4/dataSock"};
        const StreamRequests::Opening o = StreamRequests::fyersOpening(urls, index, "S3CR3T", "FY1");
        QCOMPARE(o.request.url().path(), path);
        QCOMPARE(o.request.url().query(), query);
        QTEST(QString::fromUtf8(o.request.rawHeader("Authorization")), "authorization");
        QTEST(QString::fromUtf8(o.request.rawHeader("X-Client-Id")), "clientHeader");
        QCOMPARE(o.request.rawHeader("User-Agent"), QByteArray("Tickvane/1.0"));
        QCOMPARE(o.request.rawHeader("Origin"), StreamRequests::fyersOrigin().toUtf8());
        QVERIFY(!o.authForm.contains("S3CR3T"));
        QVERIFY(appId.isEmpty() || !o.request.rawHeader("Authorization").contains(appId.toUtf8()));
    }

    void zerodhaQueryKeepsOddCharacters()
    {
        const QString key = "key&x=1";
        const QString token = "a+b c#d%";
        const QUrl url = StreamRequests::zerodhaStreamUrl("wss://ws.test/", key, token);
        const QUrlQuery q(url);
        QCOMPARE(q.queryItemValue("api_key", QUrl::FullyDecoded), key);
        QCOMPARE(q.queryItemValue("access_token", QUrl::FullyDecoded), token);
        QCOMPARE(q.queryItems().size(), 2);
        QCOMPARE(StreamRequests::zerodhaStreamUrl("wss://ws.test/", "kk", "tt").toString(),
                 QString("wss://ws.test/?api_key=kk&access_token=tt"));
    }

    void socketErrorTexts_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("refused") << 0 << "Connection refused - Server is not accepting connections";
        QTest::newRow("host") << 2 << "Host not found - Unable to resolve broker hostname";
        QTest::newRow("network") << 7 << "Network error - General network communication failure";
        QTest::newRow("tls") << 13 << "SSL/TLS handshake failed - Secure connection could not be established";
        QTest::newRow("6 unknown") << 6 << "Unknown socket error (Code: 6)";
        QTest::newRow("-1 unknown") << -1 << "Unknown socket error (Code: -1)";
    }

    void socketErrorTexts()
    {
        QFETCH(int, code);
        QTEST(StreamRequests::socketErrorText(code), "text");
        QVERIFY(StreamRequests::socketErrorDetail(code).startsWith("[WebSocket] Details: "));
    }

    void secretsMaskedInLogs()
    {
        const QString url = StreamRequests::maskedUrl(QUrl("wss://ws.test/?api_key=KEY123&access_token=SECRET&x=1"));
        QVERIFY(!url.contains("SECRET") && !url.contains("KEY123"));
        QVERIFY(url.contains("x=1"));
        const QString json = StreamRequests::maskedJson(
            R"({"type":"auth","token":"SECRET","client_id":"FY1","job":{"api_key":"K9"}})");
        QVERIFY(!json.contains("SECRET") && !json.contains("K9"));
        QVERIFY(json.contains("FY1"));
        QCOMPARE(StreamRequests::maskedJson(QString(900, 'x')).size(), 500);
        QCOMPARE(StreamRequests::preview("abcdefghijklmnopqrst"), QString("abcd..."));
        QCOMPARE(StreamRequests::preview("ztok"), QString("***"));
    }

private:
    SubscriptionKeys::Lookups lookups(bool withManager);

    std::unique_ptr<TestEnvironment> env;
    SettingsManager* settings = nullptr;
    SymbolRepository* repository = nullptr;
    ListLookups manager;
};

SubscriptionKeys::Lookups TestSubscriptionKeys::lookups(bool withManager)
{
    SubscriptionKeys::Lookups l;
    l.symbols = withManager ? &manager : nullptr;
    l.repository = repository;
    l.settings = settings;
    return l;
}

QTEST_GUILESS_MAIN(TestSubscriptionKeys)
#include "tst_subscriptionkeys.moc"
