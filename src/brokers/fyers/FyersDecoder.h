// Turns Fyers depth-stream messages (protocol buffers) into ticks, keeping each instrument's book
// between messages. Pure: no sockets, no clock of its own, nothing logged.
//
// SocketMessage (field: wire type, meaning); unknown fields are skipped by wire type:
//   1 varint  type (0 ping, 6 depth, 8 response, ...)     3 varint  snapshot: replace the books
//   2 bytes   feeds map entry: 1 string key, 2 MarketFeed  4 string msg   5 varint error
// MarketFeed:
//   1 Quote   5 Depth   6 feed_time (UInt64 wrapper, epoch s or ms)   10 varint snapshot
//   11 string ticker ("NSE:NIFTY25MARFUT"; names the instrument, the map key is not used)
// Quote: 1 ltp (Int64 wrapper, paise)  3 ltq  4 volume traded today  6 open interest (wrappers)
// Depth: 1 total buy qty, 2 total sell qty (wrappers); 3 asks, 4 bids: repeated MarketLevel, best
//   first, each level placed by its position in the list
// MarketLevel: 1 price (Int64 wrapper, paise)  2 qty  3 orders  4 level number (wrappers)
//
// Every number except the flags is a wrapper message, so "absent" (unchanged) and "0" differ: an
// update changes only what it carries, and an empty level in an update leaves that level as it
// was. A wrong guess about the server must show, not pass silently: a level whose number is not
// its position, a feed without a ticker, or a field of an unexpected wire type is reported.
#pragma once

#include "brokers/DecodedFrame.h"
#include "core/TickClock.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

class FyersDecoder {
public:
    FyersDecoder() = default;
    FyersDecoder(const FyersDecoder&) = delete;
    FyersDecoder& operator=(const FyersDecoder&) = delete;
    ~FyersDecoder() = default;

    static constexpr int kMaxLevels = 50;  // depth levels a side the service sends at most

    struct Level {
        std::int64_t price = 0;  // paise; 0: empty
        std::uint32_t qty = 0;
        std::uint32_t orders = 0;
    };
    // What the decoder knows of one instrument.
    struct Book {
        QString ticker;
        QString exchange;
        Level bids[kMaxLevels];
        Level asks[kMaxLevels];
        std::uint64_t totalBuyQty = 0;
        std::uint64_t totalSellQty = 0;
        bool quoted = false;  // a Quote with a last price has arrived
        std::int64_t ltp = 0;  // paise
        std::uint32_t ltq = 0;
        std::uint64_t volume = 0;
        std::uint64_t openInterest = 0;
    };

    DecodedFrame decode(const QByteArray& frame, qint64 receivedMSecs);
    // Forgets every book (a new connection starts from snapshots).
    void reset();

    // The book of a ticker, or null when none was seen.
    const Book* book(const QString& ticker) const;

    // Epoch milliseconds of a feed time: values above 10^12 are milliseconds, others seconds;
    // -1 for 0 and for times past the year 9999.
    static qint64 feedTimeMSecs(std::uint64_t feedTime);

    // One feed as a message carries it, read whole before it changes a book.
    struct FeedUpdate;

private:
    Book* bookFor(const char* ticker, int size);

    // A book with the UTF-8 ticker its map key views.
    struct Entry {
        std::string key;
        Book book;
    };

    // Entries live on the heap (1.6 KB each) so the map can grow without moving them or the keys
    // it views; a lookup hashes the frame's own bytes, with no copy. A peer that names endless
    // tickers is stopped at kMaxBooks.
    static constexpr int kMaxBooks = 5000;
    std::unordered_map<std::string_view, std::unique_ptr<Entry>> books;
    TickClock::LastStamp stamp;  // consecutive feeds mostly share their feed time
};
