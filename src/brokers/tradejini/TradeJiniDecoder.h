// Turns TradeJini stream frames into ticks: frame header, zlib inflation, packet walk, L1 tags,
// and the per-instrument tick cache. No sockets, timers or event loop: unit-tested, fuzzed and
// benchmarked on its own.
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
// L1 tags: 26 u8 segment (exchange + price divisor for later price tags), 27 u32 token, 28 skip 1,
//   29 ltp / 30 open / 31 high / 32 low i32 / divisor, 33 skip 4, 39 u32 volume (also the traded
//   quantity), 40 skip 4, 41 skip 8, 44 u32 open interest, 46 i32 epoch seconds, 55 skip 1,
//   56 skip 2, any other tag skip 4.
#pragma once

#include "core/MarketData.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QVector>

#include <functional>

class TradeJiniDecoder {
public:
    // Inflated payloads beyond this are refused: a frame's own size field cannot be trusted.
    static constexpr qint64 kMaxInflatedBytes = 16 * 1024 * 1024;

    enum class FrameStatus { Ok, TooShort, UnsupportedVersion, InflateFailed };

    struct Event {
        enum Kind { InvalidPacketLength, L1Packet, PingResponse, UnknownPacketType, LargePacket };
        Kind kind;
        int value = 0;     // length, type or size
        int offset = 0;    // for InvalidPacketLength
        QByteArray bytes;  // for LargePacket: the first bytes of the packet
    };

    struct FrameResult {
        FrameStatus status = FrameStatus::Ok;
        int version = 0;   // for UnsupportedVersion
        int zlibCode = 0;  // for InflateFailed, as zlib's uncompress would report it
        QVector<Event> events;  // only filled when events are requested
    };

    TradeJiniDecoder();

    // Decodes one frame and appends the accepted ticks to `ticks` in packet order.
    FrameResult decodeFrame(const QByteArray& message, QVector<TickData>& ticks, bool wantEvents = true);
    // The packet walk alone, over an already inflated payload.
    void decodePayload(const char* data, int size, QVector<TickData>& ticks, QVector<Event>* events);

    // Clock for packets that carry no time of their own.
    void setClock(std::function<QDateTime()> clock) { nowFn = std::move(clock); }
    int cachedInstruments() const { return cache.size(); }

    static QString exchangeName(int segmentCode);
    static double priceDivisor(int segmentCode);

    // One "L1" JSON message; nameForToken resolves the token to the symbol shown (empty: none).
    // Returns false when the message's "symbol" is not a subscription key. keyExchange receives
    // the key's exchange part (the market-hours test uses it).
    static bool tickFromL1Json(const QJsonObject& obj, const std::function<QString(const QString&)>& nameForToken,
                               const QDateTime& now, TickData& tick, QString& keyExchange);

private:
    void decodeL1(const unsigned char* p, int size, QVector<TickData>& ticks, QVector<Event>* events);
    QDateTime now();

    // Keyed by token and exchange-name index: the same instrument as the "token_exchange" text.
    QHash<quint64, TickData> cache;
    QByteArray inflated;  // reused between frames
    std::function<QDateTime()> nowFn;
    QDateTime frameNow;   // "now" of the frame being decoded, taken once when first needed
    qint64 lastEpoch = 0;
    QDateTime lastEpochTime;  // local-time conversion is costly; packets of a frame share seconds
};
