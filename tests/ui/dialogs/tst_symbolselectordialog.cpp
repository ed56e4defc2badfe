// Fyers symbol selector: line parsing, word search, selection and downloads from a loopback host.
#include "support/HttpTestServer.h"
#include "support/ScriptedDialogPrompts.h"
#include "ui/dialogs/SymbolSelectorDialog.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

namespace {

QByteArray line(const QString& token, const QString& name, const QString& isin, const QString& ticker,
                float tick = 0.05f, int extra = 0)
{
    QStringList f{token, name, "0", "1", QString::number(double(tick)), isin, "0915-1530", "1700000000", "",
                  ticker, "10", "0", "2885", "UNDER", "0"};
    for (int i = 0; i < extra; ++i)
        f.append(QString::number(15 + i));
    return f.join(',').toUtf8() + "\n";
}

const QByteArray kHeader = "Fytoken,Symbol Details,Exchange Instrument type,Minimum lot size,Tick size,ISIN,"
                           "Trading Session,Last update date,Expiry date,Symbol ticker,Exchange,Segment,"
                           "Scrip code,Underlying symbol,Underlying scrip code\n";

QPushButton* button(QWidget* dialog, const QString& text)
{
    for (QPushButton* b : dialog->findChildren<QPushButton*>())
        if (b->text() == text)
            return b;
    return nullptr;
}

}  // namespace

class TestSymbolSelectorDialog : public QObject {
    Q_OBJECT

private slots:
    void parseKeepsColumnsAndSkipsShortLines()
    {
        QByteArray fourteen = "1,A,0,1,0.05,I,s,u,e,T,10,0,1,U\n";
        QByteArray data = kHeader + fourteen + line("101", "RELIANCE EQ", "INE002", "NSE:RELIANCE-EQ") +
                          line("102", "X", "I2", "T2", 5.0f, 6).replace("\n", "\r\n") + "\"103\",\"A,B\"," +
                          line("0", "", "", "").mid(2);
        const QList<SymbolData> recs = FyersSymbolDetailsParser::parse(data);
        QCOMPARE(recs.size(), 3);
        QCOMPARE(recs.at(0).fyersToken, QString("101"));
        QCOMPARE(recs.at(0).strikePrice, 0.0f);
        QCOMPARE(recs.at(0).underlyingFyersToken, QString());
        QCOMPARE(recs.at(0).exchange, 10);
        // 21 columns: all 18 fields, the rest ignored; the carriage return stays with the last value read.
        QCOMPARE(recs.at(1).strikePrice, 15.0f);
        QCOMPARE(recs.at(1).optionType, QString("16"));
        QCOMPARE(recs.at(1).underlyingFyersToken, QString("17"));
        // Quotes stay, a quoted comma splits.
        QCOMPARE(recs.at(2).fyersToken, QString("\"103\""));
        QCOMPARE(recs.at(2).symbolName, QString("\"A"));
        QVERIFY(FyersSymbolDetailsParser::parse(line("1", "first line is a header", "", "")).isEmpty());
    }

    void searchNeedsEveryWord()
    {
        HttpTestServer server;
        QVERIFY(server.listen());
        server.setReply("GET", "/sym_details/NSE_CM.csv",
                        HttpTestServer::Reply::bytes(kHeader + line("1", "RELIANCE INDUSTRIES", "INE002A01018", "NSE:RELIANCE-EQ") +
                                                     line("2", "INFOSYS", "INE009A01021", "NSE:INFY-EQ"), "text/csv"));
        SymbolSelectorDialog dlg("Pick");
        ScriptedDialogPrompts prompts;
        dlg.setPrompts(&prompts);
        dlg.setSymbolHost(server.baseUrl());
        QCOMPARE(dlg.findChild<QComboBox*>()->currentText(), QString("NSE - Capital Market"));
        button(&dlg, "Load Symbols")->click();
        auto* status = dlg.findChildren<QLabel*>().last();
        QTRY_COMPARE_WITH_TIMEOUT(status->text(), QString("Loaded 2 symbols"), 10000);
        auto* table = dlg.findChild<QTableWidget*>();
        auto* search = dlg.findChild<QLineEdit*>();
        const QList<QPair<QString, int>> cases{
            {"  ", 2}, {"reliance", 1}, {" RELIANCE   ine002 ", 1}, {"infy a01", 1}, {"reliance infy", 0}, {"ine0", 2}};
        for (const auto& c : cases) {
            search->setText(c.first);
            QCOMPARE(table->rowCount(), c.second);
        }
        search->clear();
        table->sortByColumn(0, Qt::DescendingOrder);
        for (int r = 0; r < table->rowCount(); ++r)
            QCOMPARE(table->item(r, 0)->data(Qt::UserRole).value<SymbolData>().isin, table->item(r, 3)->text());
        QCOMPARE(table->item(0, 5)->text(), QString("0.05"));
    }

    void selectionAddsOnceAndRemovesOne()
    {
        SymbolSelectorDialog dlg("Pick");
        ScriptedDialogPrompts prompts;
        dlg.setPrompts(&prompts);
        dlg.setSelectedSymbols({"7", "9", "7"});
        auto* list = dlg.findChild<QListWidget*>();
        QCOMPARE(list->count(), 3);
        QCOMPARE(list->item(0)->text(), QString("7"));
        list->setCurrentRow(0);
        button(&dlg, "Remove Selected")->click();
        QCOMPARE(dlg.selectedSymbols(), (QStringList{"9", "7"}));
    }

    void downloadFillsTableAndFailureKeepsRecords_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("server error") << 503 << QByteArray("{}");
        // Every line of the page would otherwise become a symbol.
        QTest::newRow("redirect to a page") << 302
                                            << QByteArray("<html>\n<head><title>302 Found</title></head>\n"
                                                          "<body>Moved</body>\n</html>\n");
    }
    void downloadFillsTableAndFailureKeepsRecords()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        HttpTestServer server;
        QVERIFY(server.listen());
        server.setReply("GET", "/sym_details/NSE_CM.csv",
                        HttpTestServer::Reply::bytes(kHeader + line("1", "AAA", "I1", "T1") + line("2", "BBB", "I2", "T2"),
                                                     "text/csv"));
        SymbolSelectorDialog dlg("Pick");
        ScriptedDialogPrompts prompts;
        dlg.setPrompts(&prompts);
        dlg.setSymbolHost(server.baseUrl());
        auto* load = button(&dlg, "Load Symbols");
        load->click();
        QVERIFY(!load->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(dlg.loadedSymbols().size(), 2, 10000);
        auto* table = dlg.findChild<QTableWidget*>();
        table->setCurrentCell(0, 0);
        const QString token = table->item(0, 0)->data(Qt::UserRole).value<SymbolData>().fyersToken;
        QPushButton* add = button(&dlg, "Add Selected");
        add->click();
        add->click();
        QCOMPARE(prompts.last().title, QString("Already Selected"));
        QCOMPARE(dlg.selectedSymbols(), QStringList{token});

        HttpTestServer::Reply failure = HttpTestServer::Reply::bytes(body, "text/html");
        failure.status = status;
        failure.headers.append(qMakePair(QByteArray("Location"), QByteArray("http://127.0.0.1:1/elsewhere")));
        server.setReply("GET", "/sym_details/NSE_CM.csv", failure);
        load->click();
        QTRY_COMPARE_WITH_TIMEOUT(prompts.last().title, QString("Download Error"), 10000);
        QCOMPARE(dlg.loadedSymbols().size(), 2);
        QCOMPARE(dlg.loadedSymbols().first().fyersToken, QString("1"));
        QVERIFY(load->isEnabled());
    }

    void lateAnswerForAnotherExchangeIsDropped()
    {
        HttpTestServer server;
        QVERIFY(server.listen());
        server.setReply("GET", "/sym_details/NSE_CM.csv",
                        HttpTestServer::Reply::bytes(kHeader + line("1", "AAA", "I1", "T1"), "text/csv"));
        SymbolSelectorDialog dlg("Pick");
        dlg.setSymbolHost(server.baseUrl());
        button(&dlg, "Load Symbols")->click();
        dlg.findChild<QComboBox*>()->setCurrentText("BSE - Capital Market");
        QTRY_VERIFY_WITH_TIMEOUT(button(&dlg, "Load Symbols")->isEnabled(), 10000);
        QVERIFY(dlg.loadedSymbols().isEmpty());
        QCOMPARE(dlg.findChild<QTableWidget*>()->rowCount(), 0);
    }
};

QTEST_MAIN(TestSymbolSelectorDialog)
#include "tst_symbolselectordialog.moc"
