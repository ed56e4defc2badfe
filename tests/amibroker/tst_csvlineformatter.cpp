// CSV lines and history file names exactly as AmiBroker must read them.
#include "amibroker/CSVLineFormatter.h"

#include <QtTest>

#include <cmath>
#include <limits>

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

TickData tick(const QDateTime& when, double ltp, double open, double high, double low, double volume = 0,
              double openInterest = 0)
{
    TickData t;
    t.symbol = QStringLiteral("own-symbol-not-written");
    t.timestamp = when;
    t.ltp = ltp;
    t.open = open;
    t.high = high;
    t.low = low;
    t.volume = volume;
    t.openInterest = openInterest;
    return t;
}

const QDateTime kWhen(QDate(2024, 3, 15), QTime(9, 15, 3));

} // namespace

class TestCSVLineFormatter : public QObject
{
    Q_OBJECT

private slots:
    void amiBrokerLine_data()
    {
        QTest::addColumn<TickData>("tick");
        QTest::addColumn<QString>("expected"); // the line for symbol "NSE:SBIN"

        QTest::newRow("worked example") << tick(kWhen, 761.45, 760.1, 762, 758.25, 345.8)
                                        << "NSE:SBIN,2024-03-15,09:15:03,760.10,762.00,758.25,761.45,345,0\n";
        QTest::newRow("open 0: all three take ltp") << tick(kWhen, 100.5, 0, 101, 99)
                                                    << "NSE:SBIN,2024-03-15,09:15:03,100.50,100.50,100.50,100.50,0,0\n";
        QTest::newRow("negative low: all three take ltp") << tick(kWhen, 50, 49, 51, -1)
                                                          << "NSE:SBIN,2024-03-15,09:15:03,50.00,50.00,50.00,50.00,0,0\n";
        QTest::newRow("NaN high: all three take ltp") << tick(kWhen, 50, 49, kNaN, 48)
                                                      << "NSE:SBIN,2024-03-15,09:15:03,50.00,50.00,50.00,50.00,0,0\n";
        QTest::newRow("counts truncated toward zero") << tick(kWhen, 2456.5, 2450, 2460, 2440, 1234.99, -3.7)
                                                      << "NSE:SBIN,2024-03-15,09:15:03,2450.00,2460.00,2440.00,2456.50,1234,-3\n";
        // The binary value decides: 0.005 lies above the half cent, 1.005 and 2.675 below;
        // 0.125 is an exact tie and goes away from zero, as Qt writes it.
        QTest::newRow("rounding") << tick(kWhen, 0.005, 1.005, 2.675, 0.125)
                                  << "NSE:SBIN,2024-03-15,09:15:03,1.00,2.67,0.13,0.01,0,0\n";
        QTest::newRow("invalid time: empty date and time") << tick(QDateTime(), 1500, 1490, 1510, 1480, 10)
                                                           << "NSE:SBIN,,,1490.00,1510.00,1480.00,1500.00,10,0\n";
        QTest::newRow("24-hour time, milliseconds dropped")
            << tick(QDateTime(QDate(2023, 12, 31), QTime(15, 29, 59, 999)), 1, 1, 1, 1)
            << "NSE:SBIN,2023-12-31,15:29:59,1.00,1.00,1.00,1.00,0,0\n";
        QTest::newRow("volume beyond 32 bits") << tick(kWhen, 13.5, 13, 14, 13, 3.5e9, 2147483648.9)
                                               << "NSE:SBIN,2024-03-15,09:15:03,13.00,14.00,13.00,13.50,3500000000,2147483648\n";
        QTest::newRow("NaN and infinite counts are 0") << tick(kWhen, 1, 1, 1, 1, kNaN, -kInf)
                                                       << "NSE:SBIN,2024-03-15,09:15:03,1.00,1.00,1.00,1.00,0,0\n";
    }

    void amiBrokerLine()
    {
        QFETCH(TickData, tick);
        QTEST(CSVLineFormatter::amiBrokerLine(QStringLiteral("NSE:SBIN"), tick), "expected");
    }

    void symbolCannotSplitTheLine_data()
    {
        // A symbol comes from a feed or an instrument master: its separators and line breaks would
        // shift the price columns or forge a quote line of another ticker.
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<QString>("field");
        QTest::newRow("plain symbol kept") << "NSE:M&M-EQ" << "NSE:M&M-EQ";
        QTest::newRow("comma") << "ABC,LTD" << "ABC_LTD";
        QTest::newRow("forged line") << "X\nNSE:SBIN,2024-03-15,09:15:03,1,1,1,1,1,0"
                                     << "X_NSE:SBIN_2024-03-15_09:15:03_1_1_1_1_1_0";
        QTest::newRow("carriage return, tab and NUL") << QStringLiteral("A\rB\tC") + QChar(0) << "A_B_C_";
    }

    void symbolCannotSplitTheLine()
    {
        QFETCH(QString, symbol);
        const TickData t = tick(kWhen, 10, 10, 10, 10, 5);
        const QString lines[] = {CSVLineFormatter::amiBrokerLine(symbol, t), CSVLineFormatter::metastockLine(symbol, t),
                                 CSVLineFormatter::tickLine(symbol, t)};
        const int columns[] = {9, 7, 7};
        for (int i = 0; i < 3; ++i) {
            const QString& line = lines[i];
            QCOMPARE(line.count(QLatin1Char('\n')), 1);
            QVERIFY(line.endsWith(QLatin1Char('\n')));
            QCOMPARE(line.count(QLatin1Char('\r')), 0);
            const QStringList fields = line.chopped(1).split(QLatin1Char(','));
            QCOMPARE(fields.size(), columns[i]);
            QTEST(fields.first(), "field");
        }
    }

    void historyFileStem_data()
    {
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<QString>("stem"); // empty: refused
        QTest::newRow("colon and hyphen") << "NSE:M&M-EQ" << "NSE_M&M_EQ";
        QTest::newRow("slash and space") << "BSE/X Y" << "BSE_X_Y";
        QTest::newRow("parent path") << "../../etc/passwd" << ".._.._etc_passwd";
        QTest::newRow("backslash path and drive") << "C:\\..\\win.ini" << "C__.._win.ini";
        QTest::newRow("reserved characters") << "a<b>c\"d|e?f*g" << "a_b_c_d_e_f_g";
        QTest::newRow("control characters") << QString::fromUtf8("t\ta\nb\x7f" "c\u0085") + QChar(0) << "t_a_b_c__";
        QTest::newRow("dot") << "." << "";
        QTest::newRow("dot dot") << ".." << "";
        QTest::newRow("empty") << "" << "";
    }

    void historyFileStem()
    {
        QFETCH(QString, symbol);
        QTEST(CSVLineFormatter::historyFileStem(symbol), "stem");
    }
};

QTEST_GUILESS_MAIN(TestCSVLineFormatter)
#include "tst_csvlineformatter.moc"
