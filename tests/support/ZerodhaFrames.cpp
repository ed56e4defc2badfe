#include "support/ZerodhaFrames.h"

namespace ZerodhaFrames {

namespace {

void put32(QByteArray& out, quint32 v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.append(char((v >> shift) & 0xff));
}

void put16(QByteArray& out, quint16 v)
{
    out.append(char(v >> 8));
    out.append(char(v & 0xff));
}

QByteArray words(std::initializer_list<quint32> values)
{
    QByteArray out;
    for (quint32 v : values)
        put32(out, v);
    return out;
}

}  // namespace

QByteArray ltp(quint32 token, quint32 last)
{
    return words({token, last});
}

QByteArray quote(const Quote& q)
{
    return words({q.token, q.last, q.lastQty, q.averagePrice, q.volume, q.buyQty, q.sellQty, q.open, q.high, q.low,
                  q.close});
}

QByteArray full(const Quote& q)
{
    QByteArray out = quote(q) + words({q.lastTradeTime, q.oi, q.oiDayHigh, q.oiDayLow, q.exchangeTime});
    out.append(QByteArray(184 - out.size(), '\0'));
    return out;
}

QByteArray indexQuote(const Index& i)
{
    return words({i.token, i.last, i.high, i.low, i.open, i.close, i.change});
}

QByteArray indexFull(const Index& i)
{
    return indexQuote(i) + words({i.exchangeTime});
}

QByteArray message(const QList<QByteArray>& packets)
{
    QByteArray out;
    put16(out, quint16(packets.size()));
    for (const QByteArray& p : packets) {
        put16(out, quint16(p.size()));
        out += p;
    }
    return out;
}

}  // namespace ZerodhaFrames
