// Turns Dhan feed frames into tick fields: the fixed binary packet and the JSON messages. Pure:
// no sockets, no lookups, no clock of its own, so it runs on the feed thread and in tests alike.
//
// Binary packet (one per frame), little-endian, at least 62 bytes; bytes from 62 on are not read:
//   0  u8   response code (logged only)
//   1  i16  message length (logged only)
//   3  u8   numeric exchange segment (logged only)
//   4  u32  security id
//   8  f32  last traded price
//  12  i16  last traded quantity
//  14  i32  last trade time, seconds since the Unix epoch (UTC)
//  18  f32  average traded price (logged only)
//  22  i32  volume
//  26  8 bytes not read
//  34  i32  open interest
//  38  8 bytes not read
//  46  f32  open
//  50  f32  close (not used)
//  54  f32  high
//  58  f32  low
#pragma once

#include "core/MarketData.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <limits>

class DhanDecoder {
public:
    static constexpr int kMinPacketSize = 62;

    struct Packet {
        quint8 responseCode = 0;
        qint16 msgLen = 0;
        quint8 exchangeSegment = 0;
        quint32 securityId = 0;
        float ltp = 0;
        qint16 ltq = 0;
        qint32 ltt = 0;  // epoch seconds
        float atp = 0;
        qint32 volume = 0;
        qint32 openInterest = 0;
        float open = 0;
        float close = 0;
        float high = 0;
        float low = 0;
    };

    // False when the frame is shorter than a packet.
    static bool decodePacket(const QByteArray& frame, Packet& out);

    // The trade time as local time, or `now` when it lies more than 60 s ahead of `now` or more
    // than a day behind it; `replaced` tells which.
    static QDateTime tradeTime(qint32 ltt, const QDateTime& now, bool* replaced = nullptr);

    // Local-time conversion costs microseconds and the packets of one second share their trade
    // time, so the last conversion is kept.
    struct TimeCache {
        qint64 secs = std::numeric_limits<qint64>::min();
        QDateTime time;
    };
    // The same rule with the current time in epoch milliseconds; an invalid result means the trade
    // time was implausible and the caller stamps the current time.
    static QDateTime tradeTime(qint32 ltt, qint64 nowMSecs, TimeCache* cache = nullptr);

    struct JsonMessage {
        enum Kind { Ignored, SubscriptionAck, Tick };
        Kind kind = Ignored;
        qint32 securityId = 0;
        double ltp = 0, open = 0, high = 0, low = 0;
        qint32 volume = 0, openInterest = 0;
    };
    static JsonMessage decodeJson(const QJsonObject& message);

    // The text of a symbol before its first ':' (the whole symbol when it has none).
    static QString exchangeOf(const QString& symbol);

    // Tick from a packet, named `symbol`, stamped `time` (already through tradeTime).
    static TickData tick(const Packet& packet, const QString& symbol, const QDateTime& time);
    static TickData tick(const JsonMessage& message, const QString& symbol, const QDateTime& time);
};
