// Turns AngelOne smart-stream binary messages into ticks, and names the stream's exchange types.
// No sockets, timers or event loop: unit-tested, fuzzed and benchmarked on its own.
//
// A message holds one or more 379-byte records laid end to end (every token is subscribed in
// mode 3); bytes after the last whole record are ignored. Integers are little-endian; prices are
// in hundredths.
//   off  width  field
//     0    1    subscription mode (not read)
//     1    1    u8  exchange type (names and open-interest rule below)
//     2   25    instrument token text, up to the first zero byte
//    27    8    sequence number (not read)
//    35    8    i64 exchange time, ms since the Unix epoch -> local time
//    43    8    last traded price: low 4 bytes as i32 / 100
//    51    8    i64 quantity -> volume; its low 4 bytes as i32 -> last traded quantity
//    59   32    (not read)
//    91    8    open:  low 4 bytes as i32 / 100
//    99    8    high:  low 4 bytes as i32 / 100
//   107    8    low:   low 4 bytes as i32 / 100
//   115   16    (not read)
//   131    8    i64 open interest / 100, only for exchange types 2, 4, 5, 7 and 13
//   139  240    (not read)
// Exchange types: 1 NSE, 2 NFO, 3 BSE, 4 BFO, 5 MCX, 7 NCX, 13 CDS; any other value counts as NSE.
#pragma once

#include "core/MarketData.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <functional>

namespace AngelOneDecoder {

constexpr int kRecordSize = 379;

struct Skipped {
    enum Reason { UnknownToken, BadTime };
    Reason reason;
    QString token;
    qint64 value = 0;  // the exchange time for BadTime
};

struct Result {
    bool tooSmall = false;  // shorter than one record: nothing decoded
    QVector<Skipped> skipped;
};

// Decodes every whole record of `message` and appends a tick per accepted record, in record
// order. `symbolForToken` gives the symbol shown for a token (empty: unknown, the record is
// skipped); without it every record is skipped silently.
Result decode(const QByteArray& message, const std::function<QString(const QString&)>& symbolForToken,
              QVector<TickData>& ticks);

// Exchange name of a record's exchange-type byte.
QString exchangeName(int exchangeType);
bool carriesOpenInterest(int exchangeType);

// Exchange type for a subscription entry's exchange text (exact match; unknown text: 1).
int exchangeType(const QString& exchange);

}  // namespace AngelOneDecoder
