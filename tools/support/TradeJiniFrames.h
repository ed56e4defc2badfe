// Builds TradeJini stream frames field by field, from the same layout the decoder documents.
#pragma once

#include <QByteArray>

#include <cstdint>

namespace TradeJiniFrames {

// One tag followed by its value, little-endian.
QByteArray u8Tag(quint8 tag, quint8 value);
QByteArray u32Tag(quint8 tag, quint32 value);
QByteArray i32Tag(quint8 tag, qint32 value);
QByteArray skipTag(quint8 tag, int width);

// A packet: i16 length (itself included), type byte, body.
QByteArray packet(quint8 type, const QByteArray& body);
// A typical L1 packet: segment, token, ltp (raw, before the divisor), volume, open interest, time.
QByteArray l1(quint8 segment, quint32 token, qint32 rawLtp, quint32 volume = 0, quint32 oi = 0, qint32 epoch = 0);
// A frame around a payload; compressed with zlib's compress() when asked. hint < 0: the payload size.
QByteArray frame(const QByteArray& payload, bool compressed, quint8 version = 1, qint64 hint = -1);

}  // namespace TradeJiniFrames
