// Instrument-master parsers: row rules, header lookup and quoting of the four broker formats.
#include "ui/dialogs/HeaderMasterParser.h"
#include "ui/dialogs/PositionalMasterParser.h"

#include <QtTest>

class TestMasterParsers : public QObject {
    Q_OBJECT

private slots:
    void frameSkipsHeaderBlanksAndStopsAtNul()
    {
        // Blank lines never become the header; nothing after a NUL byte is read.
        QByteArray data = "\n\nkind,symbol,token\nEQ_NSE,AAA,1\n\nEQ_NSE,BBB,2\n";
        data += '\0';
        data += "EQ_NSE,CCC,3\n";
        const auto recs = PositionalMasterParser::parseTradeJini(data);
        QCOMPARE(recs.size(), 2);
        QCOMPARE(recs.at(0).symbol, QString("AAA"));
        QCOMPARE(recs.at(1).symbol, QString("BBB"));
        QVERIFY(PositionalMasterParser::parseZerodha("only,a,header\n").isEmpty());
        QVERIFY(HeaderMasterParser::parseFlatTrade(QByteArray()).isEmpty());
    }

    void tradeJini_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("kept");
        QTest::addColumn<QString>("exchange");
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("lot");
        QTest::addColumn<float>("tick");
        QTest::addColumn<QString>("isin");

        QTest::newRow("three fields") << QByteArray("EQ_NSE, RELIANCE ,2885") << true << "NSE" << "EQ" << 1 << 0.05f << "";
        QTest::newRow("four fields") << QByteArray("EQ_NSE,RELIANCE,2885,25") << true << "NSE" << "EQ" << 25 << 0.05f << "";
        QTest::newRow("eight fields") << QByteArray("FUT_X_nse,NIFTY,35001,50,0.1,a,b, INE1 ") << true << "NSE" << "FUT"
                                      << 50 << 0.1f << "INE1";
        QTest::newRow("no underscore") << QByteArray("bse,ABC,9") << true << "BSE" << "bse" << 1 << 0.05f << "";
        QTest::newRow("two fields") << QByteArray("EQ_NSE,RELIANCE") << false << "" << "" << 0 << 0.f << "";
        QTest::newRow("blank token") << QByteArray("EQ_NSE,RELIANCE,  ") << false << "" << "" << 0 << 0.f << "";
        QTest::newRow("bad numbers") << QByteArray("EQ_NSE,X,1,lot,tick") << true << "NSE" << "EQ" << 0 << 0.f << "";
    }

    void tradeJini()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, kept);
        const auto recs = PositionalMasterParser::parseTradeJini("header\n" + line + "\n");
        QCOMPARE(recs.size(), kept ? 1 : 0);
        if (!kept)
            return;
        QTEST(recs.first().exchange, "exchange");
        QTEST(recs.first().instrumentType, "type");
        QTEST(int(recs.first().lotSize), "lot");
        QTEST(recs.first().tickSize, "tick");
        QTEST(recs.first().isin, "isin");
        QVERIFY(!recs.first().symbol.startsWith(' '));
    }

    void zerodha_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("kept");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("optionType");

        QTest::newRow("equity with CE in symbol") << QByteArray("1,0,RELCEL,,,,,0.05,1,EQ,NSE,NSE") << true << "" << "";
        QTest::newRow("call option") << QByteArray("2,0,NIFTY24DEC24000CE,,,2024-12-26,24000,0.05,50,CE,NFO-OPT,NFO")
                                     << true << "NIFTY" << "CE";
        QTest::newRow("future containing PE") << QByteArray("3,0,OPEN24DECFUT,,,,,0.05,1,FUT,NFO-FUT,NFO") << true << "OPEN"
                                              << "PE";
        QTest::newRow("both PE and CE") << QByteArray("4,0,ACE24PE,,,,,,,OPT,NFO-OPT,NFO") << true << "ACE" << "PE";
        QTest::newRow("future") << QByteArray("5,0,NIFTY24DECFUT,,,,,0.05,50,FUT,NFO-FUT,NFO") << true << "" << "";
        QTest::newRow("eleven fields") << QByteArray("6,0,X,,,,,0.05,1,EQ,NSE") << false << "" << "";
        QTest::newRow("all empty") << QByteArray(",,,,,,,,,,,") << true << "" << "";
    }

    void zerodha()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, kept);
        const auto recs = PositionalMasterParser::parseZerodha("instrument_token,...\n" + line + "\n");
        QCOMPARE(recs.size(), kept ? 1 : 0);
        if (!kept)
            return;
        QTEST(recs.first().name, "name");
        QTEST(recs.first().optionType, "optionType");
    }

    void flatTradeFindsColumnsByName_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::newRow("named, mixed case and quotes")
            << QByteArray("\"Exchange\",TOKEN,LotSize,\"TradingSymbol\",Symbol,Instrument,Expiry,Strike,OptionType,ISIN");
        QTest::newRow("unknown names use defaults") << QByteArray("a,b,c,d,e,f,g,h,i,j");
    }

    void flatTradeFindsColumnsByName()
    {
        QFETCH(QByteArray, header);
        const auto recs = HeaderMasterParser::parseFlatTrade(
            header + "\nnse,26000,50,NIFTY24DECFUT,NIFTY,FUTIDX,26-DEC-2024,0,XX,INE0\n");
        QCOMPARE(recs.size(), 1);
        const IndianSymbolData& r = recs.first();
        QCOMPARE(r.exchange, QString("NSE"));
        QCOMPARE(r.token, QString("26000"));
        QCOMPARE(r.lotSize, 50);
        QCOMPARE(r.symbol, QString("NIFTY24DECFUT"));
        QCOMPARE(r.instrumentType, QString("FUTIDX"));
        QCOMPARE(r.expiry, QString("26-DEC-2024"));
        QCOMPARE(r.optionType, QString("XX"));
        QCOMPARE(r.isin, QString("INE0"));
    }

    void flatTradeRows()
    {
        // Columns are found by header name in a different order; "symbol" is the fallback of an empty
        // trading symbol; a later duplicate column wins; quotes inside values go.
        const QByteArray data = "Token,Symbol,TradingSymbol,Exchange,Lot,Exchange\n"
                                "1,SYM1,TS1,x,10, nse \n"
                                "2,SYM2,,x,10,bse\n"
                                "3,,,x,10,nse\n"
                                ",S,T,x,1,nse\n"
                                "4,\"A\"\"B\", \" C D \" ,x\n";
        const auto recs = HeaderMasterParser::parseFlatTrade(data);
        QCOMPARE(recs.size(), 3);
        QCOMPARE(recs.at(0).symbol, QString("TS1"));
        QCOMPARE(recs.at(0).exchange, QString("NSE"));
        QCOMPARE(recs.at(1).symbol, QString("SYM2"));
        QCOMPARE(recs.at(1).exchange, QString("BSE"));
        // The line ends before the lot column: lot 0, still kept; the quoted spaces survive.
        QCOMPARE(recs.at(2).token, QString("4"));
        QCOMPARE(recs.at(2).symbol, QString(" C D "));
        QCOMPARE(recs.at(2).lotSize, 0);
        QCOMPARE(recs.at(2).exchange, QString());
    }

    void fyersRows()
    {
        QByteArray header = "Fytoken,Symbol Details,Type,Lot,Tick,ISIN,a,b,c,Ticker,e,f,g,Underlying";
        QByteArray full = "\"101\",Reliance,0,1,0.05, \"INE002A01018\" ,x,x,x,NSE:RELIANCE-EQ,10,0,2885,RELIANCE\n";
        QByteArray noSymbolColumn = "102,Second,0,1,0.05,INE1,x,x,x,T,10,0,1,\n";
        QByteArray empty = ",,0,1\n";
        const auto recs = HeaderMasterParser::parseFyers(header + "\n" + full + noSymbolColumn + empty, "BSE");
        QCOMPARE(recs.size(), 2);
        QCOMPARE(recs.at(0).token, QString("101"));
        QCOMPARE(recs.at(0).symbol, QString("RELIANCE"));  // column 13 of a wide file
        QCOMPARE(recs.at(0).isin, QString("INE002A01018"));
        QCOMPARE(recs.at(0).exchange, QString("BSE"));
        QCOMPARE(recs.at(0).extra1, QString("101"));
        QCOMPARE(recs.at(1).symbol, QString("Second"));  // empty column 13 falls back to column 1

        // A narrow header without an ISIN name: no ISIN; a named symbol column is used.
        const auto narrow = HeaderMasterParser::parseFyers("token,x,symbol\n7,y,ABC\n", "NSE");
        QCOMPARE(narrow.size(), 1);
        QCOMPARE(narrow.first().symbol, QString("ABC"));
        QCOMPARE(narrow.first().isin, QString());
    }

    void unquotedField_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("expected");
        QTest::newRow("quoted pair") << "\"ABC\"" << "ABC";
        QTest::newRow("single quote char") << "\"" << "\"";
        QTest::newRow("blanks outside") << "  \"A B\"  " << "A B";
        QTest::newRow("inner quotes stay") << "\"A\"\"B\"" << "A\"\"B";
    }

    void unquotedField()
    {
        QFETCH(QString, field);
        const QString line = "x," + field;
        const QVector<QStringRef> fields = line.splitRef(',');
        QTEST(HeaderMasterParser::unquotedField(fields, 1), "expected");
        QCOMPARE(HeaderMasterParser::unquotedField(fields, 2), QString());
        QCOMPARE(HeaderMasterParser::unquotedField(fields, -1), QString());
    }
};

QTEST_GUILESS_MAIN(TestMasterParsers)
#include "tst_masterparsers.moc"
