// Turns Zerodha's binary stream messages into ticks. Pure: bytes in, ticks and events out; no
// sockets, no lookups, no clock of its own.
//
// Message, big-endian throughout:
//   0  u16  number of packets N
//   then N times: u16 packet length L, then L bytes of packet
// A message of two bytes or less is the server's heartbeat.
//
// The packet length alone selects the layout. Every field is 32 bits wide; prices are signed (a
// commodity contract can trade below zero), quantities, volume, open interest and times unsigned:
//   offset  LTP (8)   index quote (28) / full (32)   quote (44) / full (184)
//    0      token     token                          token
//    4      last, i32 last, i32                      last, i32
//    8                high, i32                      last traded quantity
//   12                low, i32                       average price, i32 (not read)
//   16                open, i32                      volume traded today
//   20                close (not read)               total buy quantity (not read)
//   24                net change (not read)          total sell quantity (not read)
//   28                (full) exchange time, epoch s  open, i32
//   32                                               high, i32
//   36                                               low, i32
//   40                                               close, i32 (not read)
//   44                                               (full) last trade time, epoch s
//   48                                               (full) open interest
//   52..59                                           (full) OI day high / low (not read)
//   60                                               (full) exchange time, epoch s
//   64..183                                          (full) market depth, prices i32 (not read)
// Index packets give high and low before open, unlike quote packets. A time of 0 means unset.
//
// The low byte of the token is the segment; it names the exchange and the price divisor:
//   1 NSE, 2 NFO, 4 BSE, 5 BFO, 7 MCX, 8 MCXSX, 9 indices: prices in paise (/ 100)
//   3 CDS (NSE currency): / 10 000 000     6 BCD (BSE currency): / 10 000
// Quantities, volume, open interest and times are never divided.
#pragma once

#include "brokers/DecodedFrame.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>

class ZerodhaDecoder {
public:
    // Codes of the Malformed events.
    enum Fault { MissingCount = 1, TruncatedPacket = 2, MissingPackets = 3, TrailingBytes = 4 };

    // Ticks of every known packet in message order. Unknown lengths give UnknownPacket (code =
    // length) and a token of no known segment gives Skipped (code = segment); both go on with the
    // next packet. A packet running past the end gives Malformed and ends the walk.
    DecodedFrame decode(const QByteArray& frame, qint64 receivedMSecs);
    // Forgets the cached instruments (a new connection).
    void reset() { instruments.clear(); }

    // Exchange of a segment, "INDICES" for 9, empty when unknown; 0 divisor when unknown.
    static QString exchangeOf(int segment);
    static double divisorOf(int segment);
    static constexpr const char* kIndexSegment = "INDICES";

private:
    // The token's text and the last time converted for it: ticks of one instrument repeat both,
    // and a QString or QDateTime made per packet would cost more than reading it.
    struct Instrument {
        QString token;
        qint64 stampMSecs = -1;
        QDateTime stamp;
    };
    // Entries are created only by packets that decoded; a flood of made-up tokens cannot grow it
    // past this many before it starts over.
    static constexpr int kMaxInstruments = 8192;

    Instrument& instrument(quint32 token);
    QDateTime stampFor(Instrument& inst, qint64 msecs);

    QHash<quint32, Instrument> instruments;
};
