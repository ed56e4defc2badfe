// Turns Dhan feed frames into ticks and events, in the shape every decoder shares (DecodedFrame.h).
// No sockets, no lookups, no clock of its own.
//
// Binary frame: one packet, little-endian. Every packet starts with the same header:
//   0  u8   response code (50: the server disconnects; anything else is read as a full packet)
//   1  i16  message length (not read)
//   3  u8   numeric exchange segment (0 IDX_I, 1 NSE_EQ, 2 NSE_FNO, 3 NSE_CURRENCY, 4 BSE_EQ,
//           5 MCX_COMM, 7 BSE_CURRENCY, 8 BSE_FNO)
//   4  u32  security id
// Full packet, at least 62 bytes (bytes from 62 on, the market depth, are not read):
//   8  f32  last traded price        12  u16  last traded quantity
//  14  i32  last trade time, seconds since the Unix epoch (UTC)
//  18  f32  average traded price (not used)
//  22  u32  volume                   26  8 bytes total sell/buy quantity (not read)
//  34  u32  open interest            38  8 bytes highest/lowest open interest (not read)
//  46  f32  open   50 f32 close (not used)   54 f32 high   58 f32 low
// Disconnect packet, 10 bytes: 8 u16 reason code (805 too many connections, 806 data APIs not
// subscribed, 807 access token expired, 808 invalid client id, 809 authentication failed).
//
// Ticks carry the security id as `token` and the packet's segment name ("NSE_EQ", "IDX_I", ...) as
// `exchange`: ids are unique only within a segment, so the broker names the instrument by both
// and then shows the master's exchange. A trade time more than 60 s ahead of the time of receipt
// or more than a day behind it (0 included) is replaced by the time of receipt.
//
// JSON text frames: {"ResponseCode":5} acknowledges a subscription; {"ResponseCode":50,"Data":
// {"SecurityId","LTP","Open","High","Low","Volume","OI"}} is a tick stamped with the time of
// receipt (its segment is unknown: `exchange` stays empty); other codes are ignored.
#pragma once

#include "brokers/DecodedFrame.h"
#include "core/TickClock.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>

#include <limits>

class DhanDecoder {
public:
    static constexpr int kMinPacketSize = 62;
    static constexpr int kDisconnectCode = 50;
    static constexpr int kDisconnectPacketSize = 10;

    // Notes of a tracing decoder, for each full packet: kHeaderNote (a response code, b message
    // length, c segment byte, d security id, x average traded price), then kImplausibleTimeNote
    // (a the trade time sent, in epoch seconds) when the time of receipt replaced it.
    enum Note { kHeaderNote, kImplausibleTimeNote };

    // One binary frame. Events: Disconnect (code = reason, text = its meaning), UnknownPacket
    // (code = response code, text = the frame's size in bytes) for a frame too short for a packet.
    DecodedFrame decode(const QByteArray& frame, qint64 receivedMSecs);
    // One text frame (UTF-8 JSON). Events: Acknowledged; Malformed for text that is not a JSON object.
    DecodedFrame decodeText(const QByteArray& utf8, qint64 receivedMSecs);
    // Forgets the cached token texts and trade time (a new connection).
    void reset();
    void setTracing(bool on) { tracing = on; }

    // "NSE_EQ", "IDX_I", ... for the packet's segment byte; the number as text when unknown.
    static QString segmentName(int segment);
    // What a disconnect reason code means.
    static QString disconnectReason(int code);

private:
    const QString& tokenText(quint32 securityId);
    QDateTime tradeTime(qint32 ltt, qint64 receivedMSecs);

    QHash<quint32, QString> tokens;  // security id -> its decimal text, built once per instrument
    TickClock::LastStamp lastStamp;  // the packets of one second share their trade time
    bool tracing = false;
};
