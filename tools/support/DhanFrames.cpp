// Dhan feed packet builder for tests.
#include "support/DhanFrames.h"

#include <cstring>

namespace {

void put(QByteArray& out, int offset, const void* value, int width)
{
    // Little-endian on the wire; write byte by byte so the host's order does not matter.
    quint64 bits = 0;
    std::memcpy(&bits, value, size_t(width));
    for (int i = 0; i < width; ++i)
        out[offset + i] = char((bits >> (8 * i)) & 0xff);
}

}  // namespace

namespace DhanFrames {

QByteArray packet(const Fields& f, int size)
{
    QByteArray out(qMax(size, 0), char(0x5a));
    if (size < 62) {
        // Short frames for the length checks: the start of a real packet.
        QByteArray full = packet(f, 62);
        return full.left(size);
    }
    put(out, 0, &f.responseCode, 1);
    put(out, 1, &f.msgLen, 2);
    put(out, 3, &f.exchangeSegment, 1);
    put(out, 4, &f.securityId, 4);
    put(out, 8, &f.ltp, 4);
    put(out, 12, &f.ltq, 2);
    put(out, 14, &f.ltt, 4);
    put(out, 18, &f.atp, 4);
    put(out, 22, &f.volume, 4);
    put(out, 34, &f.openInterest, 4);
    put(out, 46, &f.open, 4);
    put(out, 50, &f.close, 4);
    put(out, 54, &f.high, 4);
    put(out, 58, &f.low, 4);
    return out;
}

QByteArray disconnect(quint8 segment, quint32 securityId, quint16 reason)
{
    QByteArray out(10, '\0');
    const quint8 code = 50;
    const qint16 length = 10;
    put(out, 0, &code, 1);
    put(out, 1, &length, 2);
    put(out, 3, &segment, 1);
    put(out, 4, &securityId, 4);
    put(out, 8, &reason, 2);
    return out;
}

QByteArray quote(quint32 securityId, float ltp, qint32 ltt, quint8 segment, int size)
{
    Fields f;
    f.exchangeSegment = segment;
    f.securityId = securityId;
    f.ltp = ltp;
    f.open = ltp - 1;
    f.high = ltp + 2;
    f.low = ltp - 3;
    f.ltq = 5;
    f.volume = 1000;
    f.ltt = ltt;
    return packet(f, size);
}

}  // namespace DhanFrames
