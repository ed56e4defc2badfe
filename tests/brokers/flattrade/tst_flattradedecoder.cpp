// FlatTrade frames into ticks: snapshots merged with partial updates, depth quantities, prices exactly
// as written, the placeholder price, feed time against receipt time, and the control answers.
#include "brokers/flattrade/FlatTradeDecoder.h"

#include <QtTest>

namespace {

constexpr qint64 kReceivedMs = 1788237999123;

// A tick as "exchange token ltp open high low volume oi ltq @time", numbers written shortest
// (so 88.0675 must be exactly that double), the time in epoch seconds or "r" for the receipt time.
QString tickText(const TickData& t)
{
    auto n = [](double v) { return QString::number(v, 'g', QLocale::FloatingPointShortest); };
    const qint64 ms = t.timestamp.toMSecsSinceEpoch();
    return QStringList{t.exchange, t.token, n(t.ltp), n(t.open), n(t.high), n(t.low), n(t.volume),
                       n(t.openInterest), QString::number(t.lastTradedQty),
                       ms == kReceivedMs ? QStringLiteral("@r") : QStringLiteral("@%1").arg(ms / 1000)}
        .join(' ');
}

}  // namespace

class TestFlatTradeDecoder : public QObject {
    Q_OBJECT

private slots:
    void sequences_data()
    {
        QTest::addColumn<QStringList>("frames");
        QTest::addColumn<QStringList>("ticks");  // per frame; empty: no tick

        QTest::newRow("touchline snapshot then updates")
            << QStringList{R"({"t":"tk","e":"NSE","tk":"2885","ts":"RELIANCE-EQ","pp":"2","ls":"1","ti":"0.10","lp":"1309.40","pc":"0.45","c":"1303.50","o":"1301.00","h":"1312.00","l":"1299.10","ap":"1306.77","v":"4210533","bp1":"1309.30","sp1":"1309.40","bq1":"120","sq1":"85","ft":"1788237300"})",
                           R"({"t":"tf","e":"NSE","tk":"2885","lp":"1309.55","pc":"0.46","ap":"1306.78","v":"4211020","ft":"1788237301"})",
                           R"({"t":"tf","e":"NSE","tk":"2885","bp1":"1309.45","bq1":"40","ft":"1788237302"})"}
            << QStringList{"NSE 2885 1309.4 1301 1312 1299.1 4210533 0 0 @1788237300",
                           "NSE 2885 1309.55 1301 1312 1299.1 4211020 0 0 @1788237301",
                           "NSE 2885 1309.55 1301 1312 1299.1 4211020 0 0 @1788237302"};

        QTest::newRow("depth snapshot then updates")
            << QStringList{R"({"t":"dk","e":"NSE","tk":"1594","ts":"INFY-EQ","pp":"2","ls":"1","ti":"0.10","c":"1461.75","lp":"1489.90","pc":"1.93","o":"1473.10","h":"1496.10","l":"1466.00","ap":"1485.71","uc":"1607.90","lc":"1315.60","ltq":"12","ltt":"10:04:59","v":"6724948","tbq":"308293","tsq":"177491","bp1":"1489.55","bq1":"1","bo1":"1","sp1":"1489.90","sq1":"25","so1":"1","ft":"1788237300"})",
                           R"({"t":"df","e":"NSE","tk":"1594","lp":"1490.00","ltq":"5","ltt":"10:05:01","v":"6724953","ft":"1788237301"})",
                           R"({"t":"df","e":"NSE","tk":"1594","lp":"1496.50","pc":"2.38","h":"1496.50","ltq":"20","ltt":"10:05:03","v":"6724973","ft":"1788237303"})",
                           R"({"t":"df","e":"NSE","tk":"1594","bp1":"1496.00","ft":"1788237304"})"}
            << QStringList{"NSE 1594 1489.9 1473.1 1496.1 1466 6724948 0 12 @1788237300",
                           "NSE 1594 1490 1473.1 1496.1 1466 6724953 0 5 @1788237301",
                           "NSE 1594 1496.5 1473.1 1496.5 1466 6724973 0 20 @1788237303",
                           "NSE 1594 1496.5 1473.1 1496.5 1466 6724973 0 20 @1788237304"};

        QTest::newRow("four-decimal currency below previous close")
            << QStringList{R"({"t":"tk","e":"CDS","tk":"1156","ts":"USDINR29SEP26F","pp":"4","ls":"1","ti":"0.0025","lp":"88.0750","pc":"-0.02","c":"88.0900","v":"512340","oi":"2214567","ft":"1788240600"})",
                           R"({"t":"tf","e":"CDS","tk":"1156","lp":"88.0675","pc":"-0.03","v":"512411","ft":"1788240601"})"}
            << QStringList{"CDS 1156 88.075 0 0 0 512340 2214567 0 @1788240600",
                           "CDS 1156 88.0675 0 0 0 512411 2214567 0 @1788240601"};

        QTest::newRow("placeholder price never shown")
            << QStringList{R"({"t":"tk","e":"NFO","tk":"43210","lp":"42949672.95","o":"42949672.95","v":"0"})",
                           R"({"t":"tf","e":"NFO","tk":"43210","lp":"250.05","ft":"1788237300"})",
                           R"({"t":"tf","e":"NFO","tk":"43210","lp":"42949672.95","h":"42949672.95","ft":"1788237301"})"}
            << QStringList{"", "NFO 43210 250.05 0 0 0 0 0 0 @1788237300", "NFO 43210 250.05 0 0 0 0 0 0 @1788237301"};

        // No feed time, or one in milliseconds: stamped with the receipt time.
        QTest::newRow("one token on two exchanges stays apart")
            << QStringList{R"({"t":"tk","e":"NSE","tk":"22","lp":"10.5","v":"100"})",
                           R"({"t":"tk","e":"BSE","tk":"22","lp":"900.25","v":"7"})",
                           R"({"t":"tf","e":"NSE","tk":"22","lp":"10.55","ft":"1788237300000"})"}
            << QStringList{"NSE 22 10.5 0 0 0 100 0 0 @r", "BSE 22 900.25 0 0 0 7 0 0 @r", "NSE 22 10.55 0 0 0 100 0 0 @r"};

        QTest::newRow("update before any price, zero and negative prices ignored")
            << QStringList{R"({"t":"tf","e":"NSE","tk":"5","bp1":"10.00"})", R"({"t":"tf","e":"NSE","tk":"5","lp":"0.00"})",
                           R"({"t":"tf","e":"NSE","tk":"5","lp":"-3","o":"-3","v":"12"})",
                           R"({"t":"tf","e":"NSE","tk":"5","lp":"12.25"})"}
            << QStringList{"", "", "", "NSE 5 12.25 0 0 0 12 0 0 @r"};

        // Whitespace, escapes, nested and bare values: read as the broker meant them.
        QTest::newRow("loose JSON")
            << QStringList{"{ \"t\" : \"tk\" ,\n \"e\":\"NSE\", \"tk\":\"11\", \"ts\":\"M\\u0026M-EQ\", \"ml\":[1,{}], \"lp\":\"3000.10\" }",
                           R"({"t":"tf","e":"NSE","tk":"11","lp":3000.2,"v":15,"ltq":"4294967296","ft":1788237300})"}
            << QStringList{"NSE 11 3000.1 0 0 0 0 0 0 @r", "NSE 11 3000.2 0 0 0 15 0 0 @1788237300"};
    }

    void sequences()
    {
        QFETCH(QStringList, frames);
        QFETCH(QStringList, ticks);
        FlatTradeDecoder decoder;
        QStringList got;
        for (const QString& frame : frames) {
            const DecodedFrame out = decoder.decode(frame.toUtf8(), kReceivedMs);
            QVERIFY2(!out.hasEvent(DecoderEvent::Malformed) && out.ticks.size() <= 1, qPrintable(frame));
            got << (out.ticks.isEmpty() ? QString() : tickText(out.ticks.first()));
            // Ticks are named by the broker, and stamped in local wall-clock time as every connector's.
            for (const TickData& t : out.ticks)
                QVERIFY(t.symbol.isEmpty() && t.timestamp.offsetFromUtc() == t.timestamp.toLocalTime().offsetFromUtc());
        }
        QCOMPARE(got, ticks);
    }

    void controlFrames_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");

        const int session = FlatTradeDecoder::SessionAnswer;
        QTest::newRow("session ok") << QByteArray(R"({"t":"ak","uid":"FT1","s":"OK"})") << int(DecoderEvent::Acknowledged) << session << "";
        QTest::newRow("session refused with reason")
            << QByteArray(R"({"t":"ak","s":"Not_Ok","emsg":"invalid user id or session id"})") << int(DecoderEvent::ServerError)
            << session << "invalid user id or session id";
        QTest::newRow("heartbeat answer") << QByteArray(R"({"t":"hk","hk":"1788237300"})") << int(DecoderEvent::Heartbeat) << 0 << "";
        QTest::newRow("depth unsubscribed") << QByteArray(R"({"t":"udk","k":"NSE|22"})") << int(DecoderEvent::Acknowledged)
                                            << int(FlatTradeDecoder::UnsubscribeAnswer) << "";
        QTest::newRow("order update") << QByteArray(R"({"t":"om","norenordno":"1"})") << int(DecoderEvent::UnknownPacket) << 0 << "om";
        QTest::newRow("quote without token") << QByteArray(R"({"t":"tf","e":"NSE","lp":"1"})") << int(DecoderEvent::Skipped)
                                             << int(FlatTradeDecoder::NoInstrumentKey) << "quote without a usable exchange and token";
        for (const char* bad : {"", "{\"t\":\"tk\"", "[1,2]", "{\"t\":\"tk\"} x", "{\"t\":tk}"})
            QTest::newRow(bad) << QByteArray(bad) << int(DecoderEvent::Malformed) << 0 << QString();
    }

    void controlFrames()
    {
        QFETCH(QByteArray, frame);
        QFETCH(int, kind);
        QFETCH(int, code);
        QFETCH(QString, text);
        FlatTradeDecoder decoder;
        const DecodedFrame out = decoder.decode(frame, kReceivedMs);
        QVERIFY(out.ticks.isEmpty());
        QCOMPARE(out.events.size(), 1);
        QCOMPARE(int(out.events[0].kind), kind);
        QCOMPARE(out.events[0].code, code);
        if (kind != DecoderEvent::Malformed)
            QCOMPARE(out.events[0].text, text);
    }

    void resetAndInstrumentCap();
};

void TestFlatTradeDecoder::resetAndInstrumentCap()
{
    FlatTradeDecoder decoder;
    for (int i = 0; i < FlatTradeDecoder::kMaxInstruments; ++i)
        decoder.decode(QByteArray(R"({"t":"tf","e":"NSE","tk":")") + QByteArray::number(i) + R"("})", kReceivedMs);
    const DecodedFrame out = decoder.decode(R"({"t":"tk","e":"BSE","tk":"1","lp":"5"})", kReceivedMs);
    QVERIFY(out.ticks.isEmpty());
    QCOMPARE(out.events.value(0).code, int(FlatTradeDecoder::TooManyInstruments));
    // After a reset (a new connection) nothing is left to merge an update into.
    decoder.reset();
    QVERIFY(decoder.decode(R"({"t":"tf","e":"NSE","tk":"7","v":"9"})", kReceivedMs).ticks.isEmpty());
}

QTEST_GUILESS_MAIN(TestFlatTradeDecoder)
#include "tst_flattradedecoder.moc"
