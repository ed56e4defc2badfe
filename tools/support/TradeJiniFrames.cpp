// Builds TradeJini stream frames for tests.
#include "support/TradeJiniFrames.h"

#include "support/ZlibTestUtil.h"

namespace TradeJiniFrames {

namespace {
void putU32(QByteArray& out, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        out.append(char((v >> (8 * i)) & 0xff));
}
}  // namespace

QByteArray u8Tag(quint8 tag, quint8 value)
{
    QByteArray out;
    out.append(char(tag));
    out.append(char(value));
    return out;
}

QByteArray u32Tag(quint8 tag, quint32 value)
{
    QByteArray out;
    out.append(char(tag));
    putU32(out, value);
    return out;
}

QByteArray i32Tag(quint8 tag, qint32 value)
{
    return u32Tag(tag, quint32(value));
}

QByteArray skipTag(quint8 tag, int width)
{
    QByteArray out;
    out.append(char(tag));
    out.append(QByteArray(width, '\x7f'));
    return out;
}

QByteArray packet(quint8 type, const QByteArray& body)
{
    const int len = 3 + body.size();
    QByteArray out;
    out.append(char(len & 0xff));
    out.append(char((len >> 8) & 0xff));
    out.append(char(type));
    return out + body;
}

QByteArray l1(quint8 segment, quint32 token, qint32 rawLtp, quint32 volume, quint32 oi, qint32 epoch)
{
    QByteArray body = u8Tag(26, segment) + u32Tag(27, token) + i32Tag(29, rawLtp);
    if (volume)
        body += u32Tag(39, volume);
    if (oi)
        body += u32Tag(44, oi);
    if (epoch)
        body += i32Tag(46, epoch);
    return packet(10, body);
}

QByteArray frame(const QByteArray& payload, bool compressed, quint8 version, qint64 hint)
{
    QByteArray out;
    putU32(out, quint32(hint < 0 ? payload.size() : hint));
    out.append(char(version));
    out.append(compressed ? 'd' : char(0));
    out += compressed ? ZlibTestUtil::zlibCompress(payload) : payload;
    return out;
}

}  // namespace TradeJiniFrames
