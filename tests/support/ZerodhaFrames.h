// Builds Zerodha stream messages from the broker's published packet layouts (big-endian u32
// fields) for decoder, broker and window tests.
#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

namespace ZerodhaFrames {

// Raw wire values: prices still multiplied by the segment's divisor, times in epoch seconds.
struct Quote {
    quint32 token = 0, last = 0, lastQty = 0, averagePrice = 0, volume = 0, buyQty = 0, sellQty = 0;
    quint32 open = 0, high = 0, low = 0, close = 0;
    // Full mode only.
    quint32 lastTradeTime = 0, oi = 0, oiDayHigh = 0, oiDayLow = 0, exchangeTime = 0;
};
struct Index {
    quint32 token = 0, last = 0, high = 0, low = 0, open = 0, close = 0, change = 0;
    quint32 exchangeTime = 0;  // full mode only
};

QByteArray ltp(quint32 token, quint32 last);  // 8 bytes
QByteArray quote(const Quote& q);             // 44 bytes
QByteArray full(const Quote& q);              // 184 bytes, empty depth
QByteArray indexQuote(const Index& i);        // 28 bytes
QByteArray indexFull(const Index& i);         // 32 bytes

// A message: the packet count, then each packet behind its length.
QByteArray message(const QList<QByteArray>& packets);

}  // namespace ZerodhaFrames
