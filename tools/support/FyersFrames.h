// Builds Fyers depth-stream messages (protocol buffers) from the schema, for the decoder, broker
// and window tests. A field set to -1 is left out, so "absent" and "0" can both be written.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

namespace FyersFrames {

// A wrapper message (one varint in field 1) as field `field`; an empty wrapper for 0 when `empty`.
QByteArray wrapped(quint32 field, quint64 value, bool empty = false);

struct Level {
    qint64 price = -1;  // paise
    qint64 qty = -1;
    qint64 orders = -1;
    qint64 number = -1;
};
struct Depth {
    qint64 totalBuy = -1;
    qint64 totalSell = -1;
    QVector<Level> bids;
    QVector<Level> asks;
};
struct Quote {
    qint64 ltp = -1;  // paise
    qint64 ltq = -1;
    qint64 volume = -1;
    qint64 oi = -1;
};
struct Feed {
    QString ticker;  // empty: left out
    QString key = QStringLiteral("101000000035001");
    bool withDepth = true;
    Depth depth;
    bool withQuote = false;
    Quote quote;
    qint64 feedTime = -1;
    quint64 sequence = 1;
};

QByteArray level(const Level& l);
QByteArray depth(const Depth& d);
QByteArray quote(const Quote& q);
QByteArray marketFeed(const Feed& f);
// A feeds map entry (message field 2) holding `marketFeed` under the feed's key.
QByteArray entry(const Feed& f);
// A depth message (type 6) with the feeds in order and the snapshot flag after them, as the
// service's encoder writes it.
QByteArray message(const QVector<Feed>& feeds, bool snapshot);
QByteArray errorMessage(const QString& text);

// `count` best-first levels a side around `mid` paise, `step` paise apart.
Depth book(qint64 mid, int count, qint64 step = 5);

}  // namespace FyersFrames
