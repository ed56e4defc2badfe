// Builds Zerodha stream messages from the broker's published layouts for decoder, broker and window
// tests. Packets are their big-endian u32 fields in layout order (token, last price, ...).
#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <initializer_list>

namespace ZerodhaFrames {

// `fields` as u32, padded with zeros to `size` bytes (8, 28, 32, 44 or 184 on the wire).
QByteArray packet(std::initializer_list<quint32> fields, int size);
// A message: the packet count, then each packet behind its u16 length.
QByteArray message(const QList<QByteArray>& packets);

}  // namespace ZerodhaFrames
