// Dhan history helpers: the instrument a symbol names, what becomes a bar of a reply, and the
// instrument-master rows that become repository records.
#include "brokers/dhan/DhanHistory.h"
#include "brokers/dhan/DhanInstrumentList.h"
#include "support/BarText.h"

#include <QtTest>

class TestDhanHistory : public QObject {
    Q_OBJECT
private slots:
    void instrumentForSymbol_data()
    {
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<QString>("segment");
        QTest::addColumn<QString>("instrument");
        QTest::newRow("equity") << "NSE:SBIN" << "NSE_EQ" << "EQUITY";
        QTest::newRow("index future") << "NSE:NIFTY24DECFUT-FUT" << "NSE_FNO" << "FUTIDX";
        QTest::newRow("index") << "NSE:BANKNIFTY" << "NSE_EQ" << "INDEX";
        QTest::newRow("option with -OPT") << "NSE:NIFTY-OPT" << "NSE_FNO" << "OPTIDX";
        QTest::newRow("option by strike and CE") << "NSE:NIFTY24DEC24000CE" << "NSE_FNO" << "OPTIDX";
        QTest::newRow("option by hyphen and PE") << "NSE:BANKNIFTY-Dec2024-51000-PE" << "NSE_FNO" << "OPTIDX";
        // Equities whose names hold CE or PE are not options.
        QTest::newRow("RELIANCE is an equity") << "NSE:RELIANCE" << "NSE_EQ" << "EQUITY";
        QTest::newRow("SPENCERS is an equity") << "NSE:SPENCERS" << "NSE_EQ" << "EQUITY";
        QTest::newRow("name ending in PE") << "NSE:TATAPE" << "NSE_EQ" << "EQUITY";
        QTest::newRow("bse") << "BSE:SENSEX" << "BSE_EQ" << "EQUITY";
        QTest::newRow("mcx") << "MCX:CRUDEOIL" << "MCX_COMM" << "FUTCOM";
        QTest::newRow("no prefix") << "RELIANCE" << "NSE_EQ" << "EQUITY";
        QTest::newRow("lower-case prefix") << "nse:SBIN-FUT" << "NSE_EQ" << "EQUITY";
    }

    void instrumentForSymbol()
    {
        QFETCH(QString, symbol);
        QFETCH(QString, segment);
        QFETCH(QString, instrument);
        const DhanHistory::Instrument r = DhanHistory::instrumentFor(symbol);
        QCOMPARE(r.segment, segment);
        QCOMPARE(r.instrument, instrument);
    }

    void replies_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QStringList>("bars");
        const QByteArray t2 = R"("timestamp":[1717386300,1717386360],)";
        QTest::newRow("every column, with open interest")
            << QByteArray("{" + t2 + R"("open":[1,2],"high":[3,4],"low":[0.5,1.5],"close":[2,3],"volume":[100,200],)"
                          R"("open_interest":[7,8]})")
            << QStringList{"NSE:SBIN 1717386300 1 3 0.5 2 2 100 7", "NSE:SBIN 1717386360 2 4 1.5 3 3 200 8"};
        QTest::newRow("short volume array")
            << QByteArray("{" + t2 + R"("open":[1,2],"high":[1,2],"low":[1,2],"close":[1,2],"volume":[9]})")
            << QStringList{"NSE:SBIN 1717386300 1 1 1 1 1 9 0", "NSE:SBIN 1717386360 2 2 2 2 2 0 0"};
        QTest::newRow("fewer opens than times")
            << QByteArray(R"({"timestamp":[1717386300,1717386360,1717386420],"open":[1],"close":[5],"volume":[7]})")
            << QStringList{"NSE:SBIN 1717386300 1 0 0 5 5 7 0"};
        QTest::newRow("no arrays") << QByteArray("{}") << QStringList{};
        QTest::newRow("not an object") << QByteArray("[1,2]") << QStringList{};
        QTest::newRow("absurd time skipped") << QByteArray(R"({"timestamp":[1e300,1717386300],"open":[1,2],"volume":[4,5]})")
                                             << QStringList{"NSE:SBIN 1717386300 2 0 0 0 0 5 0"};
    }

    void replies()
    {
        QFETCH(QByteArray, body);
        QFETCH(QStringList, bars);
        const DhanHistory::Reply r = DhanHistory::parseReply(body, "NSE:SBIN");
        QVERIFY(r.parsed);
        QCOMPARE(BarText::of(r.bars), bars);
    }

    void replyNotJson()
    {
        const DhanHistory::Reply r = DhanHistory::parseReply("<html>502</html>", "NSE:SBIN");
        QVERIFY(!r.parsed);
        QVERIFY(!r.error.isEmpty());
    }

    void masterRows()
    {
        auto line = [](int fields, const QString& first) {
            QStringList f;
            for (int i = 0; i < fields; ++i)
                f << QStringLiteral("c%1").arg(i);
            f[0] = first;
            f[1] = QStringLiteral("E");
            f[2] = QStringLiteral(" 3045 ");
            f[3] = QStringLiteral("EQUITY");
            f[5] = QStringLiteral("SBIN");
            f[7] = QStringLiteral("STATE BANK");
            return f.join(',');
        };
        const QByteArray csv = QStringList{"SEM_EXM_EXCH_ID,SEM_SEGMENT,SEM_SMST_SECURITY_ID,...", line(16, "NSE"),
                                           line(15, "BSE"), line(20, " MCX "), "", "\"A,B\",x"}
                                   .join("\r\n")
                                   .toUtf8();
        QStringList got;
        for (const DhanInstrumentList::Row& r : DhanInstrumentList::parse(csv))
            got << QStringList{r.symbol, r.token, r.exchange, r.segment, r.instrumentType}.join('|');
        QCOMPARE(got, (QStringList{"NSE:SBIN|3045|NSE|NSE_EQ|EQUITY", "MCX:SBIN|3045|MCX|MCX_COMM|EQUITY"}));
        QCOMPARE(DhanInstrumentList::parse("header only").size(), 0);
        QCOMPARE(DhanInstrumentList::parse(QByteArray()).size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDhanHistory)
#include "tst_dhanhistory.moc"
