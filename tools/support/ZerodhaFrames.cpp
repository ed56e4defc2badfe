#include "support/ZerodhaFrames.h"

namespace ZerodhaFrames {

QByteArray packet(std::initializer_list<quint32> fields, int size)
{
    QByteArray out;
    for (quint32 v : fields) {
        for (int shift = 24; shift >= 0; shift -= 8)
            out.append(char((v >> shift) & 0xff));
    }
    return out.leftJustified(size, '\0', true);
}

QByteArray message(const QList<QByteArray>& packets)
{
    QByteArray out;
    const auto put16 = [&out](int v) {
        out.append(char((v >> 8) & 0xff));
        out.append(char(v & 0xff));
    };
    put16(packets.size());
    for (const QByteArray& p : packets) {
        put16(p.size());
        out += p;
    }
    return out;
}

}  // namespace ZerodhaFrames
