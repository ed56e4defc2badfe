// Upstox feed decoding: every field of the ticks made from protocol-buffers and JSON frames built
// from the field layout, absent times, rejected entries and damaged frames.
#include "brokers/upstox/UpstoxDecoder.h"
#include "support/TickCompare.h"
#include "support/UpstoxFrames.h"

#include <QtTest>

#include <limits>

using namespace UpstoxFrames;

namespace {

const QString kNifty = QStringLiteral("NSE_FO|45450");
const QString kInfy = QStringLiteral("NSE_EQ|INE009A01021");
constexpr qint64 kTime = 1710474300123LL;      // 2024-03-15 03:45:00.123 UTC
constexpr qint64 kReceived = 1710474301000LL;  // time of receipt

TickData tick(const QString& key, double ltp, double open, double volume, double oi, qint64 ms)
{
    TickData t;
    t.token = key;
    t.exchange = key.left(key.indexOf('|'));
    t.ltp = ltp;
    t.open = open;
    t.volume = volume;
    t.openInterest = oi;
    t.timestamp = QDateTime::fromMSecsSinceEpoch(ms);
    return t;
}

DecodedFrame decode(const QByteArray& frame)
{
    UpstoxDecoder decoder;
    return decoder.decode(frame, kReceived);
}

}  // namespace

class TestUpstoxDecoder : public QObject {
    Q_OBJECT
private slots:
    void protobufTicks_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<TickData>("expected");

        const Trade t{22150.5, kTime, 150, 22010.25};
        QTest::newRow("market full feed") << entry(kNifty, fullFeed(t, 1234500))
                                          << tick(kNifty, 22150.5, 22010.25, 150, 1234500, kTime);
        QTest::newRow("index full feed (field 2) decodes alike")
            << entry(kNifty, fullFeed(t, 0, 2)) << tick(kNifty, 22150.5, 22010.25, 150, 0, kTime);
        // The last-trade-only feed has no previous close, even when the bytes carry one.
        QTest::newRow("last trade only: no open") << entry(kInfy, ltpcFeed(t)) << tick(kInfy, 22150.5, 0, 150, 0, kTime);
        QTest::newRow("quantity beyond 32 bits")
            << entry(kInfy, ltpcFeed(Trade{99.5, kTime, 5000000000LL, 0})) << tick(kInfy, 99.5, 0, 5000000000.0, 0, kTime);
        QTest::newRow("no time: the time of receipt")
            << entry(kInfy, ltpcFeed(Trade{99.5, 0, 3, 0})) << tick(kInfy, 99.5, 0, 3, 0, kReceived);
        // Both messages in one entry: the one met last gives price, time and quantity.
        QTest::newRow("later LTPC wins")
            << entry(kInfy, ltpcFeed(Trade{1.0, 1000, 1, 0}) + fullFeed(Trade{1501.0, kTime, 7, 1490.0}))
            << tick(kInfy, 1501.0, 1490.0, 7, 0, kTime);
        QTest::newRow("unknown fields, also with long tags, are skipped")
            << (varintField(1, 1) + varintField(3, kTime) + bytesField(4, "xyz")
                + bytesField(2, varintField(17, 5) + bytesField(1, kInfy.toUtf8()) + doubleField(300, 1.0)
                                    + bytesField(2, ltpcFeed(Trade{1500.0, kTime, 1, 0}) + bytesField(4, "q"))))
            << tick(kInfy, 1500.0, 0, 1, 0, kTime);
        QTest::newRow("key ends at a NUL byte")
            << entry(kInfy + QChar(0) + "junk", ltpcFeed(Trade{1500.0, kTime, 1, 0})) << tick(kInfy, 1500.0, 0, 1, 0, kTime);
    }

    void protobufTicks()
    {
        QFETCH(QByteArray, frame);
        QFETCH(TickData, expected);
        const DecodedFrame r = decode(frame);
        QVERIFY(r.events.isEmpty());
        QCOMPARE(r.ticks.size(), 1);
        TickCompare::compare(r.ticks.first(), expected);
    }

    void entriesInFrameOrderAndRejects()
    {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const double inf = std::numeric_limits<double>::infinity();
        const QByteArray frame = varintField(1, 1) + entry(kInfy, ltpcFeed(Trade{1500.0, kTime, 1, 0}))
            + entry(QString(), ltpcFeed(Trade{10.0, kTime, 1, 0}))  // no key
            + entry("NSE_EQ|ZERO", ltpcFeed(Trade{0.0, kTime, 1, 0}))
            + entry("NSE_EQ|NEG", ltpcFeed(Trade{-3.0, kTime, 1, 0}))
            + entry("NSE_EQ|NAN", ltpcFeed(Trade{nan, kTime, 1, 0}))
            + entry("NSE_EQ|INF", ltpcFeed(Trade{inf, kTime, 1, 0}))
            + entry(kNifty, fullFeed(Trade{22150.0, kTime, 75, 0}));
        const DecodedFrame r = decode(frame);
        QCOMPARE(r.ticks.size(), 2);
        QCOMPARE(r.ticks[0].token, kInfy);
        QCOMPARE(r.ticks[1].token, kNifty);
        QStringList rejected;
        for (const DecoderEvent& e : r.events) {
            QCOMPARE(int(e.kind), int(DecoderEvent::Skipped));
            rejected << e.text;
        }
        QCOMPARE(rejected, (QStringList{QString(), "NSE_EQ|ZERO", "NSE_EQ|NEG", "NSE_EQ|NAN", "NSE_EQ|INF"}));
    }

    void damagedFrames_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QStringList>("ticks");  // "token ltp"
        QTest::addColumn<int>("malformed");      // code of the last event, -1: none

        const QByteArray first = entry(kInfy, ltpcFeed(Trade{1500.0, kTime, 1, 0}));
        const QByteArray second = entry(kNifty, fullFeed(Trade{22150.0, kTime, 75, 0}));
        const QString infy = kInfy + " 1500";
        QTest::newRow("entry running past the frame drops the rest")
            << first + second.left(second.size() - 5) << QStringList{infy} << int(UpstoxDecoder::kFeedTooLong);
        QTest::newRow("bad wire type at the root ends the frame")
            << first + tag(9, 3) + second << QStringList{infy} << int(UpstoxDecoder::kUnreadableField);
        // Inside the Feed a group tag ends the Feed; its entry still gives the tick read so far and the
        // next entry is decoded normally.
        const QByteArray damaged = bytesField(
            2, bytesField(1, kInfy.toUtf8())
                   + bytesField(2, ltpcFeed(Trade{1500.0, kTime, 1, 0}) + tag(5, 7) + ltpcFeed(Trade{1.0, 1, 1, 0})));
        QTest::newRow("bad wire type inside a Feed ends only that Feed")
            << damaged + second << QStringList{infy, kNifty + " 22150"} << -1;
    }

    void damagedFrames()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QStringList, ticks);
        QFETCH(int, malformed);
        const DecodedFrame r = decode(frame);
        QStringList got;
        for (const TickData& t : r.ticks)
            got << QStringLiteral("%1 %2").arg(t.token).arg(t.ltp);
        QCOMPARE(got, ticks);
        if (malformed >= 0) {
            QCOMPARE(int(r.events.last().kind), int(DecoderEvent::Malformed));
            QCOMPARE(r.events.last().code, malformed);
        }
    }

    void jsonFrames_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("event");  // -1: none
        QTest::addColumn<QString>("text");

        QTest::newRow("market info") << QByteArray(R"({"type":"market_info","marketInfo":{"segmentStatus":{}}})")
                                     << int(DecoderEvent::Acknowledged)
                                     << R"({"type":"market_info","marketInfo":{"segmentStatus":{}}})";
        QTest::newRow("service error") << QByteArray(R"({"type":"error","message":"Invalid token"})")
                                       << int(DecoderEvent::ServerError) << "Invalid token";
        QTest::newRow("other type is read as protocol buffers")
            << QByteArray(R"({"type":"heartbeat"})") << int(DecoderEvent::Malformed) << "unreadable field";
        QTest::newRow("live feed without ltpc gives nothing")
            << QByteArray(R"({"type":"live_feed","feeds":{"NSE_EQ|A":{"ltpc":{}},"NSE_EQ|B":{}}})") << -1 << QString();
    }

    void jsonFrames()
    {
        QFETCH(QByteArray, frame);
        QFETCH(int, event);
        QFETCH(QString, text);
        const DecodedFrame r = decode(frame);
        QVERIFY(r.ticks.isEmpty());
        QCOMPARE(r.events.size(), event < 0 ? 0 : 1);
        if (event >= 0) {
            QCOMPARE(int(r.events.first().kind), event);
            QCOMPARE(r.events.first().text, text);
        }
    }

    void jsonLiveFeedTicks()
    {
        // Members come in key order; the day's figures of the full feed replace the trade quantity.
        const QByteArray frame = R"({"type":"live_feed","feeds":{
        "NSE_FO|45450":{"ltpc":{"ltp":22150.5,"ltq":150,"ltt":"1710474300123"},
            "ff":{"marketFF":{"openPrice":22000,"highPrice":22200,"lowPrice":21950,"ltq":75,"oi":1234500}}},
        "NSE_EQ|INE009A01021":{"ltpc":{"ltp":0,"ltq":5,"ltt":1710474300123}}}})";
        const DecodedFrame r = decode(frame);
        QCOMPARE(r.ticks.size(), 2);
        // Passed on as the service sent it; a number rather than text is no time: the time of receipt.
        TickCompare::compare(r.ticks[0], tick(kInfy, 0, 0, 5, 0, kReceived));
        TickData fut = tick(kNifty, 22150.5, 22000, 75, 1234500, kTime);
        fut.high = 22200;
        fut.low = 21950;
        TickCompare::compare(r.ticks[1], fut);
    }
};

QTEST_GUILESS_MAIN(TestUpstoxDecoder)
#include "tst_upstoxdecoder.moc"
