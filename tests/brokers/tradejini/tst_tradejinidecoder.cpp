// TradeJini frame decoding: header, inflation limits, packet walk, every field of the tick an L1
// packet makes (divisors whatever the tag order, absent times, volumes beyond 31 bits) and the
// per-instrument tick cache.
#include "brokers/tradejini/TradeJiniDecoder.h"
#include "support/TickCompare.h"
#include "support/TradeJiniFrames.h"
#include "support/ZlibTestUtil.h"

#include <QJsonDocument>
#include <QtTest>

#include <zlib.h>

using namespace TradeJiniFrames;

namespace {

const QDateTime kNow(QDate(2025, 3, 14), QTime(10, 30));
const qint64 kReceived = kNow.toMSecsSinceEpoch();

DecodedFrame decode(TradeJiniDecoder& d, const QByteArray& frame, qint64 received = kReceived)
{
    return d.decode(frame, received);
}

const DecoderEvent* firstEvent(const DecodedFrame& f, DecoderEvent::Kind kind)
{
    for (const DecoderEvent& e : f.events)
        if (e.kind == kind)
            return &e;
    return nullptr;
}

}  // namespace

class TestTradeJiniDecoder : public QObject {
    Q_OBJECT

private slots:
    void frameHeader_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("event");  // -1: none
        QTest::addColumn<int>("code");   // version or zlib code
        QTest::addColumn<int>("ticks");
        const QByteArray payload = l1(1, 2885, 250050);
        const int malformed = int(DecoderEvent::Malformed);
        QTest::newRow("five bytes") << QByteArray(5, '\1') << malformed << 5 << 0;
        QTest::newRow("version 2") << frame(payload, false, 2) << int(DecoderEvent::UnknownPacket) << 2 << 0;
        QTest::newRow("empty compressed payload") << frame(QByteArray(), false, 1).left(4) + QByteArray("\1d", 2)
                                                  << malformed << int(Z_DATA_ERROR) << 0;
        QTest::newRow("raw payload") << frame(payload, false) << -1 << 0 << 1;
        QTest::newRow("compressed payload") << frame(payload, true) << -1 << 0 << 1;
        QByteArray corrupt = frame(payload, true);
        corrupt.truncate(corrupt.size() - 3);
        QTest::newRow("truncated zlib stream") << corrupt << malformed << int(Z_DATA_ERROR) << 0;
        QByteArray garbage = frame(QByteArray(), false) + QByteArray("not zlib at all");
        garbage[5] = 'd';
        QTest::newRow("garbage zlib stream") << garbage << malformed << int(Z_DATA_ERROR) << 0;
        // 17 MiB of zeros compress to a few KB: over the inflation cap, refused as a buffer error.
        QTest::newRow("inflates past the cap") << frame(QByteArray(17 << 20, '\0'), true) << malformed << int(Z_BUF_ERROR)
                                               << 0;
    }

    void frameHeader()
    {
        QFETCH(QByteArray, frame);
        QFETCH(int, event);
        QFETCH(int, code);
        QFETCH(int, ticks);
        TradeJiniDecoder d;
        const DecodedFrame out = decode(d, frame);
        QCOMPARE(out.events.size(), event < 0 ? 0 : 1);
        if (event >= 0) {
            QCOMPARE(int(out.events.first().kind), event);
            QCOMPARE(out.events.first().code, code);
        }
        QCOMPARE(out.ticks.size(), ticks);
        // One zlib state serves every frame: whatever this one left in it, the next decodes whole.
        QCOMPARE(decode(d, ::frame(l1(1, 2885, 250050), true)).ticks.size(), 1);
    }

    void hugeSizeHintDoesNotMatter()
    {
        // The first four bytes are only a claim: neither a huge nor a tiny one may change the result
        // (a hint-sized allocation of 43 GB would abort under the sanitizers).
        QByteArray payload;
        for (quint32 t = 1; t <= 50; ++t)
            payload += l1(1, t, 10000 + qint32(t), 100 * t, 0, 1710474300);
        for (qint64 hint : {qint64(0xffffffffu), qint64(0), qint64(1)}) {
            TradeJiniDecoder d;
            const DecodedFrame out = decode(d, frame(payload, true, 1, hint));
            QVERIFY(out.events.isEmpty());
            QCOMPARE(out.ticks.size(), 50);
            QCOMPARE(out.ticks.last().ltp, 100.50);
        }
    }

    void packetLengths_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("ticks");
        QTest::addColumn<int>("badLength");  // -1: no invalid-length event
        QTest::addColumn<int>("badIndex");
        const QByteArray good = l1(1, 7, 700);
        QTest::newRow("zero length") << QByteArray("\0\0\x0a\x1a\x01", 5) << 0 << 0 << 0;
        QTest::newRow("negative length") << QByteArray("\xfb\xff\x0a\x1a\x01", 5) << 0 << -5 << 0;
        QTest::newRow("length past end") << QByteArray("\xff\x00\x0a\x1a\x01", 5) << 0 << 255 << 0;
        QTest::newRow("bad second packet keeps first") << good + QByteArray("\x40\x00\x0a\x00", 4) << 1 << 64 << good.size();
        QTest::newRow("short packets skipped") << QByteArray("\x02\x00", 2) + good << 1 << -1 << 0;
        QTest::newRow("two bytes only") << QByteArray("\x05\x00", 2) << 0 << -1 << 0;
        QTest::newRow("ping and unknown types") << packet(16, {}) + packet(99, "abc") + good << 1 << -1 << 0;
        QTest::newRow("two packets and a stray byte") << good + l1(2, 22, 2000) + QByteArray(1, '\x05') << 2 << -1 << 0;
        QTest::newRow("two stray bytes") << good + QByteArray("\x05\x00", 2) << 1 << -1 << 0;
    }

    void packetLengths()
    {
        QFETCH(QByteArray, payload);
        QFETCH(int, ticks);
        QFETCH(int, badLength);
        QFETCH(int, badIndex);
        TradeJiniDecoder d;
        const DecodedFrame out = decode(d, frame(payload, false));
        QCOMPARE(out.ticks.size(), ticks);
        const DecoderEvent* bad = firstEvent(out, DecoderEvent::Malformed);
        QCOMPARE(bad != nullptr, badLength != -1);
        if (bad) {
            QCOMPARE(bad->code, badLength);
            QVERIFY(bad->text.endsWith(QStringLiteral("at index %1").arg(badIndex)));
        }
    }

    void segmentsAndDivisors_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("exchange");
        QTest::addColumn<double>("divisor");
        const QList<QPair<QString, double>> table = {{"NSE", 100},    {"BSE", 100},   {"NFO", 100}, {"BFO", 100},
                                                     {"CDS", 1e7},    {"BCD", 1e4},   {"MCD", 1e4}, {"MCX", 100},
                                                     {"NCO", 1e4},    {"BCO", 1e4}};
        for (int i = 0; i < table.size(); ++i)
            QTest::addRow("code %d", i + 1) << i + 1 << table[i].first << table[i].second;
        QTest::newRow("code 0") << 0 << "NSE" << 100.0;
        QTest::newRow("code 11") << 11 << "NSE" << 100.0;
    }

    void segmentsAndDivisors()
    {
        QFETCH(int, code);
        QFETCH(QString, exchange);
        QFETCH(double, divisor);
        // Prices before and after the segment tag all take the segment's divisor.
        const qint32 raw = 123456789;
        const QByteArray body = i32Tag(30, raw) + i32Tag(31, raw + 1) + u8Tag(26, quint8(code)) + u32Tag(27, 42)
            + i32Tag(29, raw) + i32Tag(32, raw - 1);
        TradeJiniDecoder d;
        const DecodedFrame out = decode(d, frame(packet(10, body), true));
        QCOMPARE(out.ticks.size(), 1);
        TickData expected;
        expected.token = "42";
        expected.exchange = exchange;
        expected.ltp = raw / divisor;
        expected.open = raw / divisor;
        expected.high = (raw + 1) / divisor;
        expected.low = (raw - 1) / divisor;
        expected.timestamp = kNow;
        TickCompare::compare(out.ticks.first(), expected);
    }

    void fieldsAndTruncation_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("emitted");
        QTest::addColumn<TickData>("expected");
        const QByteArray head = u8Tag(26, 1) + u32Tag(27, 9);
        const QByteArray skips = skipTag(28, 1) + skipTag(33, 4) + skipTag(40, 4) + skipTag(41, 8) + skipTag(55, 1)
            + skipTag(56, 2) + skipTag(77, 4);
        const auto tick = [](double ltp, double volume, double oi, const QDateTime& time) {
            TickData t;
            t.token = "9";
            t.exchange = "NSE";
            t.ltp = ltp;
            t.volume = volume;
            t.openInterest = oi;
            t.lastTradedQty = qint32(qMin(volume, 2147483647.0));
            t.timestamp = time;
            return t;
        };
        const QDateTime traded = QDateTime::fromSecsSinceEpoch(1710474300);
        QTest::newRow("every tag") << head + skips + i32Tag(29, 150) + u32Tag(39, 1000) + u32Tag(44, 77) + i32Tag(46, 1710474300)
                                   << true << tick(1.5, 1000, 77, traded);
        // Beyond the signed 32-bit range: the volume stays whole, the traded quantity is capped.
        QTest::newRow("volume and open interest beyond 31 bits")
            << head + i32Tag(29, 150) + u32Tag(39, 3000000000u) + u32Tag(44, 4000000000u) + i32Tag(46, 1710474300)
            << true << tick(1.5, 3000000000.0, 4000000000.0, traded);
        QTest::newRow("no time tag: the time of receipt") << head + i32Tag(29, 150) << true << tick(1.5, 0, 0, kNow);
        QTest::newRow("zero time: the time of receipt") << head + i32Tag(29, 150) + i32Tag(46, 0) << true
                                                        << tick(1.5, 0, 0, kNow);
        QTest::newRow("value cut short keeps earlier fields")
            << head + i32Tag(29, 150) + u32Tag(39, 5) + QByteArray("\x2c\x01\x02", 3) << true << tick(1.5, 5, 0, kNow);
        QTest::newRow("skipped tag cut short") << head + i32Tag(29, 150) + QByteArray("\x29\x01\x02", 3) << true
                                               << tick(1.5, 0, 0, kNow);
        QTest::newRow("last value wins") << head + i32Tag(29, 100) + i32Tag(29, 300) << true << tick(3.0, 0, 0, kNow);
        QTest::newRow("no token") << u8Tag(26, 1) + i32Tag(29, 150) << false << TickData();
        QTest::newRow("no segment") << u32Tag(27, 9) + i32Tag(29, 150) << false << TickData();
        QTest::newRow("token cut short") << u8Tag(26, 1) + QByteArray("\x1b\x09\x00", 3) << false << TickData();
        QTest::newRow("all zero first tick dropped") << head << false << TickData();
    }

    void fieldsAndTruncation()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, emitted);
        QFETCH(TickData, expected);
        TradeJiniDecoder d;
        const DecodedFrame out = decode(d, frame(packet(10, body), false));
        QCOMPARE(out.ticks.size(), emitted ? 1 : 0);
        if (emitted)
            TickCompare::compare(out.ticks.first(), expected);
    }

    void cacheMerge()
    {
        TradeJiniDecoder d;
        const QByteArray bare = packet(10, u8Tag(26, 8) + u32Tag(27, 500));
        QCOMPARE(decode(d, frame(bare, true)).ticks.size(), 0);  // nothing known yet, nothing to say

        const QByteArray full = packet(10, u8Tag(26, 8) + u32Tag(27, 500) + i32Tag(29, 7000000) + i32Tag(30, 6900000)
                                               + i32Tag(31, 7100000) + i32Tag(32, 6800000) + u32Tag(39, 12)
                                               + u32Tag(44, 340) + i32Tag(46, 1710474300));
        const DecodedFrame first = decode(d, frame(full, true));
        QCOMPARE(first.ticks.size(), 1);
        QCOMPARE(first.ticks[0].open, 69000.0);  // the first tick is emitted as decoded
        QCOMPARE(first.ticks[0].high, 71000.0);

        // A packet with nothing but the instrument repeats what is known, stamped when it came.
        const DecodedFrame second = decode(d, frame(bare, true), kReceived + 5000);
        QCOMPARE(second.ticks.size(), 1);
        TickData known;
        known.token = "500";
        known.exchange = "MCX";
        known.ltp = known.open = known.high = known.low = 70000.0;
        known.volume = 12;
        known.openInterest = 340;
        known.lastTradedQty = 12;
        known.timestamp = QDateTime::fromMSecsSinceEpoch(kReceived + 5000);
        TickCompare::compare(second.ticks[0], known);

        // A minute later on the same decoder: the new trade time, not the one cached before.
        const DecodedFrame third = decode(
            d, frame(packet(10, u8Tag(26, 8) + u32Tag(27, 500) + i32Tag(29, 7050000) + i32Tag(46, 1710474360)), true));
        known.ltp = known.open = known.high = known.low = 70500.0;
        known.timestamp = QDateTime::fromSecsSinceEpoch(1710474360);
        TickCompare::compare(third.ticks.value(0), known);
        QCOMPARE(d.cachedInstruments(), 1);

        // The same token on another exchange is another instrument.
        QCOMPARE(decode(d, frame(packet(10, u8Tag(26, 1) + u32Tag(27, 500)), true)).ticks.size(), 0);
        d.reset();
        QCOMPARE(d.cachedInstruments(), 0);
    }

    void l1Json_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<TickData>("tick");
        QTest::addColumn<QString>("keyExchange");
        const auto tick = [](const QString& symbol, const QString& token, const QString& exchange, double ltp) {
            TickData t;
            t.symbol = symbol;
            t.token = token;
            t.exchange = exchange;
            t.ltp = ltp;
            t.timestamp = kNow;
            return t;
        };
        TickData full = tick("RELIANCE", "2885", "nse_cm", 2501.5);
        full.open = 2490;
        full.high = 2510;
        full.low = 2480;
        full.volume = 3000000000.0;
        full.openInterest = 3;
        QTest::newRow("known token, every field")
            << QByteArray(R"({"symbol":"2885_NSE","exchSeg":"nse_cm","ltp":2501.5,"open":2490,"high":2510,"low":2480,)"
                          R"("vol":3000000000,"OI":3})")
            << true << full << "NSE";
        QTest::newRow("unknown token") << QByteArray(R"({"symbol":"999_NSE","exchSeg":"nse_cm","ltp":1})") << true
                                       << tick("NSE:999", "999", "nse_cm", 1) << "NSE";
        QTest::newRow("empty exchange part") << QByteArray(R"({"symbol":"999_","ltp":1})") << true
                                             << tick("999", "999", "", 1) << "";
        QTest::newRow("no underscore") << QByteArray(R"({"symbol":"2885","ltp":1})") << false << TickData() << "";
        QTest::newRow("empty token") << QByteArray(R"({"symbol":"_NSE","ltp":1})") << false << TickData() << "";
        QTest::newRow("symbol not text") << QByteArray(R"({"symbol":5,"ltp":1})") << false << TickData() << "";
    }

    void l1Json()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, accepted);
        QFETCH(TickData, tick);
        TickData t;
        QString keyExchange;
        const auto names = [](const QString& token, const QString& exchange) {
            return token == "2885" && exchange == "NSE" ? QString("RELIANCE") : QString();
        };
        QCOMPARE(TradeJiniDecoder::tickFromL1Json(QJsonDocument::fromJson(json).object(), names, kNow, t, keyExchange),
                 accepted);
        if (!accepted)
            return;
        TickCompare::compare(t, tick);
        QTEST(keyExchange, "keyExchange");
    }
};

QTEST_GUILESS_MAIN(TestTradeJiniDecoder)
#include "tst_tradejinidecoder.moc"
