// Quick-add search: which instruments the popup lists and in what order, what Enter adds, and the
// popup's life in the window (typing, clicking a row, losing activation).
#include "support/ListLookups.h"
#include "support/OfflineWindow.h"
#include "ui/SymbolSearch.h"

#include <QLineEdit>
#include <QtTest>

namespace {

// The quick-add popup: the seven-column top-level table.
QTableWidget* searchPopup()
{
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (auto* t = qobject_cast<QTableWidget*>(top); t && t->columnCount() == 7)
            return t;
    }
    return nullptr;
}

QStringList symbolsOf(const QList<IndianSymbolData>& list)
{
    QStringList s;
    for (const IndianSymbolData& r : list)
        s << r.symbol + "/" + r.exchange;
    return s;
}

} // namespace

class TestSymbolSearch : public QObject, protected WindowFixture
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(openHome("SymbolSearchTest")); }
    void init() { freshState(); }
    void cleanup() { dropState(); }

    void brokerTokenFilters_data()
    {
        QTest::addColumn<QString>("broker");
        QTest::addColumn<QString>("token");
        QTest::addColumn<bool>("typing");
        QTest::addColumn<bool>("enter");
        QTest::newRow("zerodha 3 digits") << "Zerodha" << "123" << true << true;
        QTest::newRow("zerodha 10 digits") << "Zerodha" << "1234567890" << true << true;
        QTest::newRow("zerodha 2 digits") << "Zerodha" << "12" << false << false;
        QTest::newRow("zerodha 11 digits") << "Zerodha" << "12345678901" << false << false;
        QTest::newRow("zerodha letter") << "Zerodha" << "12A45" << false << false;
        QTest::newRow("flattrade 101 + 14") << "FlatTrade" << "10100000002885" << true << true;
        QTest::newRow("flattrade 13 chars") << "FlatTrade" << "1010000000288" << false << false;
        QTest::newRow("flattrade other prefix") << "FlatTrade" << "10200000002885" << false << false;
        QTest::newRow("tradejini 9 digits") << "TradeJini" << "123456789" << true << true;
        QTest::newRow("tradejini 10 digits") << "TradeJini" << "1234567890" << true << false;
        QTest::newRow("tradejini text") << "TradeJini" << "NSE_EQ|1" << true << false;
        QTest::newRow("upstox key") << "Upstox" << "NSE_EQ|INE002A01018" << true << true;
    }

    void brokerTokenFilters()
    {
        QFETCH(QString, broker);
        QFETCH(QString, token);
        QTEST(SymbolSearch::passesTypingFilter(broker, token), "typing");
        QTEST(SymbolSearch::passesExactFilter(broker, token), "enter");
    }

    void matchingWordsAndCap()
    {
        const QList<IndianSymbolData> records{instrument("NIFTY BANK", "NSE", "1"), instrument("BANK NIFTY FUT", "NFO", "2"),
                                              instrument("BANKBARODA", "NSE", "3"), instrument("NIFTY", "NSE", "4")};
        // Two words match in either order; one word is a plain substring test.
        QCOMPARE(symbolsOf(SymbolSearch::matches(records, "NIFTY BANK", "Dhan")),
                 QStringList({"NIFTY BANK/NSE", "BANK NIFTY FUT/NFO"}));
        QCOMPARE(SymbolSearch::matches(records, "BANK", "Dhan").size(), 3);

        // Only the first 15 matches in repository order are kept, even when a later one would
        // rank first.
        QList<IndianSymbolData> many;
        for (int i = 0; i < 40; ++i)
            many << instrument(QString("INFY%1").arg(i, 2, 10, QChar('0')), "NSE", QString::number(1000 + i), "FUTSTK");
        many << instrument("INFY", "NSE", "999", "EQ");
        QList<IndianSymbolData> found = SymbolSearch::matches(many, "INFY", "Zerodha");
        QCOMPARE(found.size(), 15);
        QCOMPARE(found.last().symbol, QString("INFY14"));
        SymbolSearch::rank(found, "INFY");
        QCOMPARE(found.first().symbol, QString("INFY00"));
    }

    void ranking_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QList<IndianSymbolData>>("input");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("equity before future, any order")
            << "RELI" << QList<IndianSymbolData>{instrument("RELIANCE FUT", "NFO", "2", "FUTSTK"), instrument("RELIANCE", "NSE", "1", "EQ")}
            << QStringList{"RELIANCE/NSE", "RELIANCE FUT/NFO"};
        QTest::newRow("exact before prefix")
            << "TCS" << QList<IndianSymbolData>{instrument("TCSX", "NSE", "2"), instrument("TCS", "NSE", "1", "EQUITY")}
            << QStringList{"TCS/NSE", "TCSX/NSE"};
        QTest::newRow("query-blank before prefix")
            << "NIFTY" << QList<IndianSymbolData>{instrument("NIFTYBEES", "NSE", "2"), instrument("NIFTY 50", "NSE", "1")}
            << QStringList{"NIFTY 50/NSE", "NIFTYBEES/NSE"};
        QTest::newRow("future before option")
            << "BANK" << QList<IndianSymbolData>{instrument("BANKNIFTY CE", "NFO", "2", "CE"), instrument("BANKNIFTY FUT", "NFO", "1", "FUTIDX")}
            << QStringList{"BANKNIFTY FUT/NFO", "BANKNIFTY CE/NFO"};
        QTest::newRow("unknown type last")
            << "GOLD" << QList<IndianSymbolData>{instrument("GOLDX", "MCX", "2", "XYZ"), instrument("GOLDY", "MCX", "1", "OPTSTK")}
            << QStringList{"GOLDY/MCX", "GOLDX/MCX"};
        QTest::newRow("expiry text then strike")
            << "X" << QList<IndianSymbolData>{instrument("XB", "NFO", "1", "CE", "2026-02-26", 100), instrument("XA", "NFO", "2", "CE", "2026-01-29", 200)}
            << QStringList{"XA/NFO", "XB/NFO"};
        QTest::newRow("strikes within 0.01 fall to symbol text")
            << "X" << QList<IndianSymbolData>{instrument("XB", "NFO", "1", "CE", "2026-01-29", 100.0f), instrument("XA", "NFO", "2", "CE", "2026-01-29", 100.005f)}
            << QStringList{"XA/NFO", "XB/NFO"};
        QTest::newRow("lower strike first")
            << "X" << QList<IndianSymbolData>{instrument("XA", "NFO", "1", "PE", "2026-01-29", 250), instrument("XB", "NFO", "2", "PE", "2026-01-29", 200)}
            << QStringList{"XB/NFO", "XA/NFO"};
    }

    void ranking()
    {
        QFETCH(QString, query);
        QFETCH(QList<IndianSymbolData>, input);
        SymbolSearch::rank(input, query);
        QTEST(symbolsOf(input), "expected");
    }

    void rankingSurvivesInconsistentComparisons()
    {
        // Strikes 0.000, 0.008, 0.016 ... are each "equal" to their neighbours but not to their
        // neighbours' neighbours, and expiries are compared only when both are present: the order
        // is not transitive. The sort must still end, keep every record and sort what it can.
        QList<IndianSymbolData> list;
        for (int i = 14; i >= 0; --i)
            list << instrument(QString("OPT%1").arg(i), "NFO", QString::number(i), "CE",
                        i % 3 ? QString("2026-0%1-01").arg(1 + i % 9) : QString(), float(i) * 0.008f);
        SymbolSearch::rank(list, "OPT");
        QCOMPARE(list.size(), 15);
        QSet<QString> seen;
        for (const IndianSymbolData& r : list)
            seen.insert(r.symbol);
        QCOMPARE(seen.size(), 15);
    }

    void exactMatchPrefersNse()
    {
        const QList<IndianSymbolData> both{instrument("SBIN", "BSE", "500112"), instrument("sbin", "nse", "3045")};
        QCOMPARE(SymbolSearch::exactMatch(both, "SBIN", "Dhan").token, QString("3045"));
        const QList<IndianSymbolData> bseOnly{instrument("SBINX", "NSE", "1"), instrument("SBIN", "BSE", "500112")};
        QCOMPARE(SymbolSearch::exactMatch(bseOnly, "SBIN", "Dhan").token, QString("500112"));
        // TradeJini's Enter filter drops a 10-digit token that its popup lists.
        const QList<IndianSymbolData> long10{instrument("ACME", "NSE", "1234567890")};
        QVERIFY(SymbolSearch::exactMatch(long10, "ACME", "TradeJini").token.isEmpty());
        QCOMPARE(SymbolSearch::matches(long10, "ACME", "TradeJini").size(), 1);
    }

    void popupCells_data()
    {
        QTest::addColumn<float>("strike");
        QTest::addColumn<QString>("shown");
        QTest::newRow("zero") << 0.0f << "-";
        QTest::newRow("one paisa") << 0.01f << "-";
        QTest::newRow("two paise") << 0.02f << "0.02";
        QTest::newRow("strike") << 24500.0f << "24500.00";
    }

    void popupCells()
    {
        QFETCH(float, strike);
        QFETCH(QString, shown);
        IndianSymbolData r = instrument("NIFTY", "NFO", "42", QString(), QString(), strike);
        const QStringList cells = SymbolSearch::popupCells(r);
        QCOMPARE(cells, QStringList({"NIFTY", "NFO", "42", "EQUITY", "-", shown, "-"}));
    }

    void typingFillsPopupAndClickAdds()
    {
        settings->setProvider(SettingsManager::Dhan);
        auto w = makeWindow({instrument("TATAMOTORS FUT", "NFO", "2", "FUTSTK"), instrument("TATASTEEL", "NSE", "3499", "EQ"),
                             instrument("TATAMOTORS", "NSE", "3456", "EQ")});
        auto* edit = w->findChild<QLineEdit*>("symbolSearchEdit");
        QTableWidget* popup = searchPopup();
        QVERIFY(edit && popup);
        w->show();

        edit->setText(" t ");
        QVERIFY(!popup->isVisible());
        edit->setText("tata");
        QVERIFY(popup->isVisible());
        QCOMPARE(popup->rowCount(), 3);
        QCOMPARE(popup->item(0, 0)->text(), QString("TATAMOTORS"));
        QCOMPARE(popup->item(2, 0)->text(), QString("TATAMOTORS FUT"));
        QCOMPARE(popup->item(2, 3)->text(), QString("FUTSTK"));
        QVERIFY(popup->item(0, 0)->font().bold());
        QVERIFY(popup->height() <= 300);

        // A query below two characters hides the popup but keeps its rows valid for a click.
        edit->setText("t");
        QVERIFY(!popup->isVisible());
        broker->calls.clear();
        QMetaObject::invokeMethod(popup, "cellClicked", Q_ARG(int, 1), Q_ARG(int, 4));
        QCOMPARE(settings->watchlistForBroker("Dhan"), QStringList{"3499"});
        // The connector is told the new list at once.
        QVERIFY(!broker->subscribeLists().isEmpty());
        QCOMPARE(broker->subscribeLists().last(), QString("3499"));
        QVERIFY(edit->text().isEmpty());
        QMetaObject::invokeMethod(popup, "cellClicked", Q_ARG(int, 7), Q_ARG(int, 0));
        QCOMPARE(settings->watchlistForBroker("Dhan"), QStringList{"3499"});

        edit->setText("zz");
        QVERIFY(!popup->isVisible());

        // The popup goes when the application loses activation.
        edit->setText("tata");
        QVERIFY(popup->isVisible());
        QEvent deactivate(QEvent::ApplicationDeactivate);
        QCoreApplication::sendEvent(qApp, &deactivate);
        QVERIFY(!popup->isVisible());
    }

    void enterAddsExactOrReportsMissing()
    {
        settings->setProvider(SettingsManager::Zerodha);
        auto w = makeWindow({instrument("INFY", "BSE", "500209"), instrument("INFY", "NSE", "408065"),
                             instrument("INFYX", "NSE", "12")});
        auto* edit = w->findChild<QLineEdit*>("symbolSearchEdit");
        edit->setText("  infy ");
        QMetaObject::invokeMethod(edit, "returnPressed");
        QCOMPARE(settings->watchlistForBroker("Zerodha"), QStringList{"408065"});
        QVERIFY(edit->text().isEmpty());
        QVERIFY(prompts->shown.isEmpty());

        // The short token fails Zerodha's filter: no exact match, and the text stays for editing.
        edit->setText("infyx");
        QMetaObject::invokeMethod(edit, "returnPressed");
        QCOMPARE(prompts->kinds(), QStringList{"information"});
        QCOMPARE(prompts->shown.first().title, QString("Symbol Not Found"));
        QVERIFY(prompts->shown.first().text.startsWith("No exact match for 'INFYX'. Please:\n\n•"));
        QCOMPARE(edit->text(), QString("infyx"));
        QCOMPARE(settings->watchlistForBroker("Zerodha"), QStringList{"408065"});
    }

private:
    std::unique_ptr<MainWindow> makeWindow(const QList<IndianSymbolData>& records);
};

std::unique_ptr<MainWindow> TestSymbolSearch::makeWindow(const QList<IndianSymbolData>& records)
{
    auto w = std::make_unique<MainWindow>(recordingSeams());
    finishStartup(*w);
    // The start-up load finds no master; the test's instruments arrive afterwards.
    w->repository()->addSymbols(records);
    prompts->shown.clear();
    return w;
}

// ---------------------------------------------------------------------------------------------

// ---------------------------------------------------------------------------------------------

QTEST_MAIN(TestSymbolSearch)
#include "tst_symbolsearch.moc"
