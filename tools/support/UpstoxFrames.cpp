// Upstox feed frame builder for tests and benchmarks.
#include "support/UpstoxFrames.h"

#include <cstring>

namespace UpstoxFrames {

QByteArray varint(quint64 value)
{
    QByteArray out;
    do {
        char b = char(value & 0x7f);
        value >>= 7;
        if (value)
            b = char(b | 0x80);
        out.append(b);
    } while (value);
    return out;
}

QByteArray tag(quint32 field, int wireType)
{
    return varint((quint64(field) << 3) | quint64(wireType));
}

QByteArray varintField(quint32 field, quint64 value)
{
    return tag(field, 0) + varint(value);
}

QByteArray doubleField(quint32 field, double value)
{
    quint64 bits;
    std::memcpy(&bits, &value, sizeof bits);
    QByteArray out = tag(field, 1);
    for (int i = 0; i < 8; ++i)
        out.append(char((bits >> (8 * i)) & 0xff));
    return out;
}

QByteArray bytesField(quint32 field, const QByteArray& contents)
{
    return tag(field, 2) + varint(quint64(contents.size())) + contents;
}

QByteArray ltpc(const Trade& t)
{
    QByteArray m = doubleField(1, t.ltp);
    if (t.ltt)
        m += varintField(2, quint64(t.ltt));
    if (t.ltq)
        m += varintField(3, quint64(t.ltq));
    if (t.cp)
        m += doubleField(4, t.cp);
    return m;
}

QByteArray ltpcFeed(const Trade& t)
{
    return bytesField(1, ltpc(t));
}

QByteArray fullFeed(const Trade& t, double oi, int fullFeedField)
{
    // Market level with one quote, greeks, day OHLC, ATP, VTT, OI, TBQ, TSQ: as the service fills them.
    const QByteArray quote = varintField(1, 10) + doubleField(2, t.ltp - 0.05) + varintField(3, 20)
        + doubleField(4, t.ltp + 0.05);
    QByteArray market = bytesField(1, ltpc(t)) + bytesField(2, bytesField(1, quote))
        + bytesField(3, doubleField(1, 0.5) + doubleField(2, 0.01)) + bytesField(4, bytesField(1, doubleField(2, 1.0)))
        + doubleField(5, t.ltp) + varintField(6, 123456);
    if (oi)
        market += doubleField(7, oi);
    market += doubleField(9, 1000.0) + doubleField(10, 2000.0);
    return bytesField(2, bytesField(quint32(fullFeedField), market));
}

QByteArray entry(const QString& key, const QByteArray& feed)
{
    return bytesField(2, bytesField(1, key.toUtf8()) + bytesField(2, feed));
}

}  // namespace UpstoxFrames
