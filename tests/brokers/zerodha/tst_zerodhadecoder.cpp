// Zerodha binary messages to ticks: every packet layout and segment divisor, times, and the
// faults a hostile or broken message can hold.
#include "brokers/zerodha/ZerodhaDecoder.h"
#include "support/ZerodhaFrames.h"

#include <QtTest>

using namespace ZerodhaFrames;

namespace {

constexpr qint64 kReceived = 1709264799123;  // time of receipt handed to the decoder

// Expected tick: prices after division, times in epoch seconds (0: the time of receipt).
TickData expect(const QString& token, const QString& exchange, double ltp, double open = 0, double high = 0,
                double low = 0, double volume = 0, qint32 qty = 0, double oi = 0, qint64 secs = 0)
{
    TickData t;
    t.token = token;
    t.exchange = exchange;
    t.ltp = ltp;
    t.open = open;
    t.high = high;
    t.low = low;
    t.volume = volume;
    t.lastTradedQty = qty;
    t.openInterest = oi;
    t.timestamp = QDateTime::fromMSecsSinceEpoch(secs != 0 ? secs * 1000 : kReceived);
    return t;
}

QStringList eventNames(const DecodedFrame& f)
{
    static const char* const names[] = {"Heartbeat", "Acknowledged", "ServerError", "Disconnect",
                                        "Skipped",   "UnknownPacket", "Malformed"};
    QStringList out;
    for (const DecoderEvent& e : f.events)
        out << QStringLiteral("%1 %2").arg(QLatin1String(names[e.kind])).arg(e.code);
    return out;
}

Quote nseFull()
{
    Quote q;
    q.token = 408065;  // segment 1, NSE
    q.last = 150025;
    q.lastQty = 25;
    q.volume = 3000000000u;  // past 2^31: read unsigned
    q.open = 149000;
    q.high = 151050;
    q.low = 148875;
    q.close = 149500;
    q.lastTradeTime = 1709264765;
    q.oi = 0;
    q.exchangeTime = 1709264766;
    return q;
}

}  // namespace

class TestZerodhaDecoder : public QObject {
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
};

void TestZerodhaDecoder::decode_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QList<TickData>>("ticks");
    QTest::addColumn<QStringList>("events");

    const QByteArray sampleLtp = QByteArray::fromHex("0001 0008 00063a01 00024a09");
    const QByteArray sampleBcd = QByteArray::fromHex("0001 0008 0007d006 000cb426");
    const QByteArray sampleIndex =
        QByteArray::fromHex("0001 001c 0003e909 00224192 00225b46 00221e79 00222a18 00222e00 00001392");
    const QByteArray sampleCds = QByteArray::fromHex("0001 002c 00064c03 319f52c8 00000001 319ef120 00025ad1 "
                                                     "000009c4 00000c1c 319be3e0 31a2c1b0 319a5d40 319d6a80");

    QTest::newRow("ltp, NSE") << sampleLtp << QList<TickData>{expect("408065", "NSE", 1500.25)} << QStringList();
    QTest::newRow("ltp, BSE currency / 10^4")
        << sampleBcd << QList<TickData>{expect("512006", "BCD", 83.255)} << QStringList();
    QTest::newRow("index quote: high, low, open order")
        << sampleIndex << QList<TickData>{expect("256265", "INDICES", 22450.10, 22390.00, 22515.90, 22360.25)}
        << QStringList();
    QTest::newRow("quote, NSE currency / 10^7")
        << sampleCds << QList<TickData>{expect("412675", "CDS", 83.2525, 83.23, 83.275, 83.22, 154321, 1)}
        << QStringList();

    const TickData fullTick =
        expect("408065", "NSE", 1500.25, 1490.00, 1510.50, 1488.75, 3000000000.0, 25, 0, 1709264765);
    QTest::newRow("full: last trade time") << message({full(nseFull())}) << QList<TickData>{fullTick}
                                           << QStringList();
    Quote noTrade = nseFull();
    noTrade.lastTradeTime = 0;
    TickData exchangeStamped = fullTick;
    exchangeStamped.timestamp = QDateTime::fromSecsSinceEpoch(1709264766);
    QTest::newRow("full without a trade time: exchange time")
        << message({full(noTrade)}) << QList<TickData>{exchangeStamped} << QStringList();
    Quote noTimes = noTrade;
    noTimes.exchangeTime = 0;
    TickData received = fullTick;
    received.timestamp = QDateTime::fromMSecsSinceEpoch(kReceived);
    QTest::newRow("full without any time: receipt") << message({full(noTimes)}) << QList<TickData>{received}
                                                    << QStringList();

    Quote mcx;
    mcx.token = 53505799;  // segment 7, MCX
    mcx.last = 612300;
    mcx.volume = 12000;
    mcx.oi = 4200000;
    mcx.lastQty = 2;
    mcx.lastTradeTime = 1709264700;
    Quote bcd;
    bcd.token = 2049286;  // segment 6, BSE currency
    bcd.last = 832550;
    bcd.open = 832000;
    bcd.oi = 15;
    Index indexFullPacket{256265, 2245010, 2251590, 2236025, 2239000, 2240000, 5010, 0x65e19c9e};
    QTest::newRow("two full packets and an index full packet")
        << message({full(mcx), full(bcd), indexFull(indexFullPacket)})
        << QList<TickData>{expect("53505799", "MCX", 6123.00, 0, 0, 0, 12000, 2, 4200000, 1709264700),
                           expect("2049286", "BCD", 83.255, 83.20, 0, 0, 0, 0, 15),
                           expect("256265", "INDICES", 22450.10, 22390.00, 22515.90, 22360.25, 0, 0, 0, 0x65e19c9e)}
        << QStringList();

    Quote later = nseFull();
    later.lastTradeTime += 1;
    TickData laterTick = fullTick;
    laterTick.timestamp = laterTick.timestamp.addSecs(1);
    QTest::newRow("one instrument twice, two times")
        << message({full(nseFull()), full(later)}) << QList<TickData>{fullTick, laterTick} << QStringList();

    QTest::newRow("heartbeat") << QByteArray(1, '\0') << QList<TickData>() << QStringList{"Heartbeat 0"};
    QTest::newRow("two-byte heartbeat") << QByteArray::fromHex("0000") << QList<TickData>()
                                        << QStringList{"Heartbeat 0"};

    const TickData a = expect("408065", "NSE", 1500.25);
    const TickData b = expect("884737", "NSE", 912.40);
    QTest::newRow("unknown length skipped, walk goes on")
        << message({ltp(408065, 150025), QByteArray(20, '\x07'), ltp(884737, 91240)}) << QList<TickData>{a, b}
        << QStringList{"UnknownPacket 20"};
    QTest::newRow("unknown segment skipped")
        << message({ltp(407818, 100), ltp(408065, 150025)}) << QList<TickData>{a} << QStringList{"Skipped 10"};

    QByteArray truncated = message({ltp(408065, 150025), quote(Quote{})});
    truncated.chop(10);
    QTest::newRow("packet runs past the end") << truncated << QList<TickData>{a} << QStringList{"Malformed 2"};
    QByteArray shortCount = message({ltp(408065, 150025)});
    shortCount[1] = 3;
    QTest::newRow("fewer packets than counted") << shortCount << QList<TickData>{a} << QStringList{"Malformed 3"};
    QTest::newRow("bytes after the last packet")
        << message({ltp(408065, 150025)}) + QByteArray(3, '\x01') << QList<TickData>{a} << QStringList{"Malformed 4"};
    QTest::newRow("count larger than the message can hold")
        << QByteArray::fromHex("ffff 0008") << QList<TickData>() << QStringList{"Malformed 2"};
}

void TestZerodhaDecoder::decode()
{
    QFETCH(QByteArray, frame);
    QFETCH(QList<TickData>, ticks);
    QFETCH(QStringList, events);

    ZerodhaDecoder decoder;
    // Twice: the second pass runs on the decoder's cached instruments.
    for (int pass = 0; pass < 2; ++pass) {
        const DecodedFrame out = decoder.decode(frame, kReceived);
        QCOMPARE(eventNames(out), events);
        QCOMPARE(out.ticks.size(), ticks.size());
        for (int i = 0; i < ticks.size(); ++i) {
            const TickData& got = out.ticks.at(i);
            const TickData& want = ticks.at(i);
            QVERIFY(got.symbol.isEmpty());  // named by the broker
            QCOMPARE(got.token, want.token);
            QCOMPARE(got.exchange, want.exchange);
            QCOMPARE(got.ltp, want.ltp);
            QCOMPARE(got.open, want.open);
            QCOMPARE(got.high, want.high);
            QCOMPARE(got.low, want.low);
            QCOMPARE(got.volume, want.volume);
            QCOMPARE(got.lastTradedQty, want.lastTradedQty);
            QCOMPARE(got.openInterest, want.openInterest);
            QCOMPARE(got.timestamp.toMSecsSinceEpoch(), want.timestamp.toMSecsSinceEpoch());
            // Local wall-clock time, as every other tick in the program.
            QCOMPARE(got.timestamp.offsetFromUtc(), want.timestamp.offsetFromUtc());
        }
    }
}

QTEST_GUILESS_MAIN(TestZerodhaDecoder)
#include "tst_zerodhadecoder.moc"
