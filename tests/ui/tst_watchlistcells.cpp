// Watchlist text rules, backfill choices and the row flash: what a trader reads in each cell.
#include "ui/BackfillChoices.h"
#include "ui/RowHighlighter.h"
#include "ui/WatchlistFormat.h"

#include <QComboBox>
#include <QTableWidget>
#include <QtTest>

#include <limits>

static QTableWidget* makeTable(int rows)
{
    auto* t = new QTableWidget(rows, 3);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < 3; ++c)
            t->setItem(r, c, new QTableWidgetItem("x"));
    return t;
}

class TestWatchlistCells : public QObject
{
    Q_OBJECT

private slots:
    void displayName_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("repo");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("fallback");
        QTest::newRow("known") << "2885" << "RELIANCE" << "RELIANCE" << false;
        QTest::newRow("repo equals token") << "2885" << "2885" << "2885" << true;
        QTest::newRow("10-digit unknown") << "1234567890" << "" << "1234567890" << true;
        QTest::newRow("11-digit unknown") << "12345678901" << "" << "Token_678901" << true;
        QTest::newRow("14 chars not numeric") << "NSE:ABCDEFGHIJ" << "" << "NSE:ABCDEFGHIJ" << true;
        QTest::newRow("digits beyond 64 bits") << "123456789012345678901234" << ""
                                               << "123456789012345678901234" << true;
        QTest::newRow("empty token") << "" << "" << "" << true;
        QTest::newRow("real name starting Token_") << "77" << "Token_X" << "Token_X" << true;
    }

    void displayName()
    {
        QFETCH(QString, token);
        QFETCH(QString, repo);
        const QString name = WatchlistFormat::displayName(token, repo);
        QTEST(name, "expected");
        QTEST(WatchlistFormat::isFallbackName(name, token), "fallback");
    }

    void volume_data()
    {
        QTest::addColumn<double>("volume");
        QTest::addColumn<bool>("index");
        QTest::addColumn<QString>("expected");
        QTest::newRow("zero") << 0.0 << false << "-";
        QTest::newRow("negative") << -5.0 << false << "-";
        QTest::newRow("nan") << std::numeric_limits<double>::quiet_NaN() << false << "-";
        QTest::newRow("index") << 500.0 << true << "-";
        QTest::newRow("small") << 1234.0 << false << "1,234";
        QTest::newRow("fraction") << 1.5 << false << "1.5";
        QTest::newRow("rounds up to a million") << 999999.7 << false << "1,000,000";
        QTest::newRow("millions keep every digit") << 1234567.0 << false << "1,234,567";
        QTest::newRow("billions") << 9876543210.0 << false << "9,876,543,210";
    }

    void volume()
    {
        QFETCH(double, volume);
        QFETCH(bool, index);
        QTEST(WatchlistFormat::volume(volume, index), "expected");
    }

    void priceAndPercent_data()
    {
        QTest::addColumn<double>("ltp");
        QTest::addColumn<double>("open");
        QTest::addColumn<QString>("ltpText");
        QTest::addColumn<QString>("percentText");
        QTest::addColumn<QColor>("colour");  // of the change
        const QColor green(0, 150, 0), red(200, 0, 0);
        QTest::newRow("up") << 102.5 << 100.0 << "102.50" << "2.50" << green;
        QTest::newRow("down") << 98.0 << 100.0 << "98.00" << "-2.00" << red;
        QTest::newRow("flat") << 100.0 << 100.0 << "100.00" << "0.00" << green;
        QTest::newRow("no open") << 55.25 << 0.0 << "55.25" << "0.00" << green;
        QTest::newRow("large, no grouping") << 123456.789 << 120000.0 << "123456.79" << "2.88" << green;
    }

    void priceAndPercent()
    {
        QFETCH(double, ltp);
        QFETCH(double, open);
        QTEST(WatchlistFormat::price(ltp), "ltpText");
        QTEST(WatchlistFormat::price(WatchlistFormat::percentChange(ltp, open)), "percentText");
        QTEST(WatchlistFormat::priceColor(ltp - open), "colour");
    }

    void indexDetection_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("segment");
        QTest::addColumn<bool>("index");
        QTest::newRow("type INDEX") << "INDEX" << "NSE" << true;
        QTest::newRow("type lower case") << "Index" << "" << true;
        QTest::newRow("segment INDICES") << "EQ" << "indices" << true;
        QTest::newRow("equity") << "EQ" << "NSE" << false;
        QTest::newRow("empty") << "" << "" << false;
    }

    void indexDetection()
    {
        QFETCH(QString, type);
        QFETCH(QString, segment);
        QTEST(WatchlistFormat::isIndex(type, segment), "index");
    }

    void timeframes_data()
    {
        QTest::addColumn<int>("provider");
        QTest::addColumn<QStringList>("intervals");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("Zerodha") << 0
                                 << QStringList{"minute", "3minute", "5minute", "10minute",
                                                "15minute", "30minute", "60minute", "day"}
                                 << "day" << true;
        QTest::newRow("TradeJini") << 2 << QStringList{"minute"} << "minute" << false;
        QTest::newRow("Dhan") << 3
                              << QStringList{"1minute", "5minute", "15minute", "25minute",
                                             "60minute", "day"}
                              << "day" << true;
    }

    void timeframes()
    {
        QFETCH(int, provider);
        QComboBox combo;
        combo.addItem("stale", "stale");
        // Refilling for another provider must also undo a previous TradeJini lock.
        BackfillChoices::populateTimeframeCombo(&combo, 2);
        BackfillChoices::populateTimeframeCombo(&combo, provider);
        QStringList got;
        for (int i = 0; i < combo.count(); ++i)
            got << combo.itemData(i).toString();
        QTEST(got, "intervals");
        QTEST(combo.currentData().toString(), "selected");
        QTEST(combo.isEnabled(), "enabled");
        BackfillChoices::populateTimeframeCombo(nullptr, provider);  // ignored, no crash
    }

    void range_data()
    {
        QTest::addColumn<int>("days");
        QTest::addColumn<QDate>("customFrom");
        QTest::addColumn<QDate>("customTo");
        QTest::addColumn<QDate>("from");
        QTest::addColumn<QDate>("to");
        QTest::addColumn<bool>("valid");
        const QDate today(2026, 3, 1);
        QTest::newRow("last 30 days") << 30 << QDate() << QDate() << QDate(2026, 1, 30) << today
                                      << true;
        QTest::newRow("custom") << -1 << QDate(2025, 12, 1) << QDate(2025, 12, 31)
                                << QDate(2025, 12, 1) << QDate(2025, 12, 31) << true;
        QTest::newRow("custom one day") << -1 << QDate(2025, 12, 1) << QDate(2025, 12, 1)
                                        << QDate(2025, 12, 1) << QDate(2025, 12, 1) << true;
        QTest::newRow("custom reversed") << -1 << QDate(2026, 2, 1) << QDate(2026, 1, 1)
                                         << QDate(2026, 2, 1) << QDate(2026, 1, 1) << false;
        QTest::newRow("custom missing date") << -1 << QDate(2026, 2, 1) << QDate()
                                             << QDate(2025, 3, 1) << today << true;
    }

    void range()
    {
        QFETCH(int, days);
        QFETCH(QDate, customFrom);
        QFETCH(QDate, customTo);
        const auto r = BackfillChoices::rangeFor(days, customFrom, customTo, QDate(2026, 3, 1));
        QTEST(r.from, "from");
        QTEST(r.to, "to");
        QTEST(r.isValid(), "valid");
    }

    void highlightClearsOnceAfterBurst()
    {
        QScopedPointer<QTableWidget> table(makeTable(3));
        RowHighlighter h(table.data(), 50);
        for (int i = 0; i < 1000; ++i)
            h.highlight(1);
        h.highlight(2);
        // A burst on one row keeps one pending clear, not one per tick.
        QCOMPARE(h.pendingCount(), 2);
        QCOMPARE(table->item(1, 2)->background().color(), WatchlistFormat::highlightColor());
        QCOMPARE(table->item(0, 0)->data(Qt::BackgroundRole), QVariant());
        QTRY_COMPARE_WITH_TIMEOUT(h.pendingCount(), 0, 5000);
        for (int c = 0; c < 3; ++c) {
            QCOMPARE(table->item(1, c)->data(Qt::BackgroundRole), QVariant());
            QCOMPARE(table->item(2, c)->data(Qt::BackgroundRole), QVariant());
        }
        h.highlight(-1);  // out of range: ignored
        h.highlight(3);
        QCOMPARE(h.pendingCount(), 0);
    }

    void highlightSurvivesShrunkTable()
    {
        QScopedPointer<QTableWidget> table(makeTable(5));
        RowHighlighter h(table.data(), 20);
        h.highlight(4);
        table->setRowCount(2);  // the row went away before the clear
        QTRY_COMPARE_WITH_TIMEOUT(h.pendingCount(), 0, 5000);
        table->setRowCount(5);
        QVERIFY(!table->item(4, 0));
        h.highlight(0);
        h.reset();
        QCOMPARE(h.pendingCount(), 0);
    }
};

QTEST_MAIN(TestWatchlistCells)
#include "tst_watchlistcells.moc"
