// Protocol-buffers wire reader: values as encoded, and malformed input ending the read cleanly.
#include "brokers/ProtobufReader.h"
#include "support/UpstoxFrames.h"

#include <QtTest>

using namespace UpstoxFrames;

class TestProtobufReader : public QObject {
    Q_OBJECT
private slots:
    void varints_data()
    {
        QTest::addColumn<quint64>("value");
        QTest::newRow("zero") << quint64(0);
        QTest::newRow("one byte max") << quint64(127);
        QTest::newRow("two bytes") << quint64(300);
        QTest::newRow("ms timestamp") << quint64(1710474300123ULL);
        QTest::newRow("32-bit boundary") << quint64(0x100000000ULL);
        QTest::newRow("negative int64 (ten bytes)") << quint64(-5LL);
        QTest::newRow("max") << quint64(~0ULL);
    }

    void varints()
    {
        QFETCH(quint64, value);
        // Field 20 needs a two-byte tag.
        const QByteArray data = varintField(20, value) + doubleField(1, 2.5);
        ProtobufReader r(data.constData(), std::size_t(data.size()));
        ProtobufReader::Field f;
        QVERIFY(r.next(f));
        QCOMPARE(f.number, 20u);
        QCOMPARE(f.wireType, int(ProtobufReader::Varint));
        QCOMPARE(quint64(f.value), value);
        QVERIFY(r.next(f));
        QCOMPARE(f.number, 1u);
        QCOMPARE(ProtobufReader::asDouble(f.value), 2.5);
        QVERIFY(!r.next(f));
        QVERIFY(!r.failed());
    }

    void malformedEndsTheMessage_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("goodFields");
        const QByteArray good = varintField(1, 7);
        QTest::newRow("varint cut off") << good + tag(2, 0) + QByteArray("\x80\x80", 2) << 1;
        QTest::newRow("eleven-byte varint") << good + tag(2, 0) + QByteArray(10, '\x80') + QByteArray(1, '\x01') << 1;
        QTest::newRow("tenth byte beyond 64 bits") << good + tag(2, 0) + QByteArray(9, '\xff') + QByteArray(1, '\x02') << 1;
        QTest::newRow("double cut off") << good + tag(3, 1) + QByteArray(7, 'x') << 1;
        QTest::newRow("fixed32 cut off") << good + tag(3, 5) + QByteArray(3, 'x') << 1;
        QTest::newRow("group start") << good + tag(4, 3) + good << 1;
        QTest::newRow("wire type 6") << good + tag(4, 6) + good << 1;
        QTest::newRow("field number zero") << good + QByteArray(1, '\x00') + good << 1;
        QTest::newRow("length varint cut off") << good + tag(5, 2) + QByteArray(1, '\x81') << 1;
        QTest::newRow("tag cut off") << good + QByteArray(1, '\x80') << 1;
    }

    void malformedEndsTheMessage()
    {
        QFETCH(QByteArray, data);
        ProtobufReader r(data.constData(), std::size_t(data.size()));
        ProtobufReader::Field f;
        int read = 0;
        while (r.next(f))
            ++read;
        QTEST(read, "goodFields");
        QVERIFY(r.failed());
        QVERIFY(r.atEnd());
        QVERIFY(!r.next(f));
    }

    void truncatedLengthKeepsWhatIsThere()
    {
        const QByteArray data = tag(2, 2) + varint(1000) + QByteArray("abc");
        ProtobufReader r(data.constData(), std::size_t(data.size()));
        ProtobufReader::Field f;
        QVERIFY(r.next(f));
        QVERIFY(f.truncated);
        QCOMPARE(f.length, std::size_t(3));
        QCOMPARE(QByteArray(r.bytes(f), int(f.length)), QByteArray("abc"));
        QVERIFY(r.atEnd());
        // A length near 2^64 must not wrap the position around.
        const QByteArray huge = tag(2, 2) + varint(~0ULL) + QByteArray("abc");
        ProtobufReader h(huge.constData(), std::size_t(huge.size()));
        QVERIFY(h.next(f));
        QVERIFY(f.truncated);
        QCOMPARE(f.length, std::size_t(3));
    }

    void nestedMessagesStayInsideTheirBounds()
    {
        // The inner message declares a double whose bytes lie in the outer message's next field:
        // the inner read must stop at its own end and the outer field must still be read.
        const QByteArray inner = varintField(1, 5) + tag(2, 1) + QByteArray(3, 'z');
        const QByteArray data = bytesField(1, inner) + varintField(3, 42);
        ProtobufReader outer(data.constData(), std::size_t(data.size()));
        ProtobufReader::Field f;
        QVERIFY(outer.next(f));
        ProtobufReader in = outer.message(f);
        ProtobufReader::Field g;
        QVERIFY(in.next(g));
        QCOMPARE(quint64(g.value), quint64(5));
        QVERIFY(!in.next(g));
        QVERIFY(in.failed());
        QVERIFY(outer.next(f));
        QCOMPARE(f.number, 3u);
        QCOMPARE(quint64(f.value), quint64(42));
    }

    void wrappedValues_data()
    {
        QTest::addColumn<QByteArray>("field");  // one field of the outer message
        QTest::addColumn<bool>("readable");
        QTest::addColumn<quint64>("value");
        QTest::addColumn<bool>("oneStep");  // nextWrapper() reads it too
        QTest::newRow("value") << bytesField(6, varintField(1, 1741152602)) << true << quint64(1741152602) << true;
        QTest::newRow("empty wrapper: present, 0") << bytesField(6, QByteArray()) << true << quint64(0) << false;
        QTest::newRow("negative Int64") << bytesField(1, varintField(1, quint64(-5LL))) << true << quint64(-5LL) << true;
        QTest::newRow("later value wins, others skipped")
            << bytesField(6, varintField(1, 7) + doubleField(2, 1.5) + varintField(1, 9)) << true << quint64(9) << false;
        QTest::newRow("field past 15") << bytesField(16, varintField(1, 4)) << true << quint64(4) << false;
        QTest::newRow("value of another wire type") << bytesField(6, doubleField(1, 2.0)) << false << quint64(0) << false;
        QTest::newRow("cut inside") << bytesField(6, QByteArray("\x08", 1)) << false << quint64(0) << false;
        QTest::newRow("value runs past the wrapper") << bytesField(6, QByteArray("\x08\x80", 2)) << false << quint64(0) << false;
        QTest::newRow("not a message") << varintField(6, 3) << false << quint64(0) << false;
        QTest::newRow("longer than the message") << QByteArray("\x32\x05\x08\x01", 4) << false << quint64(0) << false;
    }

    void wrappedValues()
    {
        QFETCH(QByteArray, field);
        QFETCH(bool, readable);
        QFETCH(quint64, value);
        QFETCH(bool, oneStep);
        ProtobufReader r(field.constData(), std::size_t(field.size()));
        ProtobufReader::Field f;
        QVERIFY(r.next(f));
        std::uint64_t got = 12345;
        QCOMPARE(r.wrappedVarint(f, got), readable);
        QCOMPARE(quint64(got), readable ? value : quint64(12345));

        // The one-step read agrees, or leaves the field to next(); never for a field not asked for.
        ProtobufReader s(field.constData(), std::size_t(field.size()));
        std::uint32_t number = 0;
        std::uint64_t v = 12345;
        QVERIFY(!s.nextWrapper(~(1u << f.number), number, v));
        QCOMPARE(s.nextWrapper(0xfffe, number, v), oneStep);
        QCOMPARE(s.position(), oneStep ? std::size_t(field.size()) : std::size_t(0));
        if (oneStep) {
            QCOMPARE(number, f.number);
            QCOMPARE(quint64(v), value);
        }
    }
};

QTEST_GUILESS_MAIN(TestProtobufReader)
#include "tst_protobufreader.moc"
