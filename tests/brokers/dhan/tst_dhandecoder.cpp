// Dhan packet and JSON decoding: every field of the tick a packet makes, the trade-time rule, the
// disconnect packet and the JSON codes.
#include "brokers/dhan/DhanDecoder.h"
#include "support/DhanFrames.h"
#include "support/TickCompare.h"

#include <QtTest>

namespace {

constexpr qint64 kReceived = 1718000000000LL;  // time of receipt, epoch ms

DhanFrames::Fields fullFields()
{
    DhanFrames::Fields f;
    f.exchangeSegment = 1;
    f.securityId = 4000000001u;  // above the signed range: the id is unsigned
    f.ltp = 2456.75f;
    f.ltq = 40000;               // above the signed 16-bit range
    f.ltt = 1718000000 - 5;
    f.atp = 2450.5f;
    f.volume = 3000000000u;      // above the signed 32-bit range
    f.openInterest = 2500000000u;
    f.open = 2400.25f;
    f.close = 2390.0f;
    f.high = 2470.5f;
    f.low = 2399.75f;
    return f;
}

TickData expectedTick(const DhanFrames::Fields& f, const QString& exchange, qint64 stampMs)
{
    TickData t;
    t.token = QString::number(f.securityId);
    t.exchange = exchange;
    t.ltp = double(f.ltp);
    t.open = double(f.open);
    t.high = double(f.high);
    t.low = double(f.low);
    t.volume = double(f.volume);
    t.openInterest = double(f.openInterest);
    t.lastTradedQty = f.ltq;
    t.timestamp = QDateTime::fromMSecsSinceEpoch(stampMs);
    return t;
}

}  // namespace

class TestDhanDecoder : public QObject {
    Q_OBJECT
private slots:
    void packets_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("ticks");
        QTest::addColumn<TickData>("expected");

        const DhanFrames::Fields f = fullFields();
        const qint64 traded = qint64(f.ltt) * 1000;
        QTest::newRow("full packet, every field") << DhanFrames::packet(f, 162) << 1 << expectedTick(f, "NSE_EQ", traded);
        QTest::newRow("exactly 62 bytes") << DhanFrames::packet(f, 62) << 1 << expectedTick(f, "NSE_EQ", traded);
        QTest::newRow("61 bytes dropped") << DhanFrames::packet(f, 61) << 0 << TickData();

        // The segment byte names the segment: one id is a share in one segment and an index in another.
        DhanFrames::Fields idx = f;
        idx.exchangeSegment = 0;
        QTest::newRow("index segment") << DhanFrames::packet(idx, 162) << 1 << expectedTick(idx, "IDX_I", traded);
        DhanFrames::Fields bfo = f;
        bfo.exchangeSegment = 8;
        QTest::newRow("BSE derivatives segment") << DhanFrames::packet(bfo, 162) << 1 << expectedTick(bfo, "BSE_FNO", traded);
        DhanFrames::Fields odd = f;
        odd.exchangeSegment = 42;
        QTest::newRow("unknown segment keeps its number") << DhanFrames::packet(odd, 162) << 1 << expectedTick(odd, "42", traded);

        // Trade times: within a minute ahead and a day behind the time of receipt they stay.
        const struct {
            const char* name;
            qint64 ltt;
            bool kept;
        } times[] = {
            {"60 s ahead stays", kReceived / 1000 + 60, true},
            {"61 s ahead is replaced", kReceived / 1000 + 61, false},
            {"a day behind stays", kReceived / 1000 - 86400, true},
            {"a day and a second behind is replaced", kReceived / 1000 - 86401, false},
            {"zero time is the time of receipt", 0, false},
        };
        for (const auto& row : times) {
            DhanFrames::Fields g = f;
            g.ltt = qint32(row.ltt);
            QTest::newRow(row.name) << DhanFrames::packet(g, 162) << 1
                                    << expectedTick(g, "NSE_EQ", row.kept ? row.ltt * 1000 : kReceived);
        }
    }

    void packets()
    {
        QFETCH(QByteArray, frame);
        QFETCH(int, ticks);
        QFETCH(TickData, expected);
        DhanDecoder decoder;
        const DecodedFrame out = decoder.decode(frame, kReceived);
        QCOMPARE(out.ticks.size(), ticks);
        if (ticks == 0) {
            QVERIFY(out.hasEvent(DecoderEvent::UnknownPacket));
            return;
        }
        QVERIFY(out.events.isEmpty());
        TickCompare::compare(out.ticks.first(), expected);
    }

    void disconnectAndShortFrames()
    {
        DhanDecoder decoder;
        const DecodedFrame expired = decoder.decode(DhanFrames::disconnect(1, 3045, 807), kReceived);
        QVERIFY(expired.ticks.isEmpty());
        QCOMPARE(expired.events.size(), 1);
        QCOMPARE(int(expired.events.first().kind), int(DecoderEvent::Disconnect));
        QCOMPARE(expired.events.first().code, 807);
        QCOMPARE(expired.events.first().text, QStringLiteral("access token expired"));

        // A disconnect cut short cannot say why: it is a packet the decoder does not know.
        const DecodedFrame cut = decoder.decode(DhanFrames::disconnect(1, 3045, 807).left(9), kReceived);
        QVERIFY(cut.ticks.isEmpty());
        QVERIFY(cut.hasEvent(DecoderEvent::UnknownPacket));
        QVERIFY(decoder.decode(QByteArray(), kReceived).hasEvent(DecoderEvent::UnknownPacket));
    }

    void jsonMessages_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<int>("event");  // -1: none
        QTest::addColumn<int>("ticks");
        QTest::addColumn<TickData>("expected");

        TickData full;
        full.token = "1333";
        full.ltp = 1612.5;
        full.open = 1600;
        full.high = 1620;
        full.low = 1599;
        full.volume = 3000000000.0;
        full.openInterest = 7;
        full.timestamp = QDateTime::fromMSecsSinceEpoch(kReceived);
        TickData empty;
        empty.token = "0";
        empty.timestamp = full.timestamp;

        QTest::newRow("ack") << QByteArray(R"({"ResponseCode":5})") << int(DecoderEvent::Acknowledged) << 0 << TickData();
        QTest::newRow("tick") << QByteArray(R"({"ResponseCode":50,"Data":{"SecurityId":1333,"LTP":1612.5,"Open":1600,)"
                                            R"("High":1620,"Low":1599,"Volume":3000000000,"OI":7}})")
                              << -1 << 1 << full;
        QTest::newRow("tick without Data gives zeros") << QByteArray(R"({"ResponseCode":50})") << -1 << 1 << empty;
        QTest::newRow("text and out-of-range numbers read as 0")
            << QByteArray(R"({"ResponseCode":50,"Data":{"SecurityId":"1333","LTP":"9","Volume":1e12}})") << -1 << 1
            << empty;
        QTest::newRow("other code ignored") << QByteArray(R"({"ResponseCode":51,"Data":{"LTP":1}})") << -1 << 0 << TickData();
        QTest::newRow("not JSON") << QByteArray("not json") << int(DecoderEvent::Malformed) << 0 << TickData();
        QTest::newRow("not an object") << QByteArray("[1,2,3]") << int(DecoderEvent::Malformed) << 0 << TickData();
    }

    void jsonMessages()
    {
        QFETCH(QByteArray, json);
        QFETCH(int, event);
        QFETCH(int, ticks);
        QFETCH(TickData, expected);
        DhanDecoder decoder;
        const DecodedFrame out = decoder.decodeText(json, kReceived);
        QCOMPARE(out.events.size(), event < 0 ? 0 : 1);
        if (event >= 0)
            QCOMPARE(int(out.events.first().kind), event);
        QCOMPARE(out.ticks.size(), ticks);
        if (ticks)
            TickCompare::compare(out.ticks.first(), expected);
    }
};

QTEST_GUILESS_MAIN(TestDhanDecoder)
#include "tst_dhandecoder.moc"
