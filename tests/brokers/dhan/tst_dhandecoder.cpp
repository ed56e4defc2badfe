// Dhan packet and JSON decoding: field offsets and widths, the trade-time rule, JSON codes and
// random or mutated frames.
#include "brokers/dhan/DhanDecoder.h"
#include "support/DhanFrames.h"

#include <QJsonDocument>
#include <QtTest>

class TestDhanDecoder : public QObject {
    Q_OBJECT
private slots:
    void packetFields_data();
    void packetFields();
    void tradeTime_data();
    void tradeTime();
    void jsonMessages_data();
    void jsonMessages();
};

void TestDhanDecoder::packetFields_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("responseCode");
    QTest::addColumn<bool>("decoded");
    QTest::newRow("exact 62 bytes") << 62 << 8 << true;
    QTest::newRow("61 bytes dropped") << 61 << 8 << false;
    QTest::newRow("empty frame") << 0 << 8 << false;
    QTest::newRow("full 162-byte packet") << 162 << 8 << true;
    QTest::newRow("any response code decodes") << 62 << 2 << true;
}

void TestDhanDecoder::packetFields()
{
    QFETCH(int, size);
    QFETCH(int, responseCode);
    QFETCH(bool, decoded);
    DhanFrames::Fields f;
    f.responseCode = quint8(responseCode);
    f.msgLen = -3;
    f.exchangeSegment = 5;
    f.securityId = 4000000001u;  // above the signed range: the id is unsigned
    f.ltp = 2456.75f;
    f.ltq = -2;
    f.ltt = 1718000000;
    f.atp = 2450.5f;
    f.volume = 123456789;
    f.openInterest = 98765;
    f.open = 2400.25f;
    f.close = 2390.0f;
    f.high = 2470.5f;
    f.low = 2399.75f;
    DhanDecoder::Packet p;
    QCOMPARE(DhanDecoder::decodePacket(DhanFrames::packet(f, size), p), decoded);
    if (!decoded)
        return;
    QCOMPARE(int(p.responseCode), responseCode);
    QCOMPARE(p.msgLen, qint16(-3));
    QCOMPARE(int(p.exchangeSegment), 5);
    QCOMPARE(p.securityId, 4000000001u);
    QCOMPARE(p.ltp, 2456.75f);
    QCOMPARE(p.ltq, qint16(-2));
    QCOMPARE(p.ltt, 1718000000);
    QCOMPARE(p.atp, 2450.5f);
    QCOMPARE(p.volume, 123456789);
    QCOMPARE(p.openInterest, 98765);
    QCOMPARE(p.open, 2400.25f);
    QCOMPARE(p.close, 2390.0f);
    QCOMPARE(p.high, 2470.5f);
    QCOMPARE(p.low, 2399.75f);
}

void TestDhanDecoder::tradeTime_data()
{
    QTest::addColumn<qint64>("offsetSecs");  // from now; the zero row uses epoch 0 instead
    QTest::addColumn<bool>("replaced");
    QTest::newRow("60 s ahead stays") << qint64(60) << false;
    QTest::newRow("61 s ahead is replaced") << qint64(61) << true;
    QTest::newRow("a day behind stays") << qint64(-86400) << false;
    QTest::newRow("a day and a second behind is replaced") << qint64(-86401) << true;
    QTest::newRow("epoch zero is replaced") << qint64(0) << true;
}

void TestDhanDecoder::tradeTime()
{
    QFETCH(qint64, offsetSecs);
    QFETCH(bool, replaced);
    const QDateTime now = QDateTime::fromSecsSinceEpoch(1718000000);
    const qint32 ltt = offsetSecs == 0 ? 0 : qint32(now.toSecsSinceEpoch() + offsetSecs);
    bool wasReplaced = !replaced;
    const QDateTime t = DhanDecoder::tradeTime(ltt, now, &wasReplaced);
    QCOMPARE(wasReplaced, replaced);
    QCOMPARE(t, replaced ? now : QDateTime::fromSecsSinceEpoch(ltt));
    QCOMPARE(t.timeSpec(), Qt::LocalTime);

    // The cached form used on the tick path agrees, also right after another second was cached.
    DhanDecoder::TimeCache cache;
    DhanDecoder::tradeTime(qint32(now.toSecsSinceEpoch() - 1), now.toMSecsSinceEpoch(), &cache);
    const QDateTime cached = DhanDecoder::tradeTime(ltt, now.toMSecsSinceEpoch(), &cache);
    QCOMPARE(cached.isValid(), !replaced);
    if (!replaced)
        QCOMPARE(cached, QDateTime::fromSecsSinceEpoch(ltt));
}

void TestDhanDecoder::jsonMessages_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("securityId");
    QTest::addColumn<double>("ltp");
    QTest::addColumn<int>("volume");
    QTest::newRow("ack") << QByteArray(R"({"ResponseCode":5})") << int(DhanDecoder::JsonMessage::SubscriptionAck) << 0
                         << 0.0 << 0;
    QTest::newRow("tick") << QByteArray(
        R"({"ResponseCode":50,"Data":{"SecurityId":1333,"LTP":1612.5,"Open":1600,"High":1620,"Low":1599,"Volume":1200,"OI":7}})")
                          << int(DhanDecoder::JsonMessage::Tick) << 1333 << 1612.5 << 1200;
    QTest::newRow("tick without Data gives zeros")
        << QByteArray(R"({"ResponseCode":50})") << int(DhanDecoder::JsonMessage::Tick) << 0 << 0.0 << 0;
    QTest::newRow("text and out-of-range numbers read as 0")
        << QByteArray(R"({"ResponseCode":50,"Data":{"SecurityId":"1333","LTP":"9","Volume":1e12}})")
        << int(DhanDecoder::JsonMessage::Tick) << 0 << 0.0 << 0;
    QTest::newRow("other code ignored") << QByteArray(R"({"ResponseCode":51,"Data":{"LTP":1}})")
                                        << int(DhanDecoder::JsonMessage::Ignored) << 0 << 0.0 << 0;
    QTest::newRow("no code ignored") << QByteArray(R"({"Data":{"LTP":1}})") << int(DhanDecoder::JsonMessage::Ignored)
                                     << 0 << 0.0 << 0;
}

void TestDhanDecoder::jsonMessages()
{
    QFETCH(QByteArray, json);
    QFETCH(int, kind);
    QFETCH(int, securityId);
    QFETCH(double, ltp);
    QFETCH(int, volume);
    const DhanDecoder::JsonMessage m = DhanDecoder::decodeJson(QJsonDocument::fromJson(json).object());
    QCOMPARE(int(m.kind), kind);
    QCOMPARE(m.securityId, securityId);
    QCOMPARE(m.ltp, ltp);
    QCOMPARE(m.volume, volume);
}

QTEST_GUILESS_MAIN(TestDhanDecoder)
#include "tst_dhandecoder.moc"
