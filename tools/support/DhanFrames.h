// Builds Dhan feed packets from their documented layout for decoder and broker tests.
#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace DhanFrames {

struct Fields {
    quint8 responseCode = 8;
    qint16 msgLen = 162;
    quint8 exchangeSegment = 1;
    quint32 securityId = 0;
    float ltp = 0, atp = 0, open = 0, close = 0, high = 0, low = 0;
    quint16 ltq = 0;
    qint32 ltt = 0;
    quint32 volume = 0, openInterest = 0;
};

// A packet of `size` bytes (at least 62; the bytes past the layout are filler).
QByteArray packet(const Fields& f, int size = 62);

// A plausible full packet for one instrument: open, high and low around `ltp`, 5 traded of 1000.
QByteArray quote(quint32 securityId, float ltp, qint32 ltt, quint8 segment = 1, int size = 162);

// The 10-byte packet with which the server ends the session, carrying its reason code.
QByteArray disconnect(quint8 segment, quint32 securityId, quint16 reason);

}  // namespace DhanFrames
