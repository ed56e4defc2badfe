// AngelOne record decoder: fields, exchange names and the open-interest rule, message sizes,
// unknown tokens and times, and random or mutated bytes.
#include "brokers/angelone/AngelOneDecoder.h"
#include "support/AngelOneFrames.h"

#include <QtTest>

using AngelOneFrames::Record;

namespace {

// Knows every token but "999" and the empty one; the symbol shown is "S" + token.
QString lookup(const QString& token)
{
    return token.isEmpty() || token == QLatin1String("999") ? QString() : QStringLiteral("S") + token;
}

QVector<TickData> decodeAll(const QByteArray& message, AngelOneDecoder::Result* result = nullptr)
{
    QVector<TickData> ticks;
    const AngelOneDecoder::Result r = AngelOneDecoder::decode(message, lookup, ticks);
    if (result)
        *result = r;
    return ticks;
}

}  // namespace

class TestAngelOneDecoder : public QObject {
    Q_OBJECT
private slots:
    void recordFields_data();
    void recordFields();
    void messageSizes_data();
    void messageSizes();
    void unknownTokensAreSkippedInOrder();
    void noLookupDropsEverything();
    void timesOutsideTheCalendarAreSkipped_data();
    void timesOutsideTheCalendarAreSkipped();
    void subscriptionExchangeTypes_data();
    void subscriptionExchangeTypes();
};

void TestAngelOneDecoder::recordFields_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("exchange");
    QTest::addColumn<QString>("token");
    QTest::addColumn<double>("ltp");
    QTest::addColumn<double>("volume");
    QTest::addColumn<int>("lastTradedQty");
    QTest::addColumn<double>("openInterest");

    Record r;
    r.open = 249000;
    r.high = 251000;
    r.low = 248000;
    r.openInterest = 900;
    r.quantity = 75;
    r.ltp = 995;
    r.fill = 0xAB;  // unread bytes must not leak into any field

    const struct {
        int type;
        const char* name;
        double oi;
    } types[] = {{1, "NSE", 0}, {2, "NFO", 9}, {3, "BSE", 0}, {4, "BFO", 9}, {5, "MCX", 9},
                 {6, "NSE", 0}, {7, "NCX", 9}, {13, "CDS", 9}, {255, "NSE", 0}};
    for (const auto& t : types) {
        Record x = r;
        x.exchangeType = quint8(t.type);
        QTest::addRow("type %d", t.type) << AngelOneFrames::record(x) << t.name << "2885" << 9.95 << 75.0 << 75 << t.oi;
    }

    Record high = r;
    high.ltp = (qint64(0x12345678) << 32) | 995;  // only the low four bytes carry the price
    QTest::newRow("price upper bytes ignored") << AngelOneFrames::record(high) << "NSE" << "2885" << 9.95 << 75.0 << 75 << 0.0;

    Record bigQty = r;
    bigQty.quantity = (qint64(1) << 32) + 5;
    QTest::newRow("quantity beyond 32 bits") << AngelOneFrames::record(bigQty) << "NSE" << "2885" << 9.95
                                             << 4294967301.0 << 5 << 0.0;

    Record longToken = r;
    longToken.token = QByteArray(25, '7');
    QTest::newRow("token fills all 25 bytes") << AngelOneFrames::record(longToken) << "NSE" << QString(25, '7') << 9.95
                                              << 75.0 << 75 << 0.0;

    Record maxPrice = r;
    maxPrice.ltp = 2147483647;
    QTest::newRow("largest price") << AngelOneFrames::record(maxPrice) << "NSE" << "2885" << 21474836.47 << 75.0 << 75
                                   << 0.0;
}

void TestAngelOneDecoder::recordFields()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, exchange);
    QFETCH(QString, token);
    QFETCH(double, ltp);
    QFETCH(double, volume);
    QFETCH(int, lastTradedQty);
    QFETCH(double, openInterest);

    const QVector<TickData> ticks = decodeAll(bytes);
    QCOMPARE(ticks.size(), 1);
    const TickData& t = ticks.first();
    QCOMPARE(t.symbol, QStringLiteral("S") + token);
    QCOMPARE(t.token, token);
    QCOMPARE(t.exchange, exchange);
    QCOMPARE(t.ltp, ltp);
    QCOMPARE(t.open, 2490.0);
    QCOMPARE(t.high, 2510.0);
    QCOMPARE(t.low, 2480.0);
    QCOMPARE(t.volume, volume);
    QCOMPARE(t.lastTradedQty, lastTradedQty);
    QCOMPARE(t.openInterest, openInterest);
    QCOMPARE(t.timestamp, QDateTime::fromMSecsSinceEpoch(1710474300000LL));
    QCOMPARE(t.timestamp.timeSpec(), Qt::LocalTime);
}

void TestAngelOneDecoder::messageSizes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("tooSmall");
    QTest::addColumn<int>("ticks");
    QTest::newRow("empty") << 0 << true << 0;
    QTest::newRow("one byte short") << 378 << true << 0;
    QTest::newRow("one record") << 379 << false << 1;
    QTest::newRow("two records and a tail") << 800 << false << 2;
}

void TestAngelOneDecoder::messageSizes()
{
    QFETCH(int, size);
    QFETCH(bool, tooSmall);
    QFETCH(int, ticks);
    QByteArray message;
    while (message.size() < size)
        message += AngelOneFrames::record(Record());
    message.truncate(size);
    AngelOneDecoder::Result r;
    QCOMPARE(decodeAll(message, &r).size(), ticks);
    QCOMPARE(r.tooSmall, tooSmall);
    QVERIFY(r.skipped.isEmpty());
}

void TestAngelOneDecoder::unknownTokensAreSkippedInOrder()
{
    Record a, unknown, empty, b;
    a.token = "11";
    a.ltp = 100;
    unknown.token = "999";
    empty.token = "";
    b.token = "22";
    b.ltp = 200;
    AngelOneDecoder::Result r;
    const QVector<TickData> ticks = decodeAll(AngelOneFrames::record(a) + AngelOneFrames::record(unknown)
                                                  + AngelOneFrames::record(empty) + AngelOneFrames::record(b),
                                              &r);
    QCOMPARE(ticks.size(), 2);
    QCOMPARE(ticks.at(0).token, QStringLiteral("11"));
    QCOMPARE(ticks.at(0).ltp, 1.0);
    QCOMPARE(ticks.at(1).token, QStringLiteral("22"));
    QCOMPARE(ticks.at(1).ltp, 2.0);
    QCOMPARE(r.skipped.size(), 2);
    QCOMPARE(r.skipped.at(0).reason, AngelOneDecoder::Skipped::UnknownToken);
    QCOMPARE(r.skipped.at(0).token, QStringLiteral("999"));
    QCOMPARE(r.skipped.at(1).token, QString());
}

void TestAngelOneDecoder::noLookupDropsEverything()
{
    QVector<TickData> ticks;
    const AngelOneDecoder::Result r = AngelOneDecoder::decode(AngelOneFrames::record(Record()), {}, ticks);
    QVERIFY(ticks.isEmpty());
    QVERIFY(r.skipped.isEmpty());
    QVERIFY(!r.tooSmall);
}

void TestAngelOneDecoder::timesOutsideTheCalendarAreSkipped_data()
{
    QTest::addColumn<qint64>("epochMs");
    QTest::addColumn<bool>("kept");
    QTest::newRow("epoch") << qint64(0) << true;
    QTest::newRow("year 9999") << qint64(253402300799999LL) << true;
    QTest::newRow("past year 9999") << qint64(253402300800000LL) << false;
    QTest::newRow("negative") << qint64(-1) << false;
    QTest::newRow("int64 max") << std::numeric_limits<qint64>::max() << false;
    QTest::newRow("int64 min") << std::numeric_limits<qint64>::min() << false;
}

void TestAngelOneDecoder::timesOutsideTheCalendarAreSkipped()
{
    QFETCH(qint64, epochMs);
    QFETCH(bool, kept);
    Record rec;
    rec.epochMs = epochMs;
    AngelOneDecoder::Result r;
    const QVector<TickData> ticks = decodeAll(AngelOneFrames::record(rec), &r);
    QCOMPARE(ticks.size(), kept ? 1 : 0);
    if (kept) {
        QVERIFY(ticks.first().timestamp.isValid());
    } else {
        QCOMPARE(r.skipped.size(), 1);
        QCOMPARE(r.skipped.first().reason, AngelOneDecoder::Skipped::BadTime);
    }
}

void TestAngelOneDecoder::subscriptionExchangeTypes_data()
{
    QTest::addColumn<QString>("exchange");
    QTest::addColumn<int>("type");
    const QList<QPair<const char*, int>> rows{
        {"NSE", 1}, {"NSE_EQ", 1}, {"NFO", 2}, {"NSE_FO", 2}, {"NSE_FNO", 2}, {"BSE", 3}, {"BSE_EQ", 3},
        {"BSE_FO", 4}, {"BFO", 4}, {"MCX", 5}, {"MCX_FO", 5}, {"NCX", 7}, {"NCX_FO", 7}, {"CDE", 13},
        {"CDE_FO", 13}, {"CDS", 13}, {"nse", 1}, {"", 1}, {"XYZ", 1}};
    for (const auto& r : rows)
        QTest::addRow("%s", r.first) << QString::fromLatin1(r.first) << r.second;
}

void TestAngelOneDecoder::subscriptionExchangeTypes()
{
    QFETCH(QString, exchange);
    QFETCH(int, type);
    QCOMPARE(AngelOneDecoder::exchangeType(exchange), type);
    // A subscribed segment's ticks come back under the exchange name the scrip master uses.
    if (exchange == QLatin1String("BFO") || exchange == QLatin1String("CDS") || exchange == QLatin1String("MCX"))
        QCOMPARE(AngelOneDecoder::exchangeName(type), exchange);
}

QTEST_GUILESS_MAIN(TestAngelOneDecoder)
#include "tst_angelonedecoder.moc"
