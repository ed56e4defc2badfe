// Turns AngelOne smart-stream binary messages into ticks, in the shape every decoder shares
// (DecodedFrame.h), and names the stream's exchange types. No sockets, timers or lookups.
//
// A message holds one or more 379-byte records laid end to end (every token is subscribed in
// mode 3); bytes after the last whole record are ignored. Integers are little-endian.
//   off  width  field
//     0    1    subscription mode (not read)
//     1    1    u8  exchange type (names, price scale and open-interest rule below)
//     2   25    instrument token text, up to the first zero byte
//    27    8    sequence number (not read)
//    35    8    i64 exchange time, ms since the Unix epoch; 0 (absent) -> time of receipt
//    43    8    i64 last traded price
//    51    8    i64 last traded quantity -> volume, and lastTradedQty capped to 32 bits
//    59   32    (average price, day volume, buy and sell quantities: not read)
//    91    8    i64 open      99  8  i64 high      107  8  i64 low
//   115   16    (not read)
//   131    8    i64 open interest, a count, only for exchange types 2, 4, 5, 7 and 13
//   139  240    (not read)
// Prices are in paise (/ 100), currency contracts (type 13) in units of 10^-7 rupee (/ 10,000,000).
// Exchange types: 1 NSE, 2 NFO, 3 BSE, 4 BFO, 5 MCX, 7 NCX, 13 CDS; any other value counts as NSE.
//
// Ticks carry the token and the exchange named by the record's type; the broker names the
// instrument by both.
#pragma once

#include "brokers/DecodedFrame.h"
#include "core/TickClock.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <limits>
#include <string>
#include <unordered_map>

class AngelOneDecoder {
public:
    static constexpr int kRecordSize = 379;

    // Every whole record of `message` becomes a tick, in record order. A message shorter than one
    // record gives a Malformed event (code = its size).
    DecodedFrame decode(const QByteArray& message, qint64 receivedMSecs);
    void reset();

    // Exchange name of a record's exchange-type byte.
    static QString exchangeName(int exchangeType);
    static bool carriesOpenInterest(int exchangeType);
    static double priceDivisor(int exchangeType);

    // Exchange type for a subscription entry's exchange text (exact match; unknown text: 1).
    static int exchangeType(const QString& exchange);

private:
    const QString& tokenText(const char* bytes, std::size_t length);

    std::unordered_map<std::string, QString> tokens;  // token bytes -> text, built once per instrument
    TickClock::LastStamp lastStamp;
};
