// Turns TradeJini stream frames into ticks and events, in the shape every decoder shares
// (DecodedFrame.h): frame header, zlib inflation, packet walk, L1 tags, and the per-instrument
// tick cache. No sockets, timers or lookups.
//
// Frame (one binary WebSocket message), integers little-endian:
//   0  u32  size hint of the inflated payload (not trusted: never used to allocate)
//   4  u8   version, only 1 is accepted
//   5  u8   0x64 ('d'): payload is a zlib stream; anything else: payload is raw
//   6  ...  payload: packets laid end to end
// Packet:
//   0  i16  packet length in bytes, these two included (>= 1)
//   2  u8   type: 10 = L1 quote, 16 = ping response
//   3  ...  L1 body: tag byte + value, widths below
// L1 tags: 26 u8 segment (exchange and price divisor), 27 u32 token, 28 skip 1,
//   29 ltp / 30 open / 31 high / 32 low i32 / divisor, 33 skip 4, 39 u32 volume (also the traded
//   quantity, capped to 32 signed bits), 40 skip 4, 41 skip 8, 44 u32 open interest, 46 i32 epoch
//   seconds (0: none), 55 skip 1, 56 skip 2, any other tag skip 4.
// The divisor applies to the packet's prices whatever the order of its tags. A packet without
// time gets the time of receipt.
// Segments: 1 NSE, 2 BSE, 3 NFO, 4 BFO, 5 CDS, 6 BCD, 7 MCD, 8 MCX, 9 NCO, 10 BCO; prices / 100,
//   except CDS / 10^7 and BCD, MCD, NCO, BCO / 10^4; unknown codes read as NSE.
//
// Cache: the first tick of an instrument whose values are all 0 is dropped; a later packet's zero
// ltp, volume, open interest or quantity keeps the last value, and open = high = low = ltp.
// Ticks carry token and exchange; the broker names the instrument by both.
// Events, `text` saying what happened: Malformed (frame too short, code = its size; inflation
// failed, code = zlib's error; bad packet length, code = the length), UnknownPacket (unsupported
// version or unknown packet type, code = it), Heartbeat (ping response).
#pragma once

#include "brokers/DecodedFrame.h"
#include "core/TickClock.h"
#include "symbols/ZlibInflate.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QString>

#include <functional>
#include <limits>

class TradeJiniDecoder {
public:
    // Inflated payloads beyond this are refused: a frame's own size field cannot be trusted.
    static constexpr qint64 kMaxInflatedBytes = 16 * 1024 * 1024;

    // Note of a tracing decoder, one per L1 packet met (before it is decoded): a = its length,
    // bytes = its first kDumpBytes bytes when it is longer than kDumpAbove.
    enum Note { kL1PacketNote };
    static constexpr int kDumpAbove = 30;
    static constexpr int kDumpBytes = 80;

    DecodedFrame decode(const QByteArray& frame, qint64 receivedMSecs);
    void reset();
    void setTracing(bool on) { tracing = on; }
    int cachedInstruments() const { return cache.size(); }

    static QString exchangeName(int segmentCode);
    static double priceDivisor(int segmentCode);

    // One "L1" JSON message; nameForToken(token, exchange) gives the symbol shown (empty: none).
    // Returns false when the message's "symbol" is not a subscription key. keyExchange receives
    // the key's exchange part (the market-hours test uses it).
    static bool tickFromL1Json(const QJsonObject& obj,
                               const std::function<QString(const QString&, const QString&)>& nameForToken,
                               const QDateTime& now, TickData& tick, QString& keyExchange);

private:
    void decodePayload(const char* data, int size, qint64 receivedMSecs, DecodedFrame& out);
    void decodeL1(const unsigned char* p, int size, qint64 receivedMSecs, DecodedFrame& out);

    // Keyed by token and exchange-name index: one instrument per token and exchange.
    QHash<quint64, TickData> cache;
    QByteArray inflated;  // reused between frames
    ZlibInflate::Inflater inflater{ZlibInflate::kZlib};  // one zlib state for every frame
    TickClock::LastStamp lastStamp;  // packets of a frame share their seconds
    bool tracing = false;
};
