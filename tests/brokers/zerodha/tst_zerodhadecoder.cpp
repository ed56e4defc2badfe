// Zerodha binary messages to ticks: every packet layout and segment divisor, times, and the
// faults a hostile or broken message can hold.
#include "brokers/zerodha/ZerodhaDecoder.h"
#include "support/ZerodhaFrames.h"

#include <QtTest>

using ZerodhaFrames::message;
using ZerodhaFrames::packet;

namespace {

constexpr qint64 kReceived = 1709264799123;  // time of receipt handed to the decoder

// Every field of a tick on one line; "recv" for a tick stamped with the time of receipt.
QString describe(const TickData& t)
{
    const qint64 ms = t.timestamp.toMSecsSinceEpoch();
    return QStringLiteral("%1 %2 ltp=%3 o=%4 h=%5 l=%6 v=%7 q=%8 oi=%9 t=%10")
        .arg(t.token, t.exchange)
        .arg(t.ltp, 0, 'g', 12)
        .arg(t.open, 0, 'g', 12)
        .arg(t.high, 0, 'g', 12)
        .arg(t.low, 0, 'g', 12)
        .arg(t.volume, 0, 'g', 12)
        .arg(t.lastTradedQty)
        .arg(t.openInterest, 0, 'g', 12)
        .arg(ms == kReceived ? QStringLiteral("recv") : QString::number(ms / 1000));
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

// A full packet: token, last, qty, average, volume, buy and sell qty, O H L C, trade time, OI,
// OI high and low, exchange time.
QByteArray full(quint32 token, quint32 tradeTime, quint32 exchangeTime, quint32 oi = 0)
{
    return packet({token, 150025, 25, 0, 3000000000u, 0, 0, 149000, 151050, 148875, 149500, tradeTime, oi, 0, 0,
                   exchangeTime},
                  184);
}

}  // namespace

class TestZerodhaDecoder : public QObject {
    Q_OBJECT

private slots:
    void decode_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QStringList>("ticks");
        QTest::addColumn<QStringList>("events");

        const QByteArray ltpNse = packet({408065, 150025}, 8);
        const QString ltpNseTick = "408065 NSE ltp=1500.25 o=0 h=0 l=0 v=0 q=0 oi=0 t=recv";
        // The first four are the broker's published sample messages.
        QTest::newRow("ltp, NSE") << QByteArray::fromHex("0001 0008 00063a01 00024a09") << QStringList{ltpNseTick}
                                  << QStringList();
        QTest::newRow("ltp, BSE currency / 10^4")
            << QByteArray::fromHex("0001 0008 0007d006 000cb426")
            << QStringList{"512006 BCD ltp=83.255 o=0 h=0 l=0 v=0 q=0 oi=0 t=recv"} << QStringList();
        QTest::newRow("index quote: high, low, open order")
            << QByteArray::fromHex("0001 001c 0003e909 00224192 00225b46 00221e79 00222a18 00222e00 00001392")
            << QStringList{"256265 INDICES ltp=22450.1 o=22390 h=22515.9 l=22360.25 v=0 q=0 oi=0 t=recv"}
            << QStringList();
        QTest::newRow("quote, NSE currency / 10^7")
            << QByteArray::fromHex("0001 002c 00064c03 319f52c8 00000001 319ef120 00025ad1 000009c4 00000c1c 319be3e0 "
                                   "31a2c1b0 319a5d40 319d6a80")
            << QStringList{"412675 CDS ltp=83.2525 o=83.23 h=83.275 l=83.22 v=154321 q=1 oi=0 t=recv"} << QStringList();

        // Volume past 2^31 is read unsigned; the time is the trade time, else the exchange's, else receipt.
        const QString fullTick = "408065 NSE ltp=1500.25 o=1490 h=1510.5 l=1488.75 v=3000000000 q=25 oi=%1 t=%2";
        QTest::newRow("full, three ways to a time")
            << message({full(408065, 1709264765, 1709264766, 7), full(408065, 0, 1709264766), full(408065, 0, 0)})
            << QStringList{fullTick.arg(7).arg(1709264765), fullTick.arg(0).arg(1709264766), fullTick.arg(0).arg("recv")}
            << QStringList();
        QTest::newRow("MCX full, BCD quote and index full in one message")
            << message({packet({53505799, 612300, 2, 0, 12000, 0, 0, 0, 0, 0, 0, 1709264700, 4200000}, 184),
                        packet({2049286, 832550, 0, 0, 0, 0, 0, 832000}, 44),
                        packet({256265, 2245010, 2251590, 2236025, 2239000, 2240000, 5010, 0x65e19c9e}, 32)})
            << QStringList{"53505799 MCX ltp=6123 o=0 h=0 l=0 v=12000 q=2 oi=4200000 t=1709264700",
                           "2049286 BCD ltp=83.255 o=83.2 h=0 l=0 v=0 q=0 oi=0 t=recv",
                           "256265 INDICES ltp=22450.1 o=22390 h=22515.9 l=22360.25 v=0 q=0 oi=0 t=1709284510"}
            << QStringList();

        // Prices are signed: a commodity can trade below zero. Volume and OI past 2^31 stay unsigned.
        QTest::newRow("ltp, MCX below zero")
            << QByteArray::fromHex("0001 0008 03306f07 fffff14d")
            << QStringList{"53505799 MCX ltp=-37.63 o=0 h=0 l=0 v=0 q=0 oi=0 t=recv"} << QStringList();
        QTest::newRow("MCX full below zero, open interest past 2^31")
            << message({packet({53505799, 0xfffff14du, 5, 0xfffff128u, 2500000000u, 0, 0, 0xfffff132u, 0xfffff254u,
                                0xfffff060u, 0xfffff128u, 1587398400, 3000000000u},
                               184)})
            << QStringList{"53505799 MCX ltp=-37.63 o=-37.9 h=-35 l=-40 v=2500000000 q=5 oi=3000000000 t=1587398400"}
            << QStringList();
        QTest::newRow("index quote below zero")
            << message({packet({256265, 0xfffff14du, 0xfffff254u, 0xfffff060u, 0xfffff132u}, 28)})
            << QStringList{"256265 INDICES ltp=-37.63 o=-37.9 h=-35 l=-40 v=0 q=0 oi=0 t=recv"} << QStringList();

        QTest::newRow("heartbeat") << QByteArray(1, '\0') << QStringList() << QStringList{"Heartbeat 0"};
        QTest::newRow("unknown length skipped, walk goes on")
            << message({ltpNse, QByteArray(20, '\x07'), ltpNse}) << QStringList{ltpNseTick, ltpNseTick}
            << QStringList{"UnknownPacket 20"};
        QTest::newRow("unknown segment skipped")
            << message({packet({407818, 100}, 8), ltpNse}) << QStringList{ltpNseTick} << QStringList{"Skipped 10"};
        QTest::newRow("packet runs past the end")
            << message({ltpNse, packet({}, 44)}).chopped(10) << QStringList{ltpNseTick} << QStringList{"Malformed 2"};
        QTest::newRow("count past the end")
            << QByteArray::fromHex("ffff 0008") << QStringList() << QStringList{"Malformed 2"};
        QByteArray fewer = message({ltpNse});
        fewer[1] = 3;
        QTest::newRow("fewer packets than counted") << fewer << QStringList{ltpNseTick} << QStringList{"Malformed 3"};
    }

    void decode()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QStringList, ticks);

        ZerodhaDecoder decoder;
        // Twice: the second pass runs on the instruments the first one cached.
        for (int pass = 0; pass < 2; ++pass) {
            const DecodedFrame out = decoder.decode(frame, kReceived);
            QTEST(eventNames(out), "events");
            QStringList got;
            for (const TickData& t : out.ticks) {
                got << describe(t);
                QVERIFY(t.symbol.isEmpty());  // named by the broker
                // Local wall-clock time, as every other tick in the program.
                QCOMPARE(t.timestamp.offsetFromUtc(), t.timestamp.toLocalTime().offsetFromUtc());
            }
            QCOMPARE(got, ticks);
        }
    }
};

QTEST_GUILESS_MAIN(TestZerodhaDecoder)
#include "tst_zerodhadecoder.moc"
