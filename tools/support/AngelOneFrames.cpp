// AngelOne smart-stream record builder for tests.
#include "support/AngelOneFrames.h"

namespace AngelOneFrames {

namespace {

void put64(QByteArray& b, int offset, qint64 value)
{
    const quint64 u = quint64(value);
    for (int i = 0; i < 8; ++i)
        b[offset + i] = char((u >> (8 * i)) & 0xff);
}

}  // namespace

QByteArray record(const Record& r)
{
    QByteArray b(kSize, char(r.fill));
    b[0] = char(3);
    b[1] = char(r.exchangeType);
    for (int i = 0; i < 25; ++i)
        b[2 + i] = i < r.token.size() ? r.token.at(i) : '\0';
    put64(b, 35, r.epochMs);
    put64(b, 43, r.ltp);
    put64(b, 51, r.quantity);
    put64(b, 67, r.dayVolume);
    put64(b, 91, r.open);
    put64(b, 99, r.high);
    put64(b, 107, r.low);
    put64(b, 131, r.openInterest);
    return b;
}

}  // namespace AngelOneFrames
