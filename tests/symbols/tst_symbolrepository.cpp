// Instrument repository: lookups, master parsing, cache freshness and files, download and gunzip.
#include "support/HttpTestServer.h"
#include "support/LogCapture.h"
#include "support/TestFiles.h"
#include "support/ZlibTestUtil.h"
#include "symbols/SymbolRepository.h"
#include "symbols/ZlibInflate.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>

using TestFiles::writeFile;

namespace {

IndianSymbolData rec(const QString& symbol, const QString& token, const QString& exchange = "NSE")
{
    IndianSymbolData r;
    r.symbol = symbol;
    r.token = token;
    r.exchange = exchange;
    return r;
}

QByteArray zerodhaCsv(int rows, int firstToken = 1000)
{
    QByteArray out = "instrument_token,exchange_token,tradingsymbol,name,exchange\n";
    for (int i = 0; i < rows; ++i)
        out += QByteArray::number(firstToken + i) + ",1,SYM" + QByteArray::number(i) + ",Name,NSE\n";
    return out;
}

void writeMeta(const QString& csvPath, const QDateTime& fetched)
{
    QVERIFY(writeFile(csvPath + ".meta.json", QJsonDocument(QJsonObject{{"fetchedAt", fetched.toString(Qt::ISODate)}}).toJson()));
}

// A repository fetching one broker's masters from a loopback host into a fresh folder.
struct Download {
    QTemporaryDir dir;
    HttpTestServer host;
    SymbolRepository repo;
    explicit Download(const QString& broker)
    {
        QVERIFY(host.listen());  // unscripted files answer 404
        repo.setDownloadHost(broker, host.baseUrl());
    }
};

}  // namespace

class TestSymbolRepository : public QObject {
    Q_OBJECT

private slots:
    void lookupsFollowFirstAndLastRules()
    {
        SymbolRepository repo;
        QSignalSpy loaded(&repo, &SymbolRepository::symbolsLoaded);
        repo.addSymbols({rec("RELIANCE", "2885"), rec("Infy", "1594"), rec("RELIANCE", "9999", "BSE"),
                         rec("DUPTOKEN", "2885", "BSE"), rec(" PADDED ", "77")});
        QCOMPARE(loaded.count(), 1);
        QCOMPARE(loaded.at(0).at(0).toInt(), 5);

        // Symbol -> token: key trimmed and upper-cased, first record wins, record text not trimmed.
        QCOMPARE((QStringList{repo.tokenForSymbol("  reliance "), repo.tokenForSymbol("INFY"), repo.tokenForSymbol("PADDED"),
                              repo.tokenForSymbol("MISSING")}), (QStringList{"2885", "1594", "", ""}));

        // Token -> record: the last record added with a token wins.
        QCOMPARE(repo.findByToken("2885").symbol, QString("DUPTOKEN"));
        QCOMPARE(repo.symbolForToken("1594"), QString("Infy"));
        // Exchange and token together keep both records of one number apart.
        QCOMPARE(repo.symbolForExchangeToken("nse", "2885"), QString("RELIANCE"));
        QCOMPARE(repo.symbolForExchangeToken("BSE", "2885"), QString("DUPTOKEN"));
        QVERIFY(!repo.findByExchangeToken("MCX", "2885").isFound());
        QCOMPARE(repo.findBySymbol(" infy").token, QString("1594"));
        QCOMPARE(repo.exchangeForToken("9999"), QString("BSE"));
        QVERIFY(!repo.findByToken("nope").isFound());
        QCOMPARE(repo.symbolForToken("nope"), QString());

        QCOMPARE(repo.findAllBySymbol("reliance").size(), 2);
        QCOMPARE(repo.countByKey(), (QMap<QString, int>{{"NSE", 3}, {"BSE", 2}}));

        // Single adds keep the same rules and are indexed at once.
        repo.addSymbol("TCS", "11536", "NSE", "EQ");
        QCOMPARE(repo.tokenForSymbol("tcs"), QString("11536"));
        QCOMPARE(repo.findByToken("11536").lotSize, 1);
        QCOMPARE(repo.findByToken("11536").tickSize, 0.05f);
        repo.rebuildIndex();
        QCOMPARE(repo.findByToken("2885").symbol, QString("DUPTOKEN"));
        QCOMPARE(repo.tokenForSymbol("RELIANCE"), QString("2885"));
        QCOMPARE(repo.symbolForExchangeToken("NSE", "2885"), QString("RELIANCE"));

        // A record with a segment of its own answers under it too: an index and a share with one
        // number on one exchange.
        IndianSymbolData index = rec("NIFTY 50", "13"), share = rec("ABB", "13");
        index.segment = "IDX_I";
        share.segment = "NSE_EQ";
        repo.addSymbols({index, share});
        QCOMPARE(repo.symbolForExchangeToken("IDX_I", "13"), QString("NIFTY 50"));
        QCOMPARE(repo.symbolForExchangeToken("NSE_EQ", "13"), QString("ABB"));

        // The same master arriving again (start-up load, then the symbol manager's) replaces its
        // records instead of listing every instrument twice.
        IndianSymbolData again = rec("Infy", "1594");
        again.instrumentType = "EQ";
        LogCapture log;
        repo.addSymbols({again, rec("WIPRO", "3787")});
        QCOMPARE(repo.size(), 9);
        // The line counts the whole list given; what it replaced has a line of its own.
        const QStringList lines = log.messages(QtDebugMsg);
        QVERIFY2(lines.contains("[SymbolRepository] Added 2 symbols, total now: 9"), qPrintable(lines.join('\n')));
        QVERIFY2(lines.contains("[SymbolRepository] Replaced 1 records already held"), qPrintable(lines.join('\n')));
        QCOMPARE(repo.findByToken("1594").instrumentType, QString("EQ"));
        QCOMPARE(repo.findAllBySymbol("infy").size(), 1);
        QCOMPARE(repo.tokenForSymbol("wipro"), QString("3787"));

        // A header-mapped master gives each record its own type and expiry.
        const QList<IndianSymbolData> parsed = SymbolRepository::parseForBroker(
            "instrument_token,exchange_token,tradingsymbol,name,last_price,expiry,strike,tick_size,lot_size,"
            "instrument_type,segment,exchange\n"
            "13368834,52222,NIFTY24MARFUT,NIFTY,0,2024-03-28,0,0.05,50,FUT,NFO-FUT,NFO\n",
            "Zerodha", "NFO");
        QCOMPARE(parsed.size(), 1);
        QCOMPARE(parsed.first().instrumentType, QString("FUT"));
        QCOMPARE(parsed.first().expiry, QString("2024-03-28"));
    }

    void emptyTokenAndClear()
    {
        SymbolRepository repo;
        repo.addSymbol("NOTOKEN", "", "NSE", "EQ");
        QCOMPARE(repo.size(), 1);
        QVERIFY(!repo.findByToken("NOTOKEN").isFound());
        QVERIFY(!repo.findByToken("").isFound());

        QSignalSpy cleared(&repo, &SymbolRepository::symbolsCleared);
        repo.clear();
        QCOMPARE(cleared.count(), 1);
        QVERIFY(repo.isEmpty());
        QCOMPARE(repo.tokenForSymbol("NOTOKEN"), QString());
        repo.addSymbols({rec("NEW", "1")});
        QCOMPARE(repo.findByToken("1").symbol, QString("NEW"));
        QCOMPARE(repo.tokenForSymbol("new"), QString("1"));
    }

    void parseForBroker_data()
    {
        QTest::addColumn<QString>("broker");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("exchange");
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("lotSize");

        QTest::newRow("header prefers tradingsymbol")
            << "Zerodha" << QByteArray("Exchange,Token,LotSize,Symbol,TradingSymbol\nNSE,2885,1,RELIANCE,RELIANCE-EQ\n")
            << 1 << "RELIANCE-EQ" << "2885" << "NSE" << "" << 0;
        QTest::newRow("header unknown uses columns 0 1 3")
            << "FlatTrade" << QByteArray("a,b,c,d\nnse,11,x,ACC\nNSE,12,onlythree\n") << 1 << "ACC" << "11" << "NSE" << "" << 0;
        QTest::newRow("header quotes removed, CRLF, blank exchange takes label")
            << "Fyers" << QByteArray("\"exch\",\"token\",\"symbol\"\r\n\"\",\"5\",\"\"\"Q\"\"\"\r\n\r\n")
            << 1 << "Q" << "5" << "BSE" << "" << 0;
        QTest::newRow("header short line has no exchange column")
            << "Zerodha" << QByteArray("token,symbol,exchange\n7,ABC\n") << 1 << "ABC" << "7" << "BSE" << "" << 0;
        QTest::newRow("header stops at zero byte")
            << "Zerodha" << QByteArray("exchange,token,symbol\nNSE,1,A\n\000NSE,2,B\n", 39) << 1 << "A" << "1" << "NSE" << "" << 0;
        QTest::newRow("tradejini four part id")
            << "TradeJini" << QByteArray("EQT_RELIANCE_EQ_NSE,RELIANCE,2885,1,0.05,EQ,x,INE002A01018\n")
            << 1 << "RELIANCE" << "2885" << "NSE" << "EQT" << 1;
        QTest::newRow("tradejini expiry in the id picks the exchange before it")
            << "TradeJini" << QByteArray("FUT_NIFTY_NFO_30-01-25,NIFTY25JANFUT,35001,50\n")
            << 1 << "NIFTY25JANFUT" << "35001" << "NFO" << "FUT" << 50;
        QTest::newRow("tradejini three fields defaults")
            << "TradeJini" << QByteArray("X_mcx,GOLD,9\nshort,line\n,EMPTY,1\n") << 1 << "GOLD" << "9" << "MCX" << "X" << 1;
        QTest::newRow("tradejini empty id part falls back to field 5")
            << "TradeJini" << QByteArray("_A_NSE,SYM,1,abc,0.1,OPT\n") << 1 << "SYM" << "1" << "NSE" << "OPT" << 0;
        QTest::newRow("dhan keeps quotes and skips header and short rows")
            << "Dhan"
            << QByteArray("h0,h1,h2,h3,h4,h5,h6,h7,h8,h9,h10,h11,h12,h13,h14,h15\n"
                          "nse,E,1333,EQUITY,x,\"HDFCBANK\",x,x,x,x,x,x,x,x,x,x\n"
                          "NSE,x,1,x,x,FIFTEEN,x,x,x,x,x,x,x,x,x\n")
            << 1 << "\"HDFCBANK\"" << "1333" << "NSE" << "EQUITY" << 0;
        QTest::newRow("empty input") << "Zerodha" << QByteArray() << 0 << "" << "" << "" << "" << 0;
        QTest::newRow("header only") << "Zerodha" << QByteArray("token,symbol\n") << 0 << "" << "" << "" << "" << 0;
    }

    void parseForBroker()
    {
        QFETCH(QString, broker);
        QFETCH(QByteArray, data);
        QFETCH(int, count);
        const QList<IndianSymbolData> out = SymbolRepository::parseForBroker(data, broker, "BSE");
        QCOMPARE(out.size(), count);
        if (count == 0)
            return;
        QTEST(out.first().symbol, "symbol");
        QTEST(out.first().token, "token");
        QTEST(out.first().exchange, "exchange");
        QTEST(out.first().instrumentType, "type");
        QTEST(out.first().lotSize, "lotSize");
    }

    void freshness_data()
    {
        QTest::addColumn<QDateTime>("fetched");
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<QTime>("cutoff");
        QTest::addColumn<bool>("fresh");
        const QDate today(2025, 3, 14);
        const QDate yesterday = today.addDays(-1);
        const QTime z = SymbolRepository::cacheCutoff("Zerodha");
        QTest::newRow("after cutoff today") << QDateTime(today, QTime(8, 5)) << QDateTime(today, QTime(10, 0)) << z << true;
        QTest::newRow("before cutoff today") << QDateTime(today, QTime(7, 55)) << QDateTime(today, QTime(10, 0)) << z << false;
        QTest::newRow("yesterday late, before cutoff") << QDateTime(yesterday, QTime(9, 0)) << QDateTime(today, QTime(7, 59)) << z << true;
        QTest::newRow("yesterday late, at cutoff") << QDateTime(yesterday, QTime(9, 0)) << QDateTime(today, QTime(8, 0)) << z << false;
        QTest::newRow("exactly at cutoff") << QDateTime(today, QTime(8, 0)) << QDateTime(today, QTime(9, 0)) << z << true;
        QTest::newRow("flattrade 07:30") << QDateTime(today, QTime(7, 30)) << QDateTime(today, QTime(9, 0))
                                         << SymbolRepository::cacheCutoff("FlatTrade") << true;
        QTest::newRow("fyers 07:45") << QDateTime(today, QTime(7, 40)) << QDateTime(today, QTime(9, 0))
                                     << SymbolRepository::cacheCutoff("Fyers") << false;
        QTest::newRow("invalid") << QDateTime() << QDateTime(today, QTime(9, 0)) << z << false;
    }

    void freshness()
    {
        QFETCH(QDateTime, fetched);
        QFETCH(QDateTime, now);
        QFETCH(QTime, cutoff);
        QTEST(SymbolRepository::isCacheFresh(fetched, now, cutoff), "fresh");
    }

    void gunzip_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("expected");
        QByteArray big;
        for (int i = 0; i < 200000; ++i)
            big += QByteArray::number(i) + ",";
        const QByteArray gz = ZlibTestUtil::gzip(big);
        QTest::newRow("valid, several output chunks") << gz << big;
        QTest::newRow("trailing member ignored") << gz + ZlibTestUtil::gzip("more") << big;
        QTest::newRow("cut short") << gz.left(gz.size() / 2) << QByteArray();
        QTest::newRow("zlib without gzip header") << ZlibTestUtil::zlibCompress(big) << QByteArray();
        QByteArray corrupt = gz;
        corrupt[20] = char(corrupt[20] ^ 0x55);
        corrupt[21] = char(corrupt[21] ^ 0x55);
        QTest::newRow("corrupt body") << corrupt << QByteArray();
        QTest::newRow("not compressed") << QByteArray("plain text, not gzip") << QByteArray();
    }

    void gunzip()
    {
        QFETCH(QByteArray, input);
        QTEST(gunzipData(input), "expected");
    }

    void inflateCapRefusesOversizedOutput()
    {
        // A small bomb: 4 MB of zeros in a few KB. The same code path as the 1 GiB gunzip cap.
        const QByteArray bomb = ZlibTestUtil::gzip(QByteArray(4 << 20, '\0'));
        QVERIFY(bomb.size() < 10000);
        QByteArray out("stale");
        QCOMPARE(ZlibInflate::inflate(bomb.constData(), bomb.size(), ZlibInflate::kGzip, 1 << 20, out),
                 ZlibInflate::Status::TooLarge);
        QVERIFY(out.isEmpty());
        QCOMPARE(ZlibInflate::inflate(bomb.constData(), bomb.size(), ZlibInflate::kGzip, 4 << 20, out),
                 ZlibInflate::Status::Ok);
        QCOMPARE(out.size(), 4 << 20);
    }

    void cacheLoadReadsOnlyFreshFiles_data()
    {
        QTest::addColumn<bool>("background");
        QTest::addColumn<QList<int>>("announced");  // counts symbolsLoaded carries
        QTest::newRow("on the caller's thread") << false << QList<int>{100, 50, 150};
        QTest::newRow("in the background") << true << QList<int>{150};
    }

    void cacheLoadReadsOnlyFreshFiles()
    {
        QFETCH(bool, background);
        // One load, as the caller asked for it; its result once it is in.
        const auto load = [background](SymbolRepository& repo, const QString& broker, const QString& folder) {
            if (!background)
                return repo.loadFromCacheSync(broker, folder);
            int result = -1;
            repo.loadFromCacheAsync(broker, folder, [&result](bool loaded) { result = loaded; });
            if (!QTest::qWaitFor([&] { return result >= 0; }, 5000))
                return false;
            return result == 1;
        };
        Download d("Zerodha");
        auto& [dir, host, repo] = d;
        const QDateTime now(QDate(2025, 3, 14), QTime(10, 0));
        QVERIFY(writeFile(dir.path() + "/zerodha_nse_symbols.csv", zerodhaCsv(100)));
        writeMeta(dir.path() + "/zerodha_nse_symbols.csv", now.addSecs(-3600));
        QVERIFY(writeFile(dir.path() + "/zerodha_bse_symbols.csv", zerodhaCsv(50, 5000)));
        writeMeta(dir.path() + "/zerodha_bse_symbols.csv", now.addSecs(-60));
        QVERIFY(writeFile(dir.path() + "/zerodha_nfo_symbols.csv", zerodhaCsv(10, 9000)));
        writeMeta(dir.path() + "/zerodha_nfo_symbols.csv", now.addDays(-2));  // outdated
        QVERIFY(writeFile(dir.path() + "/zerodha_mcx_symbols.csv", zerodhaCsv(10, 9500)));  // no meta file

        repo.setClock([now] { return now; });
        repo.setRefreshDelay(0);
        host.setReply("GET", "/instruments/NFO", HttpTestServer::Reply::bytes(zerodhaCsv(3, 7000)));
        QSignalSpy loaded(&repo, &SymbolRepository::symbolsLoaded);
        QSignalSpy reloaded(&repo, &SymbolRepository::symbolsReloaded);

        QVERIFY(load(repo, "Zerodha", dir.path()));
        QList<int> counts;
        for (const QList<QVariant>& args : qAsConst(loaded))
            counts << args.at(0).toInt();
        QTEST(counts, "announced");
        QCOMPARE(repo.size(), 150);
        QCOMPARE(repo.findByToken("5049").symbol, QString("SYM49"));
        QCOMPARE(repo.tokenForSymbol("sym99"), QString("1099"));
        QCOMPARE(repo.symbolForExchangeToken("nse", "5000"), QString("SYM0"));
        QCOMPARE(host.requestCount(), 0);

        // Afterwards the outdated exchange is fetched again, and so are those without a cache file or
        // without the meta file that vouches for it.
        QVERIFY(reloaded.wait(5000));
        QStringList asked;
        for (const HttpTestServer::Request& r : host.requests())
            asked << r.path;
        QCOMPARE(asked, (QStringList{"/instruments/NFO", "/instruments/MCX", "/instruments/BCD", "/instruments/CDS"}));
        QCOMPARE(repo.size(), 153);
        QCOMPARE(repo.findByToken("7000").symbol, QString("SYM0"));

        SymbolRepository other;
        QVERIFY(!load(other, "Dhan", dir.path()));
        QVERIFY(other.isEmpty());
    }

    void parseWaitingKeepsRecordsAddedMeanwhile()
    {
        // The parse runs on its own thread while this one serves a timer that adds a record: the
        // work done on the copy must not drop it.
        SymbolRepository repo;
        repo.addSymbol("OLD", "1", "NSE", "EQ");
        std::atomic<bool> added{false};
        QTimer::singleShot(0, &repo, [&] {
            repo.addSymbol("MEANWHILE", "2", "NSE", "EQ");
            added = true;
        });
        const QList<IndianSymbolData> parsed = repo.addParsedWaiting([&added] {
            QDeadlineTimer deadline(5000);
            while (!added && !deadline.hasExpired())
                QThread::msleep(1);
            return SymbolRepository::parseForBroker(zerodhaCsv(3, 10), "Zerodha", "NSE");
        });
        QCOMPARE(parsed.size(), 3);
        QCOMPARE(repo.size(), 5);
        QCOMPARE(repo.symbolForToken("1"), QString("OLD"));
        QCOMPARE(repo.symbolForToken("2"), QString("MEANWHILE"));
        QCOMPARE(repo.tokenForSymbol("sym2"), QString("12"));
    }

    void downloadWritesTheCacheFiles()
    {
        QTemporaryDir dir;
        const QString cache = dir.path() + "/nested/app";
        HttpTestServer host;
        QVERIFY(host.listen());
        host.setReply("GET", "/instruments/NSE", HttpTestServer::Reply::bytes(zerodhaCsv(20)));
        host.setReply("GET", "/instruments/BSE", HttpTestServer::Reply::bytes(zerodhaCsv(5, 500)));
        host.setReply("GET", "/instruments/NFO", HttpTestServer::Reply::bytes("instrument_token,tradingsymbol\n"));

        const QDateTime fetchedAt(QDate(2025, 3, 14), QTime(9, 15));
        {
            SymbolRepository repo;
            repo.setDownloadHost("Zerodha", host.baseUrl());
            repo.setClock([fetchedAt] { return fetchedAt; });
            QSignalSpy loaded(&repo, &SymbolRepository::symbolsLoaded);
            QVERIFY(repo.downloadSync("Zerodha", cache));
            QCOMPARE(host.requestCount(), 6);
            QCOMPARE(host.lastRequest().header("User-Agent"), QByteArray("Tickvane/1.0"));
            QCOMPARE(repo.size(), 25);
            QCOMPARE(loaded.last().at(0).toInt(), 25);
        }
        // Byte for byte what the host served, plus a meta file; no temporary files left behind.
        QFile csv(cache + "/zerodha_nse_symbols.csv");
        QVERIFY(csv.open(QIODevice::ReadOnly));
        QCOMPARE(csv.readAll(), zerodhaCsv(20));
        QFile meta(cache + "/zerodha_nse_symbols.csv.meta.json");
        QVERIFY(meta.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(meta.readAll()).object(),
                 (QJsonObject{{"broker", "Zerodha"}, {"exchange", "NSE"}, {"symbolCount", 20}, {"fetchedAt", "2025-03-14T09:15:00"}}));
        QVERIFY(!QFile::exists(cache + "/zerodha_nfo_symbols.csv"));  // nothing parsed, nothing cached
        QCOMPARE(QDir(cache).entryList(QDir::Files).size(), 4);
    }

    void everyDownloadedMasterReloadsFromCache_data()
    {
        QTest::addColumn<QString>("broker");
        QTest::addColumn<QStringList>("paths");
        QTest::newRow("FlatTrade") << "FlatTrade"
                                   << QStringList{"/scripmaster/NSE_Equity.csv", "/scripmaster/BSE_Equity.csv",
                                                  "/scripmaster/Nfo_Equity_Derivatives.csv", "/scripmaster/Commodity.csv"};
        QTest::newRow("Zerodha") << "Zerodha"
                                 << QStringList{"/instruments/NSE", "/instruments/BSE", "/instruments/NFO",
                                                "/instruments/MCX", "/instruments/BCD", "/instruments/CDS"};
        QTest::newRow("Fyers") << "Fyers"
                               << QStringList{"/sym_details/NSE_CM.csv", "/sym_details/BSE_CM.csv",
                                              "/sym_details/MCX_COM.csv"};
    }

    // A master cached under one name and looked for under another is downloaded again at every start.
    void everyDownloadedMasterReloadsFromCache()
    {
        QFETCH(QString, broker);
        QFETCH(QStringList, paths);
        Download d(broker);
        auto& [dir, host, repo] = d;
        for (int i = 0; i < paths.size(); ++i)
            host.setReply("GET", paths[i], HttpTestServer::Reply::bytes(zerodhaCsv(i + 1, 1000 * (i + 1))));
        const int total = paths.size() * (paths.size() + 1) / 2;

        const QDateTime fetchedAt(QDate(2025, 3, 14), QTime(9, 15));
        repo.setClock([fetchedAt] { return fetchedAt; });
        QVERIFY(repo.downloadSync(broker, dir.path()));
        QCOMPARE(repo.size(), total);

        SymbolRepository next;
        next.setClock([fetchedAt] { return fetchedAt.addSecs(600); });
        QVERIFY(next.loadFromCacheSync(broker, dir.path()));
        QCOMPARE(next.size(), total);
        QCOMPARE(host.requestCount(), paths.size());
    }

    void failedDownloadsWriteNoCache_data()
    {
        QTest::addColumn<QString>("broker");
        QTest::addColumn<QString>("silentPath");  // a file the host holds without answering
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("requests");
        QTest::newRow("every file refused") << "FlatTrade" << "" << false << 4;
        QTest::newRow("silent host times out") << "Dhan" << "/api-data/api-scrip-master.csv" << false << 1;
        QTest::newRow("no master to fetch") << "Custom API" << "" << false << 0;
        // A host that says nothing costs one wait, not one per exchange.
        QTest::newRow("silent host, several files") << "Zerodha" << "/instruments/NSE" << false << 1;
        QTest::newRow("master from the connector") << "AngelOne" << "" << true << 0;
    }

    void failedDownloadsWriteNoCache()
    {
        QFETCH(QString, broker);
        QFETCH(QString, silentPath);
        Download d(broker);
        auto& [dir, host, repo] = d;
        if (!silentPath.isEmpty())
            host.setReply("GET", silentPath, HttpTestServer::Reply::silent());
        repo.setDownloadTimeout(200);
        QTEST(repo.downloadSync(broker, dir.path()), "ok");
        QTEST(host.requestCount(), "requests");
        QVERIFY(QDir(dir.path()).entryList(QDir::Files).isEmpty());
    }

    void anAnswerThatIsNoMasterKeepsTheCache_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        // Read as a master, its second line would make a record.
        const QByteArray page = "<html><head><title>Moved</title></head>\n"
                                "<p>This page has moved, please sign in, then try again, or ask support.</p>\n</html>\n";
        QTest::newRow("302 to a login page") << 302 << page;
        QTest::newRow("301") << 301 << page;
        QTest::newRow("307") << 307 << page;
        QTest::newRow("304 without a request for it") << 304 << QByteArray();
        QTest::newRow("500") << 500 << page;
    }

    void anAnswerThatIsNoMasterKeepsTheCache()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        Download d("Fyers");
        auto& [dir, host, repo] = d;
        const QString path = dir.path() + "/fyers_nse_symbols.csv";
        const QByteArray good = zerodhaCsv(4);
        QVERIFY(writeFile(path, good));
        writeMeta(path, QDateTime::currentDateTime().addDays(-3));
        const QByteArray metaBefore = TestFiles::readAll(path + ".meta.json");
        repo.addSymbols(SymbolRepository::parseForBroker(good, "Fyers", "NSE"));
        const int held = repo.size();
        QVERIFY(held > 0);

        HttpTestServer::Reply answer = HttpTestServer::Reply::bytes(body, "text/html");
        answer.status = status;
        answer.headers.append(qMakePair(QByteArray("Location"), QByteArray("http://127.0.0.1:1/login")));
        for (const char* file : {"/sym_details/NSE_CM.csv", "/sym_details/BSE_CM.csv", "/sym_details/MCX_COM.csv"})
            host.setReply("GET", file, answer);
        QSignalSpy missing(&repo, &SymbolRepository::mastersMissing);
        QVERIFY(!repo.downloadSync("Fyers", dir.path()));
        QCOMPARE(host.requestCount(), 3);
        QCOMPARE(TestFiles::readAll(path), good);
        QCOMPARE(TestFiles::readAll(path + ".meta.json"), metaBefore);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 2);
        QCOMPARE(repo.size(), held);
        QVERIFY(!repo.findByToken("please sign in").isFound());
        QCOMPARE(missing.size(), 1);
        QCOMPARE(missing.at(0), (QList<QVariant>{"Fyers", QStringList{"NSE", "BSE", "MCX"}}));
    }

    void aSlowLinkFetchesEveryMaster()
    {
        // Each file takes longer than the stall time to arrive, and all six together far longer,
        // but bytes keep coming: every exchange is loaded.
        Download d("Zerodha");
        auto& [dir, host, repo] = d;
        const QStringList exchanges{"NSE", "BSE", "NFO", "MCX", "BCD", "CDS"};
        for (int i = 0; i < exchanges.size(); ++i) {
            HttpTestServer::Reply slow = HttpTestServer::Reply::bytes(zerodhaCsv(20, 1000 + 100 * i));
            slow.pieces = 8;
            slow.pieceIntervalMs = 50;
            host.setReply("GET", "/instruments/" + exchanges[i], slow);
        }
        repo.setDownloadTimeout(300);
        QSignalSpy missing(&repo, &SymbolRepository::mastersMissing);
        QVERIFY(repo.downloadSync("Zerodha", dir.path()));
        QCOMPARE(repo.size(), 120);
        QVERIFY(missing.isEmpty());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 12);
    }

    void aMasterStalledPartwayCostsOnlyItself()
    {
        // The BSE file starts (headers and part of its rows), then the host says nothing more on
        // that connection. The wait for it ends at the stall bound, and the files before and after
        // it still load; nothing of the half file is kept.
        Download d("Zerodha");
        auto& [dir, host, repo] = d;
        const QStringList exchanges{"NSE", "BSE", "NFO", "MCX", "BCD", "CDS"};
        for (int i = 0; i < exchanges.size(); ++i)
            host.setReply("GET", "/instruments/" + exchanges[i], HttpTestServer::Reply::bytes(zerodhaCsv(5, 1000 + 100 * i)));
        HttpTestServer::Reply stalled = HttpTestServer::Reply::bytes(zerodhaCsv(50, 1100));
        stalled.stallAfterBytes = 200;
        host.setReply("GET", "/instruments/BSE", stalled);
        repo.setDownloadTimeout(300);
        QSignalSpy missing(&repo, &SymbolRepository::mastersMissing);
        QVERIFY(repo.downloadSync("Zerodha", dir.path()));
        QCOMPARE(host.requestCount(), 6);
        QCOMPARE(repo.size(), 25);
        QVERIFY(repo.findByToken("1000").isFound());
        QVERIFY(repo.findByToken("1200").isFound());
        QVERIFY(repo.findByToken("1500").isFound());
        QVERIFY(!repo.findByToken("1100").isFound());
        QCOMPARE(missing.size(), 1);
        QCOMPARE(missing.at(0), (QList<QVariant>{"Zerodha", QStringList{"BSE"}}));
        QVERIFY(!QFile::exists(dir.path() + "/zerodha_bse_symbols.csv"));
        QVERIFY(QFile::exists(dir.path() + "/zerodha_cds_symbols.csv"));
    }

    void aMissingMasterIsFetchedAtTheNextLoad()
    {
        Download d("Zerodha");
        auto& [dir, host, repo] = d;
        const QStringList exchanges{"NSE", "BSE", "NFO", "MCX", "BCD", "CDS"};
        for (int i = 0; i < exchanges.size(); ++i)
            host.setReply("GET", "/instruments/" + exchanges[i], HttpTestServer::Reply::bytes(zerodhaCsv(5, 1000 + 100 * i)));
        host.setReply("GET", "/instruments/NFO", HttpTestServer::Reply::json("{}", 503));
        // After the day's cut-off, whatever the hour the test runs at: the cached files are fresh.
        const QDateTime fetchedAt(QDate::currentDate(), QTime(10, 0));
        repo.setClock([fetchedAt] { return fetchedAt; });
        QSignalSpy missing(&repo, &SymbolRepository::mastersMissing);
        QVERIFY(repo.downloadSync("Zerodha", dir.path()));
        QCOMPARE(repo.size(), 25);
        QCOMPARE(missing.size(), 1);
        QCOMPARE(missing.at(0), (QList<QVariant>{"Zerodha", QStringList{"NFO"}}));
        QVERIFY(!QFile::exists(dir.path() + "/zerodha_nfo_symbols.csv"));

        // The next start loads the five cached exchanges at once and fetches the missing one.
        host.setReply("GET", "/instruments/NFO", HttpTestServer::Reply::bytes(zerodhaCsv(5, 1200)));
        SymbolRepository next;
        next.setClock([fetchedAt] { return fetchedAt.addSecs(600); });
        next.setDownloadHost("Zerodha", host.baseUrl());
        next.setRefreshDelay(0);
        QSignalSpy reloaded(&next, &SymbolRepository::symbolsReloaded);
        QVERIFY(next.loadFromCacheSync("Zerodha", dir.path()));
        QCOMPARE(next.size(), 25);
        QVERIFY(reloaded.wait(5000));
        QCOMPARE(next.size(), 30);
        QCOMPARE(host.requestsTo("/instruments/NFO").size(), 2);
        QCOMPARE(host.requestCount(), 7);
        QVERIFY(QFile::exists(dir.path() + "/zerodha_nfo_symbols.csv"));
    }

    void deferredRefreshDoesNotDuplicateStartupDownload()
    {
        // All caches outdated: the load fails and schedules a refresh; the full start-up download runs
        // next, and the refresh fires inside its nested event loop. Every instrument must end up once.
        Download d("Fyers");
        auto& [dir, host, repo] = d;
        const QString path = dir.path() + "/fyers_nse_symbols.csv";
        QVERIFY(writeFile(path, zerodhaCsv(4)));
        writeMeta(path, QDateTime::currentDateTime().addDays(-3));
        host.setReply("GET", "/sym_details/NSE_CM.csv", HttpTestServer::Reply::bytes(zerodhaCsv(30)));
        host.setReply("GET", "/sym_details/BSE_CM.csv", HttpTestServer::Reply::bytes(zerodhaCsv(3, 800)));
        host.setReply("GET", "/sym_details/MCX_COM.csv", HttpTestServer::Reply::bytes(zerodhaCsv(2, 900)));
        repo.setRefreshDelay(0);
        QSignalSpy reloaded(&repo, &SymbolRepository::symbolsReloaded);
        QVERIFY(!repo.loadFromCacheSync("Fyers", dir.path()));
        QVERIFY(repo.downloadSync("Fyers", dir.path()));
        if (reloaded.isEmpty())
            QVERIFY(reloaded.wait(5000));
        QCOMPARE(repo.size(), 35);
        QCOMPARE(host.requestCount(), 3);
    }

    void upstoxMaster()
    {
        const QByteArray json = R"([
        {"instrument_key":"NSE_EQ|INE002A01018","trading_symbol":"RELIANCE","instrument_type":"EQ",
         "exchange":"nse","segment":"NSE_EQ","lot_size":1,"tick_size":0.05,"isin":"INE002A01018"},
        {"instrument_key":"NSE_FO|1","trading_symbol":"NIFTYFUT","instrument_type":"FUTIDX","lot_size":"50"},
        {"instrument_key":"NSE_FO|2","instrument_type":"CE"},
        {"instrument_key":"NSE_FO|3","trading_symbol":"X","lot_size":2.5,"tick_size":"0.1"},
        7
    ])";
        Download d("Upstox");
        auto& [dir, host, repo] = d;
        const QString path = "/market-quote/instruments/exchange/complete.json.gz";
        host.setReply("GET", path, HttpTestServer::Reply::bytes(ZlibTestUtil::gzip(json)));
        QVERIFY(repo.downloadSync("Upstox", dir.path()));
        QCOMPARE(repo.size(), 3);
        const IndianSymbolData rel = repo.findByToken("NSE_EQ|INE002A01018");
        QCOMPARE(rel.exchange, QString("nse"));
        QCOMPARE(rel.segment, QString("NSE_EQ"));
        QCOMPARE(rel.isin, QString("INE002A01018"));
        QCOMPARE(repo.findByToken("NSE_FO|1").lotSize, 1);  // text lot size
        QCOMPARE(repo.findByToken("NSE_FO|3").lotSize, 1);  // not whole
        QCOMPARE(repo.findByToken("NSE_FO|3").tickSize, 0.05f);
        QVERIFY(QDir(dir.path()).entryList(QDir::Files).isEmpty());  // never cached

        host.setReply("GET", path, HttpTestServer::Reply::bytes(ZlibTestUtil::gzip(R"({"not":"array"})")));
        SymbolRepository r2;
        r2.setDownloadHost("Upstox", host.baseUrl());
        QVERIFY(!r2.downloadSync("Upstox", dir.path()));
        host.setReply("GET", path, HttpTestServer::Reply::bytes(ZlibTestUtil::gzip(json).left(40)));
        QVERIFY(!r2.downloadSync("Upstox", dir.path()));
        host.setReply("GET", path, HttpTestServer::Reply::silent());
        r2.setUpstoxTimeout(200);
        QVERIFY(!r2.downloadSync("Upstox", dir.path()));
        QVERIFY(r2.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSymbolRepository)
#include "tst_symbolrepository.moc"
