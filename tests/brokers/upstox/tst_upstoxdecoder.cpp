// Upstox feed decoding: ticks from protocol-buffers and JSON frames built from the field layout,
// rejected entries, damaged frames, and random or mutated bytes.
#include "brokers/upstox/UpstoxDecoder.h"
#include "support/UpstoxFrames.h"

#include <QtTest>

#include <cmath>
#include <limits>

using namespace UpstoxFrames;

namespace {

const QString kNifty = QStringLiteral("NSE_FO|45450");
const QString kInfy = QStringLiteral("NSE_EQ|INE009A01021");
constexpr qint64 kTime = 1710474300123LL;  // 2024-03-15 03:45:00.123 UTC

// The instrument master as the broker hands it over: one futures contract in lots of 75.
UpstoxDecoder::Instrument lookupFn(const QString& key)
{
    UpstoxDecoder::Instrument i;
    if (key == kNifty) {
        i.symbol = QStringLiteral("NIFTY24MARFUT");
        i.lotSize = 75;
    } else if (key == kInfy) {
        i.symbol = QStringLiteral("INFY");
        i.lotSize = 1;
    }
    return i;
}

}  // namespace

class TestUpstoxDecoder : public QObject {
    Q_OBJECT
private slots:
    void protobufTicks_data();
    void protobufTicks();
    void entriesInFrameOrderAndRejects();
    void entryRunningPastFrameDropsTheRest();
    void badWireTypeAtRootEndsFrameButNestedOnlyItsMessage();
    void jsonFrames_data();
    void jsonFrames();
    void jsonLiveFeedTicks();
};

void TestUpstoxDecoder::protobufTicks_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("withLookup");
    QTest::addColumn<QString>("symbol");
    QTest::addColumn<double>("ltp");
    QTest::addColumn<double>("open");
    QTest::addColumn<double>("volume");
    QTest::addColumn<double>("oi");
    QTest::addColumn<qint64>("time");

    const Trade t{22150.5, kTime, 150, 22010.25};
    QTest::newRow("market full feed, lots of 75: 150 -> 2")
        << entry(kNifty, fullFeed(t, 1234500)) << true << "NIFTY24MARFUT" << 22150.5 << 22010.25 << 2.0 << 1234500.0
        << kTime;
    QTest::newRow("100 shares in lots of 75 -> 1")
        << entry(kNifty, fullFeed(Trade{22150.5, kTime, 100, 0})) << true << "NIFTY24MARFUT" << 22150.5 << 0.0 << 1.0
        << 0.0 << kTime;
    QTest::newRow("index full feed (field 2) decodes alike")
        << entry(kNifty, fullFeed(t, 0, 2)) << true << "NIFTY24MARFUT" << 22150.5 << 22010.25 << 2.0 << 0.0 << kTime;
    QTest::newRow("lot size 1 keeps shares")
        << entry(kInfy, fullFeed(Trade{1500.0, kTime, 150, 0})) << true << "INFY" << 1500.0 << 0.0 << 150.0 << 0.0
        << kTime;
    QTest::newRow("unknown instrument: key as symbol, shares kept")
        << entry("NSE_EQ|X", fullFeed(Trade{10.0, kTime, 150, 0})) << true << "NSE_EQ|X" << 10.0 << 0.0 << 150.0
        << 0.0 << kTime;
    QTest::newRow("no master: key as symbol")
        << entry(kNifty, fullFeed(t)) << false << kNifty << 22150.5 << 22010.25 << 150.0 << 0.0 << kTime;
    // The last-trade-only feed has no previous close, even when the bytes carry one.
    QTest::newRow("last trade only: no open")
        << entry(kInfy, ltpcFeed(t)) << true << "INFY" << 22150.5 << 0.0 << 150.0 << 0.0 << kTime;
    QTest::newRow("no time: the epoch")
        << entry(kInfy, ltpcFeed(Trade{99.5, 0, 3, 0})) << true << "INFY" << 99.5 << 0.0 << 3.0 << 0.0 << qint64(0);
    // Both messages in one entry: the one met last gives price, time and quantity.
    QTest::newRow("later LTPC wins")
        << entry(kInfy, ltpcFeed(Trade{1.0, 1000, 1, 0}) + fullFeed(Trade{1501.0, kTime, 7, 1490.0})) << true
        << "INFY" << 1501.0 << 1490.0 << 7.0 << 0.0 << kTime;
    QTest::newRow("unknown fields, also with long tags, are skipped")
        << (varintField(1, 1) + varintField(3, kTime) + bytesField(4, "xyz")
            + bytesField(2, varintField(17, 5) + bytesField(1, kInfy.toUtf8()) + doubleField(300, 1.0)
                                + bytesField(2, ltpcFeed(Trade{1500.0, kTime, 1, 0}) + bytesField(4, "q"))))
        << true << "INFY" << 1500.0 << 0.0 << 1.0 << 0.0 << kTime;
    QTest::newRow("key ends at a NUL byte")
        << entry(kInfy + QChar(0) + "junk", ltpcFeed(Trade{1500.0, kTime, 1, 0})) << true << "INFY" << 1500.0 << 0.0
        << 1.0 << 0.0 << kTime;
}

void TestUpstoxDecoder::protobufTicks()
{
    QFETCH(QByteArray, frame);
    QFETCH(bool, withLookup);
    QFETCH(QString, symbol);
    QFETCH(double, ltp);
    QFETCH(double, open);
    QFETCH(double, volume);
    QFETCH(double, oi);
    QFETCH(qint64, time);

    const auto r = UpstoxDecoder::decode(frame, withLookup ? UpstoxDecoder::Lookup(lookupFn) : UpstoxDecoder::Lookup());
    QCOMPARE(r.kind, UpstoxDecoder::Kind::Protobuf);
    QCOMPARE(r.ticks.size(), 1);
    const TickData& t = r.ticks.first();
    QCOMPARE(t.symbol, symbol);
    QVERIFY(t.token.contains('|'));
    QCOMPARE(t.ltp, ltp);
    QCOMPARE(t.open, open);
    QCOMPARE(t.high, 0.0);
    QCOMPARE(t.low, 0.0);
    QCOMPARE(t.volume, volume);
    QCOMPARE(t.openInterest, oi);
    QCOMPARE(t.lastTradedQty, 0);
    QVERIFY(t.exchange.isEmpty());
    QCOMPARE(t.timestamp.toMSecsSinceEpoch(), time);
    // Shown in local time, as every other source's ticks.
    QCOMPARE(t.timestamp.toString(Qt::ISODateWithMs), QDateTime::fromMSecsSinceEpoch(time).toString(Qt::ISODateWithMs));
}

void TestUpstoxDecoder::entriesInFrameOrderAndRejects()
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
    const auto r = UpstoxDecoder::decode(frame, lookupFn);
    QCOMPARE(r.ticks.size(), 2);
    QCOMPARE(r.ticks[0].symbol, QStringLiteral("INFY"));
    QCOMPARE(r.ticks[1].symbol, QStringLiteral("NIFTY24MARFUT"));
    QStringList rejected;
    for (const auto& e : r.events) {
        if (e.type == UpstoxDecoder::Event::InvalidTick)
            rejected << e.key;
    }
    QCOMPARE(rejected, (QStringList{QString(), "NSE_EQ|ZERO", "NSE_EQ|NEG", "NSE_EQ|NAN", "NSE_EQ|INF"}));
}

void TestUpstoxDecoder::entryRunningPastFrameDropsTheRest()
{
    const QByteArray good = entry(kInfy, ltpcFeed(Trade{1500.0, kTime, 1, 0}));
    const QByteArray next = entry(kNifty, fullFeed(Trade{22150.0, kTime, 75, 0}));
    const QByteArray frame = good + next.left(next.size() - 5);
    const auto r = UpstoxDecoder::decode(frame, lookupFn);
    QCOMPARE(r.ticks.size(), 1);
    QCOMPARE(r.ticks[0].symbol, QStringLiteral("INFY"));
    QCOMPARE(r.events.last().type, UpstoxDecoder::Event::FeedTooLong);
}

void TestUpstoxDecoder::badWireTypeAtRootEndsFrameButNestedOnlyItsMessage()
{
    const QByteArray first = entry(kInfy, ltpcFeed(Trade{1500.0, kTime, 1, 0}));
    const QByteArray second = entry(kNifty, fullFeed(Trade{22150.0, kTime, 75, 0}));
    const auto atRoot = UpstoxDecoder::decode(first + tag(9, 3) + second, lookupFn);
    QCOMPARE(atRoot.ticks.size(), 1);
    QCOMPARE(atRoot.events.last().type, UpstoxDecoder::Event::Malformed);

    // Inside the Feed a group tag ends the Feed; its entry still gives the tick read so far and the
    // next entry is decoded normally.
    const QByteArray damaged =
        bytesField(2, bytesField(1, kInfy.toUtf8())
                          + bytesField(2, ltpcFeed(Trade{1500.0, kTime, 1, 0}) + tag(5, 7) + ltpcFeed(Trade{1.0, 1, 1, 0})));
    const auto nested = UpstoxDecoder::decode(damaged + second, lookupFn);
    QCOMPARE(nested.ticks.size(), 2);
    QCOMPARE(nested.ticks[0].ltp, 1500.0);
    QCOMPARE(nested.ticks[1].symbol, QStringLiteral("NIFTY24MARFUT"));
}

void TestUpstoxDecoder::jsonFrames_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("ticks");
    QTest::addColumn<QString>("text");

    QTest::newRow("market info") << QByteArray(R"({"type":"market_info","marketInfo":{"segmentStatus":{}}})")
                                 << int(UpstoxDecoder::Kind::MarketInfo) << 0
                                 << R"({"type":"market_info","marketInfo":{"segmentStatus":{}}})";
    QTest::newRow("service error") << QByteArray(R"({"type":"error","message":"Invalid token"})")
                                   << int(UpstoxDecoder::Kind::ServiceError) << 0 << "Invalid token";
    QTest::newRow("other type is read as protocol buffers")
        << QByteArray(R"({"type":"heartbeat"})") << int(UpstoxDecoder::Kind::Protobuf) << 0 << QString();
    QTest::newRow("not JSON") << QByteArray("{broken") << int(UpstoxDecoder::Kind::Protobuf) << 0 << QString();
    QTest::newRow("live feed without ltpc gives nothing")
        << QByteArray(R"({"type":"live_feed","feeds":{"NSE_EQ|A":{"ltpc":{}},"NSE_EQ|B":{}}})")
        << int(UpstoxDecoder::Kind::JsonFeed) << 0 << QString();
}

void TestUpstoxDecoder::jsonFrames()
{
    QFETCH(QByteArray, frame);
    QFETCH(int, kind);
    QFETCH(int, ticks);
    QFETCH(QString, text);
    const auto r = UpstoxDecoder::decode(frame, lookupFn);
    QCOMPARE(int(r.kind), kind);
    QCOMPARE(r.ticks.size(), ticks);
    QCOMPARE(r.text, text);
}

void TestUpstoxDecoder::jsonLiveFeedTicks()
{
    // Members come in key order; the day's figures of the full feed replace the trade quantity.
    const QByteArray frame = R"({"type":"live_feed","feeds":{
        "NSE_FO|45450":{"ltpc":{"ltp":22150.5,"ltq":150,"ltt":"1710474300123"},
            "ff":{"marketFF":{"openPrice":22000,"highPrice":22200,"lowPrice":21950,"ltq":75,"oi":1234500}}},
        "NSE_EQ|INE009A01021":{"ltpc":{"ltp":0,"ltq":5,"ltt":1710474300123}}}})";
    const auto r = UpstoxDecoder::decode(frame, lookupFn);
    QCOMPARE(r.kind, UpstoxDecoder::Kind::JsonFeed);
    QCOMPARE(r.ticks.size(), 2);
    const TickData& infy = r.ticks[0];
    QCOMPARE(infy.symbol, QStringLiteral("INFY"));
    QCOMPARE(infy.ltp, 0.0);  // passed on as the service sent it
    QCOMPARE(infy.volume, 5.0);
    QCOMPARE(infy.timestamp.toMSecsSinceEpoch(), qint64(0));  // a number, not text: no time
    const TickData& fut = r.ticks[1];
    QCOMPARE(fut.symbol, QStringLiteral("NIFTY24MARFUT"));
    QCOMPARE(fut.token, kNifty);
    QCOMPARE(fut.ltp, 22150.5);
    QCOMPARE(fut.open, 22000.0);
    QCOMPARE(fut.high, 22200.0);
    QCOMPARE(fut.low, 21950.0);
    QCOMPARE(fut.volume, 75.0);
    QCOMPARE(fut.openInterest, 1234500.0);
    QCOMPARE(fut.timestamp.toMSecsSinceEpoch(), kTime);
}

QTEST_GUILESS_MAIN(TestUpstoxDecoder)
#include "tst_upstoxdecoder.moc"
