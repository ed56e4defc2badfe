// Fyers depth-stream messages built from the schema.
#include "support/FyersFrames.h"

#include "support/UpstoxFrames.h"

using UpstoxFrames::bytesField;
using UpstoxFrames::varintField;

namespace FyersFrames {

QByteArray wrapped(quint32 field, quint64 value, bool empty)
{
    return bytesField(field, empty ? QByteArray() : varintField(1, value));
}

namespace {

QByteArray optional(quint32 field, qint64 value)
{
    return value < 0 ? QByteArray() : wrapped(field, quint64(value));
}

}  // namespace

QByteArray level(const Level& l)
{
    return optional(1, l.price) + optional(2, l.qty) + optional(3, l.orders) + optional(4, l.number);
}

QByteArray depth(const Depth& d)
{
    QByteArray out = optional(1, d.totalBuy) + optional(2, d.totalSell);
    for (const Level& l : d.asks)
        out += bytesField(3, level(l));
    for (const Level& l : d.bids)
        out += bytesField(4, level(l));
    return out;
}

QByteArray quote(const Quote& q)
{
    return optional(1, q.ltp) + optional(3, q.ltq) + optional(4, q.volume) + optional(6, q.oi);
}

QByteArray marketFeed(const Feed& f)
{
    QByteArray out;
    if (f.withQuote)
        out += bytesField(1, quote(f.quote));
    if (f.withDepth)
        out += bytesField(5, depth(f.depth));
    out += optional(6, f.feedTime) + optional(7, f.feedTime);
    out += bytesField(8, f.key.toUtf8()) + varintField(9, f.sequence);
    if (!f.ticker.isEmpty())
        out += bytesField(11, f.ticker.toUtf8());
    return out;
}

QByteArray entry(const Feed& f)
{
    return bytesField(2, bytesField(1, f.key.toUtf8()) + bytesField(2, marketFeed(f)));
}

QByteArray message(const QVector<Feed>& feeds, bool snapshot)
{
    QByteArray out = varintField(1, 6);
    for (const Feed& f : feeds)
        out += entry(f);
    return out + varintField(3, snapshot ? 1 : 0);
}

QByteArray errorMessage(const QString& text)
{
    return varintField(1, 8) + bytesField(4, text.toUtf8()) + varintField(5, 1);
}

Depth book(qint64 mid, int count, qint64 step)
{
    Depth d;
    d.totalBuy = 100000;
    d.totalSell = 120000;
    for (int i = 0; i < count; ++i) {
        d.bids.append(Level{mid - step * (i + 1), 75 * (i + 1), i + 1, i});
        d.asks.append(Level{mid + step * (i + 1), 50 * (i + 1), i + 2, i});
    }
    return d;
}

}  // namespace FyersFrames
