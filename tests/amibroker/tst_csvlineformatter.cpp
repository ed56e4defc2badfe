// CSV lines and history file names exactly as AmiBroker must read them.
#include "amibroker/CSVLineFormatter.h"

#include <QRandomGenerator>
#include <QtTest>

#include <cmath>
#include <limits>

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

TickData tick(const QDateTime& when, double ltp, double open, double high, double low, double volume = 0.0,
              double openInterest = 0.0)
{
    TickData t;
    t.symbol = QStringLiteral("ignored-own-symbol");
    t.timestamp = when;
    t.ltp = ltp;
    t.open = open;
    t.high = high;
    t.low = low;
    t.volume = volume;
    t.openInterest = openInterest;
    return t;
}

QDateTime at(int y, int mo, int d, int h, int mi, int s, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms));
}

} // namespace

class TestCSVLineFormatter : public QObject
{
    Q_OBJECT

private slots:
    void amiBrokerLine_data();
    void amiBrokerLine();
    void pricesMatchQtFormatting();
    void counts_data();
    void counts();
    void historyLines();
    void historyFileStem_data();
    void historyFileStem();
};

void TestCSVLineFormatter::amiBrokerLine_data()
{
    QTest::addColumn<QString>("symbol");
    QTest::addColumn<TickData>("tick");
    QTest::addColumn<QString>("expected");

    const QDateTime t = at(2024, 3, 15, 9, 15, 3);
    QTest::newRow("worked example") << "NSE:SBIN" << tick(t, 761.45, 760.1, 762, 758.25, 345.8)
                                    << "NSE:SBIN,2024-03-15,09:15:03,760.10,762.00,758.25,761.45,345,0\n";
    QTest::newRow("open 0 falls back to ltp for all three")
        << "X" << tick(t, 100.5, 0, 101, 99) << "X,2024-03-15,09:15:03,100.50,100.50,100.50,100.50,0,0\n";
    QTest::newRow("negative low falls back") << "X" << tick(t, 50, 49, 51, -1)
                                             << "X,2024-03-15,09:15:03,50.00,50.00,50.00,50.00,0,0\n";
    QTest::newRow("NaN high falls back") << "X" << tick(t, 50, 49, kNaN, 48)
                                         << "X,2024-03-15,09:15:03,50.00,50.00,50.00,50.00,0,0\n";
    QTest::newRow("two decimals, truncated counts")
        << "X" << tick(t, 2456.5, 2450, 2460, 2440, 1234.99, -3.7)
        << "X,2024-03-15,09:15:03,2450.00,2460.00,2440.00,2456.50,1234,-3\n";
    // The decimal text of the binary value decides: 0.005 lies just above, 1.005 and 2.675 just
    // below; 0.125 is an exact tie and goes away from zero, as Qt writes it.
    QTest::newRow("rounding of the binary value") << "X" << tick(t, 0.005, 1.005, 2.675, 0.125)
                                                  << "X,2024-03-15,09:15:03,1.00,2.67,0.13,0.01,0,0\n";
    QTest::newRow("invalid time keeps the line with empty fields")
        << "NSE:INFY" << tick(QDateTime(), 1500, 1490, 1510, 1480, 10)
        << "NSE:INFY,,,1490.00,1510.00,1480.00,1500.00,10,0\n";
    QTest::newRow("midnight and milliseconds are not rounded")
        << "X" << tick(at(2024, 1, 1, 0, 0, 59, 999), 1, 1, 1, 1, 0)
        << "X,2024-01-01,00:00:59,1.00,1.00,1.00,1.00,0,0\n";
    QTest::newRow("afternoon hour in 24-hour form") << "X" << tick(at(2023, 12, 31, 15, 29, 59), 1, 1, 1, 1, 0)
                                                    << "X,2023-12-31,15:29:59,1.00,1.00,1.00,1.00,0,0\n";
    QTest::newRow("day volume beyond 32 bits") << "NSE:IDEA" << tick(t, 13.5, 13, 14, 13, 3.5e9, 2147483648.9)
                                               << "NSE:IDEA,2024-03-15,09:15:03,13.00,14.00,13.00,13.50,3500000000,2147483648\n";
    QTest::newRow("NaN and infinite counts become 0") << "X" << tick(t, 1, 1, 1, 1, kNaN, -kInf)
                                                      << "X,2024-03-15,09:15:03,1.00,1.00,1.00,1.00,0,0\n";
    QTest::newRow("UTC time is written in its own zone")
        << "X" << tick(QDateTime(QDate(2024, 3, 15), QTime(23, 30, 0), Qt::UTC), 1, 1, 1, 1, 0)
        << "X,2024-03-15,23:30:00,1.00,1.00,1.00,1.00,0,0\n";
    QTest::newRow("non-ASCII ticker passes through")
        << QString::fromUtf8("MCX:GOLD\u00e9") << tick(t, 1, 1, 1, 1, 0)
        << QString::fromUtf8("MCX:GOLD\u00e9,2024-03-15,09:15:03,1.00,1.00,1.00,1.00,0,0\n");
}

void TestCSVLineFormatter::amiBrokerLine()
{
    QFETCH(QString, symbol);
    QFETCH(TickData, tick);
    QFETCH(QString, expected);
    QCOMPARE(CSVLineFormatter::amiBrokerLine(symbol, tick), expected);
}

void TestCSVLineFormatter::pricesMatchQtFormatting()
{
    // The fast formatter must give exactly the text Qt's own fixed formatting gives.
    QRandomGenerator rng(20240315);
    QVector<double> values{0.0, -0.0, -0.001, -0.005, 1e22, 1e300, -1e-300, 0.004999, 0.005, 0.015, 0.025, 1e-9, 99999.995, 123456789.125,
                           -12.345, 1e15, 4.35, 761.45, kInf, -kInf, 9.995, 9.875, -9.875, 99.375, -99.625,
                           0.125, -0.125, 999.875, -999.875, 1125899906842623.875};
    for (int i = 0; i < 20000; ++i) {
        values << rng.bounded(100000.0);                                 // arbitrary binary values
        values << std::round(rng.bounded(10000000.0)) / 1000.0;          // three-decimal prices
        values << std::round(rng.bounded(2000000.0)) / 200.0 - 5000.0;   // near ties on the half cent
        values << (std::round(rng.bounded(16000000.0)) - 8000000.0) / 8.0; // exact binary ties
    }
    for (double v : qAsConst(values)) {
        QString mine;
        CSVLineFormatter::appendPrice(mine, v);
        QCOMPARE(mine, QString::number(v, 'f', 2));
    }
    QString nan;
    CSVLineFormatter::appendPrice(nan, -kNaN);
    QCOMPARE(nan, QString::number(kNaN, 'f', 2));
}

void TestCSVLineFormatter::counts_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<qint64>("expected");
    QTest::newRow("positive fraction") << 1234.99 << qint64(1234);
    QTest::newRow("negative fraction") << -3.7 << qint64(-3);
    QTest::newRow("32-bit max") << 2147483647.0 << qint64(2147483647);
    QTest::newRow("past 32 bits") << 2147483648.5 << qint64(2147483648LL);
    QTest::newRow("NaN") << kNaN << qint64(0);
    QTest::newRow("infinity") << kInf << qint64(0);
    QTest::newRow("past 64 bits") << 1e19 << std::numeric_limits<qint64>::max();
    QTest::newRow("below 64 bits") << -1e19 << std::numeric_limits<qint64>::min();
}

void TestCSVLineFormatter::counts()
{
    QFETCH(double, value);
    QFETCH(qint64, expected);
    QCOMPARE(CSVLineFormatter::truncateCount(value), expected);
}

void TestCSVLineFormatter::historyLines()
{
    const TickData t = tick(at(2024, 3, 15, 9, 15, 3), 761.45, 760.1, 762, 758.25, 345.8);
    QCOMPARE(CSVLineFormatter::metastockLine(QStringLiteral("NSE:SBIN"), t),
             QStringLiteral("NSE:SBIN,20240315,761.45,761.45,761.45,761.45,345\n"));
    QCOMPARE(CSVLineFormatter::tickLine(QStringLiteral("NSE:SBIN"), t),
             QStringLiteral("NSE:SBIN,2024-03-15 09:15:03,761.45,760.10,762.00,758.25,345\n"));
    // Every row lines up with its header.
    QCOMPARE(CSVLineFormatter::tickLine(QStringLiteral("S"), t).count(QLatin1Char(',')),
             QString::fromLatin1(CSVLineFormatter::kTickHeader).count(QLatin1Char(',')));
    QCOMPARE(CSVLineFormatter::metastockLine(QStringLiteral("S"), t).count(QLatin1Char(',')),
             QString::fromLatin1(CSVLineFormatter::kMetastockHeader).count(QLatin1Char(',')));
}

void TestCSVLineFormatter::historyFileStem_data()
{
    QTest::addColumn<QString>("symbol");
    QTest::addColumn<QString>("stem");
    QTest::newRow("colon and hyphen") << "NSE:M&M-EQ" << "NSE_M&M_EQ";
    QTest::newRow("slash and space") << "BSE/X Y" << "BSE_X_Y";
    QTest::newRow("parent path") << "../../etc/passwd" << ".._.._etc_passwd";
    QTest::newRow("backslash path") << "..\\..\\Windows\\win.ini" << ".._.._Windows_win.ini";
    QTest::newRow("drive letter") << "C:\\evil" << "C__evil";
    QTest::newRow("reserved characters") << "a<b>c\"d|e?f*g" << "a_b_c_d_e_f_g";
    QTest::newRow("control characters") << QString::fromUtf8("t\ta\nb\rc\x7f" "d\u0085")
                                        << "t_a_b_c_d_";
    QTest::newRow("NUL inside") << QString(QStringLiteral("ab") + QChar(0) + QStringLiteral("cd")) << "ab_cd";
    QTest::newRow("dot is refused") << "." << "";
    QTest::newRow("dot dot is refused") << ".." << "";
    QTest::newRow("empty is refused") << "" << "";
    QTest::newRow("dots with more are fine") << "..." << "...";
}

void TestCSVLineFormatter::historyFileStem()
{
    QFETCH(QString, symbol);
    QFETCH(QString, stem);
    QCOMPARE(CSVLineFormatter::historyFileStem(symbol), stem);
}

QTEST_GUILESS_MAIN(TestCSVLineFormatter)
#include "tst_csvlineformatter.moc"
