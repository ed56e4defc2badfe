// Symbol manager dialog: master cache and conditional download against a loopback host, the
// all-exchanges load, the symbol table, the dialog's watchlist and the lookups.
#include "core/SettingsManager.h"
#include "support/HttpTestServer.h"
#include "support/ListLookups.h"
#include "support/ScriptedDialogPrompts.h"
#include "support/TestEnvironment.h"
#include "support/TestFiles.h"
#include "symbols/ISymbolProvider.h"
#include "symbols/SymbolRepository.h"
#include "ui/dialogs/SymbolManager.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QtTest>

#include <memory>

using TestFiles::writeFile;

namespace {

const QByteArray kZerodhaNse =
    "instrument_token,exchange_token,tradingsymbol,name,last_price,expiry,strike,tick_size,lot_size,"
    "instrument_type,segment,exchange\n"
    "738561,2885,RELIANCE,RELIANCE,0,,0,0.05,1,EQ,NSE,NSE\n"
    "341249,1333,HDFCBANK,HDFC BANK,0,,0,0.05,1,EQ,NSE,NSE\n"
    "408065,1594,INFY,INFOSYS,0,,0,0.05,1,EQ,NSE,NSE\n";

QByteArray fyersFile(const QString& prefix, int rows)
{
    QByteArray out = "token,symbol,isin\n";
    for (int i = 0; i < rows; ++i)
        out += (prefix + QString::number(i) + "," + prefix + "SYM" + QString::number(i) + ",IN" +
                QString::number(i) + "\n").toUtf8();
    return out;
}

QPushButton* button(QWidget* dialog, const QString& text)
{
    for (QPushButton* b : dialog->findChildren<QPushButton*>())
        if (b->text() == text)
            return b;
    return nullptr;
}

void age(const QString& path, qint64 seconds)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadWrite));
    QVERIFY(f.setFileTime(QDateTime::currentDateTime().addSecs(-seconds), QFileDevice::FileModificationTime));
}

// Serves masters from memory; answers only when the test says so.
class MemorySource : public ISymbolProvider {
public:
    QString broker = "Zerodha";
    QStringList requested;
    QString brokerName() const override { return broker; }
    void requestSymbols(const QString& exchange) override { requested.append(exchange); }
};

}  // namespace

class TestSymbolManager : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        QCoreApplication::setOrganizationName("Tickvane");
        QCoreApplication::setApplicationName("Tickvane");
        env.reset(new TestEnvironment);
        server.reset(new HttpTestServer);
        QVERIFY(server->listen());
        settings.reset(new SettingsManager);
        repository.reset(new SymbolRepository);
        prompts.reset(new ScriptedDialogPrompts);
        manager = make();
    }

    void cleanup()
    {
        delete manager;
        manager = nullptr;
        repository.reset();
        settings.reset();
        server.reset();
        env.reset();
    }

    void cacheValidityEndsADayOld_data()
    {
        QTest::addColumn<qint64>("ageSeconds");
        QTest::addColumn<bool>("valid");
        QTest::newRow("fresh") << qint64(10) << true;
        QTest::newRow("one second short of a day") << qint64(86399 - 5) << true;
        QTest::newRow("a day") << qint64(86400) << false;
        QTest::newRow("future") << qint64(-3600) << true;
    }

    void cacheValidityEndsADayOld()
    {
        QFETCH(qint64, ageSeconds);
        const QString path = manager->cacheFilePath("Zerodha", "NSE");
        QVERIFY(path.startsWith(TestEnvironment::appDataPath()));
        QVERIFY(path.endsWith("/zerodha_nse_symbols.csv"));
        // A hostile segment name cannot step out of the cache folder.
        const QString odd = manager->cacheFilePath("TradeJini", "../../etc/x");
        QCOMPARE(QFileInfo(odd).absolutePath(), QFileInfo(path).absolutePath());
        QVERIFY(!manager->isCacheValid(path));
        writeFile(path, kZerodhaNse);
        age(path, ageSeconds);
        QTEST(manager->isCacheValid(path), "valid");
    }

    void conditionalHeadersAndNotModified_data();
    void conditionalHeadersAndNotModified()
    {
        // Every server answer here is "not modified": a cache file is reused as it is, and with no
        // file there is nothing to parse.
        QFETCH(bool, cacheFile);
        QFETCH(QByteArray, meta);
        QFETCH(bool, metaKept);
        const QString csv = manager->cacheFilePath("Zerodha", "NSE");
        const QString metaPath = manager->cacheMetaPath("Zerodha", "NSE");
        if (cacheFile) {
            writeFile(csv, kZerodhaNse);
            age(csv, 2 * 86400);  // stale: the loader must ask the server
        }
        if (!meta.isEmpty())
            writeFile(metaPath, meta);
        server->setReply("GET", "/instruments/NSE", {304, {}, {}, false});

        manager->loadZerodhaSymbols("NSE", false);
        QTRY_COMPARE_WITH_TIMEOUT(server->requestCount(), 1, 10000);
        const HttpTestServer::Request req = server->lastRequest();
        QCOMPARE(req.header("User-Agent"), QByteArray("Tickvane/1.0"));
        QTEST(req.header("If-None-Match"), "ifNoneMatch");
        QTEST(req.header("If-Modified-Since"), "ifModifiedSince");
        if (cacheFile) {
            QTRY_COMPARE_WITH_TIMEOUT(manager->loadedSymbols().size(), 3, 10000);
            QCOMPARE(manager->findChild<QTableWidget*>()->rowCount(), 3);
        } else {
            // The validators that vouched for a missing file go.
            QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(metaPath), 10000);
            QVERIFY(manager->loadedSymbols().isEmpty());
        }
        if (metaKept)
            QCOMPARE(TestFiles::readAll(metaPath), meta);
        QVERIFY(prompts->shown.isEmpty());
    }

    void fullAnswerSavesCacheAndMeta()
    {
        HttpTestServer::Reply r = HttpTestServer::Reply::bytes(kZerodhaNse, "text/csv");
        r.headers.append(qMakePair(QByteArray("ETag"), QByteArray("\"v2\"")));
        r.headers.append(qMakePair(QByteArray("Last-Modified"), QByteArray("Wed, 02 Oct 2024 10:00:00 GMT")));
        server->setReply("GET", "/instruments/NSE", r);
        QSignalSpy added(repository.get(), &SymbolRepository::symbolsLoaded);

        manager->loadZerodhaSymbols("NSE", false);
        QVERIFY(!manager->findChild<QPushButton*>()->isEnabled());  // Load Symbols is the first button
        QTRY_COMPARE_WITH_TIMEOUT(manager->loadedSymbols().size(), 3, 10000);
        QVERIFY(manager->findChild<QPushButton*>()->isEnabled());
        QCOMPARE(TestFiles::readAll(manager->cacheFilePath("Zerodha", "NSE")), kZerodhaNse);
        const QJsonObject meta = manager->readCacheMeta(manager->cacheMetaPath("Zerodha", "NSE"));
        QCOMPARE(meta.value("etag").toString(), QString("\"v2\""));
        QCOMPARE(meta.value("lastModified").toString(), QString("Wed, 02 Oct 2024 10:00:00 GMT"));
        QVERIFY(QDateTime::fromString(meta.value("fetchedAt").toString(), Qt::ISODate).isValid());
        QCOMPARE(added.count(), 1);
        QCOMPARE(added.first().first().toInt(), 3);
        // The table shows the new records at once, not at the next keystroke.
        QCOMPARE(manager->findChild<QTableWidget*>()->rowCount(), 3);

        // An answer without validators leaves only the fetch time.
        server->setReply("GET", "/instruments/BSE", HttpTestServer::Reply::bytes(kZerodhaNse, "text/csv"));
        manager->loadZerodhaSymbols("BSE", true);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(manager->cacheMetaPath("Zerodha", "BSE")), 10000);
        QCOMPARE(manager->readCacheMeta(manager->cacheMetaPath("Zerodha", "BSE")).keys(), QStringList{"fetchedAt"});
    }

    void failedDownloadKeepsCacheAndWarns_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("server error") << 500 << QByteArray("{}");
        // Parsed as a Fyers master, each line of the page would become an instrument.
        QTest::newRow("redirect to a page") << 302 << QByteArray("<html>\n<body>Moved, see here, or there</body>\n</html>\n");
    }
    void failedDownloadKeepsCacheAndWarns()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        const QString csv = manager->cacheFilePath("Fyers", "NSE");
        writeFile(csv, "old");
        age(csv, 2 * 86400);
        writeFile(manager->cacheMetaPath("Fyers", "NSE"), R"({"etag":"e"})");
        HttpTestServer::Reply answer = HttpTestServer::Reply::bytes(body, "text/html");
        answer.status = status;
        answer.headers.append(qMakePair(QByteArray("Location"), QByteArray("http://127.0.0.1:1/login")));
        server->setReply("GET", "/sym_details/NSE_CM.csv", answer);

        manager->loadFyersSymbols("NSE", false);
        QTRY_COMPARE_WITH_TIMEOUT(prompts->shown.size(), 1, 10000);
        QCOMPARE(prompts->last().title, QString("Download Error"));
        QVERIFY(prompts->last().text.startsWith("Failed to download symbol master:\n"));
        QCOMPARE(TestFiles::readAll(csv), QByteArray("old"));
        QVERIFY(QFile::exists(manager->cacheMetaPath("Fyers", "NSE")));
        QVERIFY(manager->loadedSymbols().isEmpty());
        QVERIFY(manager->findChild<QPushButton*>()->isEnabled());
    }

    void failedSaveDropsValidators()
    {
        // A directory in the cache file's place makes the save fail: the validators of the new answer
        // must not be written, and the old ones must go, or a later 304 would vouch for a stale file.
        const QString csv = manager->cacheFilePath("Zerodha", "NSE");
        const QString metaPath = manager->cacheMetaPath("Zerodha", "NSE");
        QVERIFY(QDir().mkpath(csv));
        writeFile(metaPath, R"({"etag":"old"})");
        HttpTestServer::Reply r = HttpTestServer::Reply::bytes(kZerodhaNse, "text/csv");
        r.headers.append(qMakePair(QByteArray("ETag"), QByteArray("\"new\"")));
        server->setReply("GET", "/instruments/NSE", r);

        manager->loadZerodhaSymbols("NSE", true);
        QTRY_COMPARE_WITH_TIMEOUT(manager->loadedSymbols().size(), 3, 10000);  // still usable this session
        QVERIFY(!QFile::exists(metaPath));
    }

    void allExchangesLoadEndsWithCachedExchanges()
    {
        // NSE and BSE come from fresh cache files, MCX from the server: the load must still end.
        writeFile(manager->cacheFilePath("Fyers", "NSE"), fyersFile("N", 2));
        writeFile(manager->cacheFilePath("Fyers", "BSE"), fyersFile("B", 3));
        server->setReply("GET", "/sym_details/MCX_COM.csv", HttpTestServer::Reply::bytes(fyersFile("M", 4), "text/csv"));

        manager->loadSymbolsSilently("Fyers");
        QVERIFY(manager->isLoadingAllExchanges());
        QTRY_VERIFY_WITH_TIMEOUT(!manager->isLoadingAllExchanges(), 10000);
        QCOMPARE(manager->pendingDownloads(), 0);
        QCOMPARE(manager->loadedSymbols().size(), 9);
        QCOMPARE(server->requestCount(), 1);

        // A later single load starts a new list instead of appending to the finished batch.
        manager->loadFyersSymbols("NSE", true);
        QCOMPARE(manager->loadedSymbols().size(), 2);
    }

    void fyersRecordsCarryTheirFilesExchange()
    {
        server->setReply("GET", "/sym_details/NSE_CM.csv", HttpTestServer::Reply::bytes(fyersFile("N", 1), "text/csv"));
        server->setReply("GET", "/sym_details/BSE_CM.csv", HttpTestServer::Reply::bytes(fyersFile("B", 1), "text/csv"));
        server->setReply("GET", "/sym_details/MCX_COM.csv", HttpTestServer::Reply::bytes(fyersFile("M", 1), "text/csv"));
        manager->showForBroker("Fyers");
        QTRY_VERIFY_WITH_TIMEOUT(!manager->isLoadingAllExchanges(), 10000);
        QMap<QString, QString> exchangeByToken;
        for (const IndianSymbolData& r : manager->loadedSymbols())
            exchangeByToken.insert(r.token, r.exchange);
        QCOMPARE(exchangeByToken.value("N0"), QString("NSE"));
        QCOMPARE(exchangeByToken.value("B0"), QString("BSE"));
        QCOMPARE(exchangeByToken.value("M0"), QString("MCX"));
        QVERIFY(manager->isVisible());
        QCOMPARE(manager->findChild<QTableWidget*>()->rowCount(), 3);
    }

    void repeatedCacheLoadDoesNotDuplicate()
    {
        writeFile(manager->cacheFilePath("Zerodha", "NSE"), kZerodhaNse);
        manager->loadZerodhaSymbols("NSE", false);
        manager->loadZerodhaSymbols("NSE", false);
        QCOMPARE(manager->loadedSymbols().size(), 3);
        QCOMPARE(server->requestCount(), 0);
        QCOMPARE(manager->findChild<QTableWidget*>()->rowCount(), 3);
    }

    void sortedTableKeepsRowsWhole()
    {
        manager->parseZerodhaInstruments(kZerodhaNse, false);
        auto* table = manager->findChild<QTableWidget*>();
        table->sortByColumn(2, Qt::AscendingOrder);  // by token
        manager->filterSymbols();
        QCOMPARE(table->rowCount(), 3);
        for (int r = 0; r < table->rowCount(); ++r) {
            const auto rec = table->item(r, 0)->data(Qt::UserRole).value<IndianSymbolData>();
            QCOMPARE(table->item(r, 0)->text(), rec.symbol);
            QCOMPARE(table->item(r, 2)->text(), rec.token);
        }
        // Adding takes the record of the row that is current after sorting.
        table->setCurrentCell(0, 0);
        const QString shownToken = table->item(0, 2)->text();
        button(manager, "Add Selected to Watchlist")->click();
        QCOMPARE(manager->watchlistSymbols().size(), 1);
        QCOMPARE(manager->watchlistSymbols().first().token, shownToken);
    }

    void filterMatchesSymbolTokenIsin()
    {
        manager->parseFlatTradeSymbols("Exchange,Token,LotSize,TradingSymbol,Symbol,Instrument,Expiry,Strike,"
                                       "OptionType,ISIN\n"
                                       "NSE,2885,1,RELIANCE-EQ,,EQ,,,,INE002A01018\n"
                                       "NSE,1594,1,INFY-EQ,,EQ,,,,INE009A01021\n",
                                       false);
        auto* search = manager->findChild<QLineEdit*>();
        auto* table = manager->findChild<QTableWidget*>();
        const QList<QPair<QString, int>> cases{{"lian", 1}, {"  ", 2}, {"159", 1}, {"a01", 2}, {"ine009", 1}, {"zz", 0}};
        for (const auto& c : cases) {
            search->setText(c.first);
            QCOMPARE(table->rowCount(), c.second);
        }
    }

    void invalidChoicesAreRefused()
    {
        auto* broker = manager->findChildren<QComboBox*>().at(0);
        auto* exchange = manager->findChildren<QComboBox*>().at(1);
        broker->setCurrentText("Fyers");
        exchange->setCurrentText("NFO");
        manager->findChild<QPushButton*>()->click();
        QCOMPARE(prompts->last().text, QString("Please select a valid exchange."));

        // A broker outside the four: warning only, the load flag does not stick.
        manager->showForBroker("Kite");
        QVERIFY(!manager->isLoadingAllExchanges());

        // Exchange names are case-sensitive: "nse" has no source, yet the broker becomes Zerodha.
        exchange->setCurrentText("MCX");
        manager->loadZerodhaSymbolsSilent("nse");
        QCOMPARE(exchange->currentText(), QString("MCX"));
        QCOMPARE(broker->currentText(), QString("Zerodha"));
        QCOMPARE(server->requestCount(), 0);
    }

    void exchangeIcons_data()
    {
        QTest::addColumn<QString>("exchange");
        QTest::addColumn<QColor>("colour");  // of the icon's edge; invalid: no icon
        QTest::newRow("NSE") << "NSE" << QColor(21, 101, 192);
        QTest::newRow("BSE") << "BSE" << QColor(230, 81, 0);
        QTest::newRow("NFO") << "NFO" << QColor();
        QTest::newRow("MCX") << "MCX" << QColor();
        QTest::newRow("lower-case nse") << "nse" << QColor();
    }
    void exchangeIcons()
    {
        QFETCH(QString, exchange);
        QFETCH(QColor, colour);
        manager->addToWatchlist(instrument("SBIN", exchange, "3045"));
        const QIcon icon = manager->findChild<QListWidget*>()->item(0)->icon();
        if (!colour.isValid()) {
            QVERIFY(icon.isNull());
            return;
        }
        // The icon is really drawn, not an empty stand-in for a missing file.
        const QImage image = icon.pixmap(16, 16).toImage();
        QVERIFY(!image.isNull());
        QCOMPARE(image.pixelColor(1, 8), colour);
        QCOMPARE(image.pixelColor(0, 0).alpha(), 0);  // rounded corner
    }

    void watchlistEditing()
    {
        auto* group = qobject_cast<QGroupBox*>(manager->findChild<QListWidget*>()->parentWidget());
        // The main window presses the first push button it finds, expecting the load button.
        QCOMPARE(manager->findChild<QPushButton*>()->text(), QString("Load Symbols"));
        QCOMPARE(group->title(), QString("My Watchlist (0 symbols)"));

        const IndianSymbolData a = instrument("RELIANCE", "NSE", "2885");
        const IndianSymbolData sameToken = instrument("OTHER", "BSE", "2885");
        const IndianSymbolData b = instrument("GOLD", "MCX", "1");
        manager->addToWatchlist(a);
        manager->addToWatchlist(sameToken);
        QCOMPARE(prompts->last().title, QString("Already Added"));
        QCOMPARE(group->title(), QString("My Watchlist (1 symbol)"));
        manager->addToWatchlist(b);
        auto* list = manager->findChild<QListWidget*>();
        QCOMPARE(list->count(), 2);
        QCOMPARE(list->item(0)->text(), QString("RELIANCE (NSE)"));
        QVERIFY(list->item(1)->icon().isNull());
        QCOMPARE(group->title(), QString("My Watchlist (2 symbols)"));

        prompts->answers.enqueue(false);
        manager->clearWatchlist();
        QCOMPARE(list->count(), 2);

        list->setCurrentRow(0);
        button(manager, "Remove Selected")->click();
        QCOMPARE(manager->watchlistSymbols().size(), 1);
        QCOMPARE(manager->watchlistSymbols().first().symbol, QString("GOLD"));

        prompts->answers.enqueue(true);
        manager->clearWatchlist();
        QCOMPARE(list->count(), 0);
    }

    void lookups()
    {
        QCOMPARE(manager->findSymbol("reliance"), QString());  // nothing loaded in the dialog yet
        QVERIFY(!manager->hasSymbols());
        manager->parseZerodhaInstruments(kZerodhaNse, false);
        QCOMPARE(manager->findSymbol("  infy "), QString("408065"));
        QCOMPARE(manager->getSymbolForToken("738561"), QString("RELIANCE"));
        QCOMPARE(manager->getSymbolForToken("999"), QString("999"));
        QCOMPARE(manager->symbolByToken("341249").symbol, QString("HDFCBANK"));
        QVERIFY(manager->hasSymbols());

        SymbolManager bare(settings.get(), nullptr);
        QCOMPARE(bare.getSymbolForToken("738561"), QString("738561"));
        QVERIFY(!bare.symbolByToken("738561").isFound());
        QVERIFY(!bare.hasSymbols());
    }

    void clearCacheCountsRemovedFiles()
    {
        writeFile(manager->cacheFilePath("Zerodha", "NSE"), "a");
        writeFile(manager->cacheFilePath("Fyers", "BSE"), "b");
        writeFile(manager->cacheMetaPath("Fyers", "BSE"), "{}");
        writeFile(cacheDir() + "/other.csv", "c");
        manager->clearCache();
        QCOMPARE(prompts->last().title, QString("Cache Cleared"));
        QVERIFY(prompts->last().text.startsWith("Removed 2 cached symbol files."));
        QVERIFY(QFile::exists(manager->cacheMetaPath("Fyers", "BSE")));
        QVERIFY(QFile::exists(cacheDir() + "/other.csv"));
    }

    void providerServesMastersInsteadOfDownloads()
    {
        auto* source = new MemorySource;
        manager->setSymbolProvider(source);
        QCOMPARE(source->manager.data(), static_cast<QObject*>(manager));

        manager->loadSymbolsSilently("Zerodha");
        QCOMPARE(source->requested.size(), 6);
        QCOMPARE(server->requestCount(), 0);
        QVERIFY(manager->isLoadingAllExchanges());
        for (const QString& ex : source->requested)
            emit source->symbolsReady(ex == "NSE" ? kZerodhaNse : QByteArray("header only\n"), ex);
        // Every exchange answered: the load is over and later parses start a new list.
        QVERIFY(!manager->isLoadingAllExchanges());
        QCOMPARE(manager->loadedSymbols().size(), 3);
        QCOMPARE(TestFiles::readAll(manager->cacheFilePath("Zerodha", "NSE")), kZerodhaNse);
        QVERIFY(!QFile::exists(manager->cacheMetaPath("Zerodha", "NSE")));

        // An error ends a waiting all-exchanges load too.
        manager->loadSymbolsSilently("Zerodha");
        emit source->providerError("offline");
        QCOMPARE(prompts->last().title, QString("Provider Error"));
        QVERIFY(!manager->isLoadingAllExchanges());

        // Replacing the source releases the old one later.
        QPointer<MemorySource> old(source);
        manager->setSymbolProvider(nullptr);
        QTRY_VERIFY(old.isNull());
    }

private:
    SymbolManager* make();
    QString cacheDir() const { return manager->cacheDir(); }

    std::unique_ptr<TestEnvironment> env;
    std::unique_ptr<HttpTestServer> server;
    std::unique_ptr<SettingsManager> settings;
    std::unique_ptr<SymbolRepository> repository;
    std::unique_ptr<ScriptedDialogPrompts> prompts;
    SymbolManager* manager = nullptr;
};

SymbolManager* TestSymbolManager::make()
{
    auto* m = new SymbolManager(settings.get(), repository.get());
    m->setPrompts(prompts.get());
    for (const char* b : {"Zerodha", "Fyers", "FlatTrade", "TradeJini"})
        m->setMasterHost(b, server->baseUrl());
    return m;
}

void TestSymbolManager::conditionalHeadersAndNotModified_data()
{
    QTest::addColumn<bool>("cacheFile");
    QTest::addColumn<QByteArray>("meta");
    QTest::addColumn<QByteArray>("ifNoneMatch");
    QTest::addColumn<QByteArray>("ifModifiedSince");
    QTest::addColumn<bool>("metaKept");

    const QByteArray both = R"({"etag":"\"abc\"","lastModified":"Tue, 01 Oct 2024 10:00:00 GMT"})";
    QTest::newRow("meta and cache") << true << both << QByteArray("\"abc\"")
                                    << QByteArray("Tue, 01 Oct 2024 10:00:00 GMT") << true;
    QTest::newRow("meta without cache") << false << both << QByteArray() << QByteArray() << false;
    QTest::newRow("cache without meta") << true << QByteArray() << QByteArray() << QByteArray() << false;
    QTest::newRow("empty etag") << true << QByteArray(R"({"etag":"","lastModified":"X"})") << QByteArray()
                                << QByteArray("X") << true;
    QTest::newRow("malformed meta") << true << QByteArray("[1,2]") << QByteArray() << QByteArray() << true;
}

QTEST_MAIN(TestSymbolManager)
#include "tst_symbolmanager.moc"
