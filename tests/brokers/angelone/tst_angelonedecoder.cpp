// AngelOne record decoder: every field of the tick a record makes, per exchange type (names,
// price scale, open-interest rule), quantities beyond 32 bits, absent times and message sizes.
#include "brokers/angelone/AngelOneDecoder.h"
#include "support/AngelOneFrames.h"
#include "support/TickCompare.h"

#include <QtTest>

using AngelOneFrames::Record;

namespace {

constexpr qint64 kReceived = 1710474399000LL;

Record sample()
{
    Record r;
    r.ltp = 250050;
    r.open = 249000;
    r.high = 251000;
    r.low = 248000;
    r.openInterest = 900;
    r.quantity = 75;
    r.dayVolume = 1250000;  // the day's volume (offset 67) is not the figure the watchlist shows
    r.fill = 0xAB;  // unread bytes must not leak into any field
    return r;
}

TickData expected(const Record& r, const QString& exchange, double divisor, double oi, double volume, int ltq,
                  qint64 stampMs)
{
    TickData t;
    t.token = QString::fromLatin1(r.token);
    t.exchange = exchange;
    t.ltp = double(r.ltp) / divisor;
    t.open = double(r.open) / divisor;
    t.high = double(r.high) / divisor;
    t.low = double(r.low) / divisor;
    t.volume = volume;
    t.openInterest = oi;
    t.lastTradedQty = ltq;
    t.timestamp = QDateTime::fromMSecsSinceEpoch(stampMs);
    return t;
}

}  // namespace

class TestAngelOneDecoder : public QObject {
    Q_OBJECT
private slots:
    void recordFields_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<TickData>("tick");

        const Record r = sample();
        const struct {
            int type;
            const char* name;
            bool oi;
        } types[] = {{1, "NSE", false}, {2, "NFO", true}, {3, "BSE", false}, {4, "BFO", true}, {5, "MCX", true},
                     {6, "NSE", false}, {7, "NCX", true}, {255, "NSE", false}};
        for (const auto& t : types) {
            Record x = r;
            x.exchangeType = quint8(t.type);
            // Open interest is a count of contracts, taken as sent.
            QTest::addRow("type %d", t.type) << AngelOneFrames::record(x)
                                             << expected(x, t.name, 100, t.oi ? 900 : 0, 75, 75, r.epochMs);
        }

        // Currency prices carry four decimals and come in units of 10^-7 rupee: 83.2550 rupees.
        Record currency = r;
        currency.exchangeType = 13;
        currency.ltp = 832550000;
        currency.open = 831000000;
        currency.high = 834000000;
        currency.low = 830500000;
        QTest::newRow("currency record") << AngelOneFrames::record(currency)
                                         << expected(currency, "CDS", 10000000, 900, 75, 75, r.epochMs);

        Record wide = r;
        wide.ltp = 5000000000LL;  // 5 crore paise: beyond 32 bits, still a price
        QTest::newRow("price beyond 32 bits") << AngelOneFrames::record(wide) << expected(wide, "NSE", 100, 0, 75, 75, r.epochMs);

        Record bigQty = r;
        bigQty.quantity = (qint64(1) << 32) + 5;
        bigQty.dayVolume = (qint64(1) << 33) + 7;
        QTest::newRow("quantities beyond 32 bits") << AngelOneFrames::record(bigQty)
                                                   << expected(bigQty, "NSE", 100, 0, 4294967301.0, 2147483647, r.epochMs);

        Record longToken = r;
        longToken.token = QByteArray(25, '7');
        QTest::newRow("token fills all 25 bytes") << AngelOneFrames::record(longToken)
                                                  << expected(longToken, "NSE", 100, 0, 75, 75, r.epochMs);

        // A time of 0 is absent, one beyond the calendar is no time either: the time of receipt.
        for (const qint64 ms : {qint64(0), qint64(-1), std::numeric_limits<qint64>::max()}) {
            Record t = r;
            t.epochMs = ms;
            QTest::addRow("time %lld is the time of receipt", ms) << AngelOneFrames::record(t)
                                                                  << expected(t, "NSE", 100, 0, 75, 75, kReceived);
        }
    }
    void recordFields()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(TickData, tick);
        AngelOneDecoder decoder;
        const DecodedFrame out = decoder.decode(bytes, kReceived);
        QVERIFY(out.events.isEmpty());
        QCOMPARE(out.ticks.size(), 1);
        TickCompare::compare(out.ticks.first(), tick);
    }
    void messageSizes_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("ticks");
        QTest::newRow("empty") << 0 << 0;
        QTest::newRow("one byte short") << 378 << 0;
        QTest::newRow("one record") << 379 << 1;
        QTest::newRow("two records and a tail") << 800 << 2;
    }
    void messageSizes()
    {
        QFETCH(int, size);
        QFETCH(int, ticks);
        Record a = sample(), b = sample();
        b.token = "11";
        b.exchangeType = 5;
        QByteArray message = AngelOneFrames::record(a) + AngelOneFrames::record(b) + AngelOneFrames::record(a);
        message.truncate(size);
        AngelOneDecoder decoder;
        const DecodedFrame out = decoder.decode(message, kReceived);
        QCOMPARE(out.ticks.size(), ticks);
        QCOMPARE(out.hasEvent(DecoderEvent::Malformed), ticks == 0);
        if (ticks == 2) {
            QCOMPARE(out.ticks.at(1).token, QStringLiteral("11"));
            QCOMPARE(out.ticks.at(1).exchange, QStringLiteral("MCX"));
        }
    }
    void subscriptionExchangeTypes_data()
    {
        QTest::addColumn<QString>("exchange");
        QTest::addColumn<int>("type");
        const QList<QPair<const char*, int>> rows{
            {"NSE", 1}, {"NSE_EQ", 1}, {"NFO", 2}, {"NSE_FO", 2}, {"NSE_FNO", 2}, {"BSE", 3}, {"BSE_EQ", 3},
            {"BSE_FO", 4}, {"BFO", 4}, {"MCX", 5}, {"MCX_FO", 5}, {"NCX", 7}, {"NCX_FO", 7}, {"NCDEX", 7},
            {"CDE", 13}, {"CDE_FO", 13}, {"CDS", 13}, {"BCD", 13}, {"nse", 1}, {"", 1}, {"XYZ", 1}};
        for (const auto& r : rows)
            QTest::addRow("%s", r.first) << QString::fromLatin1(r.first) << r.second;
    }
    void subscriptionExchangeTypes()
    {
        QFETCH(QString, exchange);
        QFETCH(int, type);
        QCOMPARE(AngelOneDecoder::exchangeType(exchange), type);
        // A subscribed segment's ticks come back under the exchange name the scrip master uses.
        if (exchange == QLatin1String("BFO") || exchange == QLatin1String("CDS") || exchange == QLatin1String("MCX")
            || exchange == QLatin1String("NCX"))
            QCOMPARE(AngelOneDecoder::exchangeName(type), exchange);
    }
};

QTEST_GUILESS_MAIN(TestAngelOneDecoder)
#include "tst_angelonedecoder.moc"
