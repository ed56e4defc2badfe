// Turns Upstox market-data feed frames (protocol buffers, or JSON notices and JSON feeds) into
// ticks and events, in the shape every decoder shares (DecodedFrame.h). No sockets, timers or
// lookups.
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
//
// Ticks: `token` is the instrument key ("NSE_FO|43885"), `exchange` its segment part ("NSE_FO");
// `open` is the previous close; `volume` is the traded quantity in shares (the broker shows a
// protocol-buffers tick's in lots, a JSON one's as sent). A trade time of 0 (or none) means "absent": the tick gets the time of receipt.
// Events: Acknowledged (market_info, `text` the start of the frame), ServerError (an error notice,
// `text` its message), Skipped (an entry without key or positive price, `text` the key, `value`
// the price),
// Malformed (an entry longer than the frame, code 1, or an unreadable field, code 0).
#pragma once

#include "brokers/DecodedFrame.h"
#include "core/TickClock.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <limits>
#include <string>
#include <unordered_map>

class UpstoxDecoder {
public:
    DecodedFrame decode(const QByteArray& frame, qint64 receivedMSecs);
    void reset();
    void setTracing(bool on) { tracing = on; }
    // Whether the frame decoded last was a JSON live feed. Its ticks are named and scaled apart
    // from the protocol-buffers ones, so the broker asks which kind it holds.
    bool lastFrameWasJsonFeed() const { return jsonFeed; }

    // Notes of a tracing decoder, one per field met in a protocol-buffers frame, in frame order.
    // Values: a the integer (a length, field number or varint), b a wire type, c a position, x and
    // y doubles, bytes the instrument key.
    enum Note {
        kParseStart,                                      // a: frame size
        kRootField,                                       // a number, b wire type, c position after the tag
        kEntryLength, kSkipRoot,                          // a
        kInstrumentKey,                                   // bytes
        kFeedLength, kSkipEntry,                          // a
        kFeedField,                                       // a number, b wire type
        kLtpcLength, kLtp, kLtt, kLtq, kSkipLtpc,         // LTPC of the Feed: a, x for the price
        kFullFeedLength, kSkipFeed,                       // a
        kFullFeedField,                                   // a number, b wire type
        kMarketFeedLength,                                // a
        kMarketField,                                     // a number, b wire type
        kNestedLtpcLength, kNestedLtp, kNestedLtt, kNestedLtq, kNestedCp,  // a, x for prices
        kMarketLevelLength,                               // a
        kBestBidAsk,                                      // x bid, y ask of the first quote
        kGreeksLength, kOhlcLength,                       // a
        kAtp, kVtt, kOi, kTbq, kTsq,                      // x, a for the VTT
        kNoteCount
    };

    // Malformed event codes.
    static constexpr int kFeedTooLong = 1;
    static constexpr int kUnreadableField = 0;

    struct EntryValues;  // one feeds entry's fields, while it is read

private:
    void decodeProtobuf(const char* data, int size, qint64 receivedMSecs, DecodedFrame& out);
    void decodeJsonFeeds(const QJsonObject& message, qint64 receivedMSecs, DecodedFrame& out);
    void addTick(const EntryValues& v, qint64 receivedMSecs, DecodedFrame& out);
    QDateTime stamp(qint64 epochMs, qint64 receivedMSecs);

    struct Key {
        QString text;
        QString segment;
    };
    const Key& keyFor(const char* bytes, std::size_t length);

    std::unordered_map<std::string, Key> keys;  // instrument key bytes -> texts, built once per instrument
    TickClock::LastStamp lastStamp;
    bool tracing = false;
    bool jsonFeed = false;
};
