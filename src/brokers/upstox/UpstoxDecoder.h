// Turns Upstox market-data feed frames (protocol buffers, or JSON notices and JSON feeds) into
// ticks. No sockets, timers or event loop: unit-tested, fuzzed and benchmarked on its own.
//
// Protocol-buffers frame (field number: wire type, meaning); every other field is skipped:
//   root            2: bytes   one "feeds" map entry (instrument key -> Feed)
//   feeds entry     1: bytes   instrument key, UTF-8 (up to the first NUL)
//                   2: bytes   Feed
//   Feed            1: bytes   LTPC (last trade only)
//                   2: bytes   FullFeed
//   FullFeed        1, 2: bytes  market or index full feed (one field table for both)
//   full feed       1: bytes   LTPC, here with the previous close
//                   7: fixed64 open interest, double
//   LTPC            1: fixed64 last price, double        2: varint last trade time, ms since epoch
//                   3: varint  last traded quantity      4: fixed64 previous close, double (full feed only)
// Values are kept per feeds entry; a field met twice in one entry keeps the later value.
//
// JSON frame: {"type":"market_info"|"live_feed"|"error", "feeds":{key:{"ltpc":{"ltp","ltq","ltt"},
// "ff":{"marketFF":{"openPrice","highPrice","lowPrice","ltq","oi"}}}}, "message":...}; any other
// "type" is read as protocol buffers.
#pragma once

#include "core/MarketData.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <functional>

class UpstoxDecoder {
public:
    // What the instrument master says about an instrument key: the name shown (empty: unknown)
    // and its lot size (volume is reported in lots when it is 2 or more).
    struct Instrument {
        QString symbol;
        int lotSize = 0;
    };
    using Lookup = std::function<Instrument(const QString& key)>;

    enum class Kind { Empty, MarketInfo, JsonFeed, ServiceError, Protobuf };

    struct Event {
        enum Type {
            Tick,          // a tick was produced from a protocol-buffers entry
            InvalidTick,   // an entry without key or without a positive, finite price
            FeedTooLong,   // an entry's declared length runs past the frame: the rest is dropped
            Malformed      // a field that cannot be read ended the frame early
        };
        Type type = Tick;
        QString key;
        double ltp = 0;
        qint64 ltq = 0;   // Tick: the traded quantity before the lot division
        int lotSize = 1;  // Tick: the divisor used (1 when none)
    };

    struct Result {
        Kind kind = Kind::Empty;
        QString text;  // MarketInfo: the start of the frame; ServiceError: the service's message
        QVector<TickData> ticks;
        QVector<Event> events;  // only filled when asked for
    };

    // Decodes one binary frame. A null lookup shows every instrument under its key, lot size 1.
    static Result decode(const QByteArray& frame, const Lookup& lookup, bool wantEvents = true);
    // The protocol-buffers reader alone; appends to `result`.
    static void decodeProtobuf(const char* data, int size, const Lookup& lookup, Result& result, bool wantEvents);
};
