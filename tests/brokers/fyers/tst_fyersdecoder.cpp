// Fyers depth messages built from the schema, decoded into ticks: books kept across messages, the
// price from a Quote or the middle of the book, times, control messages and damaged frames.
#include "brokers/fyers/FyersDecoder.h"
#include "support/FyersFrames.h"
#include "support/UpstoxFrames.h"

#include <QtTest>

using namespace FyersFrames;

namespace {

constexpr qint64 kReceived = 1741150000000;  // ms
constexpr qint64 kFeedSecs = 1741152602;

Feed feed(const QString& ticker, const Depth& d, qint64 feedTime = kFeedSecs)
{
    Feed f;
    f.ticker = ticker;
    f.depth = d;
    f.feedTime = feedTime;
    return f;
}

// Every field of a tick in one line, so a table row states the whole tick.
QString render(const TickData& t)
{
    return QStringLiteral("%1|%2|%3|ltp %4|o %5 h %6 l %7|vol %8|oi %9|ltq %10|%11")
        .arg(t.token, t.exchange, t.symbol)
        .arg(t.ltp, 0, 'f', 2)
        .arg(t.open, 0, 'f', 2)
        .arg(t.high, 0, 'f', 2)
        .arg(t.low, 0, 'f', 2)
        .arg(t.volume, 0, 'f', 0)
        .arg(t.openInterest, 0, 'f', 0)
        .arg(t.lastTradedQty)
        .arg(t.timestamp.toMSecsSinceEpoch());
}

QString kinds(const DecodedFrame& f)
{
    QStringList out;
    for (const DecoderEvent& e : f.events)
        out << QString::number(int(e.kind));
    return out.join(',');
}

}  // namespace

class TestFyersDecoder : public QObject {
    Q_OBJECT
private slots:
    void ticksFromMessages_data()
    {
        QTest::addColumn<QList<QByteArray>>("frames");
        QTest::addColumn<QStringList>("ticks");  // of the last frame

        const QString sbinAt = QStringLiteral("|ltp %1|o 0.00 h 0.00 l 0.00|vol %2|oi %3|ltq %4|%5");
        const Depth sbin = book(75000, 5);
        const QByteArray snapshot = message({feed("NSE:SBIN-EQ", sbin)}, true);

        QTest::newRow("snapshot: middle of best bid and ask, no volume")
            << QList<QByteArray>{snapshot}
            << QStringList{"NSE:SBIN-EQ|NSE|" + sbinAt.arg("750.00", "0", "0", "0").arg(kFeedSecs * 1000)};

        Depth update;
        update.bids = {Level{}};                 // an empty level: unchanged
        update.asks = {Level{75003, -1, -1, 0}};  // only the best ask's price
        QTest::newRow("update merges only what it carries")
            << QList<QByteArray>{snapshot, message({feed("NSE:SBIN-EQ", update)}, false)}
            << QStringList{"NSE:SBIN-EQ|NSE|" + sbinAt.arg("749.99", "0", "0", "0").arg(kFeedSecs * 1000)};

        Depth zeroBid;
        zeroBid.bids = {Level{0, -1, -1, -1}};  // present and 0: the best bid is gone
        QTest::newRow("a present zero empties the level: no tick")
            << QList<QByteArray>{snapshot, message({feed("NSE:SBIN-EQ", zeroBid)}, false)} << QStringList{};

        Depth asksOnly = book(75000, 3);
        asksOnly.bids.clear();
        QTest::newRow("a snapshot replaces the whole book")
            << QList<QByteArray>{snapshot, message({feed("NSE:SBIN-EQ", asksOnly)}, true)} << QStringList{};

        QTest::newRow("two tickers in one message, in order")
            << QList<QByteArray>{message({feed("NSE:SBIN-EQ", sbin), feed("NSE:NIFTY25MARFUT", book(2245000, 5, 5))}, true)}
            << QStringList{"NSE:SBIN-EQ|NSE|" + sbinAt.arg("750.00", "0", "0", "0").arg(kFeedSecs * 1000),
                           "NSE:NIFTY25MARFUT|NSE|" + sbinAt.arg("22450.00", "0", "0", "0").arg(kFeedSecs * 1000)};

        Feed quoted = feed("NSE:SBIN-EQ", sbin);
        quoted.withQuote = true;
        quoted.quote = Quote{75125, 15, 123456, 789};
        const QString quotedTick = "NSE:SBIN-EQ|NSE|" + sbinAt.arg("751.25", "123456", "789", "15").arg(kFeedSecs * 1000);
        QTest::newRow("a Quote gives price, quantity, volume and OI")
            << QList<QByteArray>{message({quoted}, true)} << QStringList{quotedTick};
        QTest::newRow("the quoted price stays through depth-only updates")
            << QList<QByteArray>{message({quoted}, true), message({feed("NSE:SBIN-EQ", update)}, false)}
            << QStringList{quotedTick};

        Depth bidsOnly = book(75000, 2);
        bidsOnly.asks.clear();
        QTest::newRow("one side empty: no tick") << QList<QByteArray>{message({feed("NSE:SBIN-EQ", bidsOnly)}, true)}
                                                 << QStringList{};

        QTest::newRow("feed time in milliseconds")
            << QList<QByteArray>{message({feed("BSE:INFY-EQ", sbin, 1741152602123)}, true)}
            << QStringList{"BSE:INFY-EQ|BSE|" + sbinAt.arg("750.00", "0", "0", "0").arg(1741152602123)};
        QTest::newRow("no feed time: time of receipt")
            << QList<QByteArray>{message({feed("BSE:INFY-EQ", sbin, -1)}, true)}
            << QStringList{"BSE:INFY-EQ|BSE|" + sbinAt.arg("750.00", "0", "0", "0").arg(kReceived)};
    }
    void ticksFromMessages()
    {
        QFETCH(QList<QByteArray>, frames);
        QFETCH(QStringList, ticks);
        FyersDecoder d;
        DecodedFrame last;
        for (const QByteArray& f : frames)
            last = d.decode(f, kReceived);
        QStringList got;
        for (const TickData& t : last.ticks)
            got << render(t);
        QCOMPARE(got, ticks);
        QVERIFY2(last.events.isEmpty(), qPrintable(kinds(last)));
    }
    void publishedDiffMergesIntoTheBook()
    {
        // A diff as the service's own encoder writes it: best bid quantity and orders only, level 1
        // empty, level 2 price and quantity, total buy quantity; the totals' sell side absent.
        const QByteArray diff = QByteArray::fromHex(
            "0806127c0a114e53453a4e4946545932354d415246555412672a2c0a040880aa6f220d120308ee051a02080422020800220422020801"
            "220f0a0508a98289011202085a22020802320608dac29fbe063a0608dac29fbe06420f31303130303030303030333530303148ea0750"
            "005a114e53453a4e4946545932354d41524655541800");
        FyersDecoder d;
        Depth start = book(2245000, 5, 5);
        d.decode(message({feed("NSE:NIFTY25MARFUT", start)}, true), kReceived);
        const DecodedFrame f = d.decode(diff, kReceived);
        QCOMPARE(f.ticks.size(), 1);
        QCOMPARE(render(f.ticks[0]), QString("NSE:NIFTY25MARFUT|NSE||ltp 22450.00|o 0.00 h 0.00 l 0.00|vol 0|oi 0|ltq 0|%1")
                                         .arg(kFeedSecs * 1000));
        const FyersDecoder::Book* b = d.book("NSE:NIFTY25MARFUT");
        QVERIFY(b);
        QCOMPARE(b->totalBuyQty, quint64(1824000));
        QCOMPARE(b->totalSellQty, quint64(120000));  // absent: unchanged
        QCOMPARE(b->bids[0].price, qint64(2244995));  // price absent: unchanged
        QCOMPARE(b->bids[0].qty, 750u);
        QCOMPARE(b->bids[0].orders, 4u);
        QCOMPARE(b->bids[1].qty, 150u);  // empty level: unchanged
        QCOMPARE(b->bids[2].price, qint64(2244905));
        QCOMPARE(b->bids[2].qty, 90u);
        QCOMPARE(b->asks[0].price, qint64(2245005));
    }
    void controlAndDamagedFrames_data()
    {
        using UpstoxFrames::bytesField;
        using UpstoxFrames::varint;
        using UpstoxFrames::varintField;
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("events");  // DecoderEvent kinds in order
        QTest::addColumn<int>("ticks");
        QTest::addColumn<QString>("text");  // part of the first event's text

        const QString hb = QString::number(DecoderEvent::Heartbeat);
        const QString err = QString::number(DecoderEvent::ServerError);
        const QString bad = QString::number(DecoderEvent::Malformed);
        const QString skip = QString::number(DecoderEvent::Skipped);
        const Feed good = feed("NSE:SBIN-EQ", book(75000, 5));
        const Feed other = feed("NSE:TCS-EQ", book(350000, 5));

        QTest::newRow("published error") << QByteArray::fromHex("0808220d696e76616c696420746f6b656e2801") << err << 0
                                         << "invalid token";
        QTest::newRow("ping message") << QByteArray::fromHex("0800") << hb << 0 << "";
        QTest::newRow("empty frame") << QByteArray() << hb << 0 << "";
        QTest::newRow("text pong") << QByteArray("pong") << hb << 0 << "";

        const QByteArray both = message({good, other}, true);
        QTest::newRow("truncated: the feeds before the cut count") << both.left(both.size() - 20) << bad << 1
                                                                   << "runs past the end";

        // A level that claims more bytes than its depth holds, then a sound feed.
        Feed lying = good;
        lying.withDepth = false;
        const QByteArray lyingDepth = bytesField(5, QByteArray("\x22") + varint(40) + level(Level{74995, 75, 1, 0}));
        const QByteArray lyingFeed = bytesField(2, bytesField(1, "k") + bytesField(2, marketFeed(lying) + lyingDepth));
        QTest::newRow("lying nested length: that feed only is dropped")
            << QByteArray(varintField(1, 6) + lyingFeed + entry(other) + varintField(3, 1)) << bad << 1 << "depth level";

        Feed anonymous = good;
        anonymous.ticker.clear();
        QTest::newRow("feed without a ticker") << message({anonymous}, true) << skip << 0 << "without a ticker";

        Feed misplaced = good;
        misplaced.depth.bids[1].number = 7;
        QTest::newRow("level numbered unlike its position: placed, and said")
            << message({misplaced}, true) << skip << 1 << "numbered 7 at position 1";

        const QByteArray numericTicker = varintField(11, 5);
        QTest::newRow("ticker of the wrong wire type")
            << QByteArray(varintField(1, 6) + bytesField(2, bytesField(1, "k") + bytesField(2, numericTicker)))
            << bad << 0 << "not a string";
    }
    void controlAndDamagedFrames()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QString, events);
        QFETCH(int, ticks);
        QFETCH(QString, text);
        FyersDecoder d;
        const DecodedFrame f = d.decode(frame, kReceived);
        QCOMPARE(kinds(f), events);
        QCOMPARE(f.ticks.size(), ticks);
        QVERIFY2(f.events.first().text.contains(text), qPrintable(f.events.first().text));
    }
};

QTEST_GUILESS_MAIN(TestFyersDecoder)
#include "tst_fyersdecoder.moc"
