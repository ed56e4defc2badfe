// Fyers depth-stream decoding: one SocketMessage in, ticks and events out, books kept per ticker.
#include "brokers/fyers/FyersDecoder.h"

#include "brokers/ProtobufReader.h"
#include "core/TickClock.h"

#include <cstring>
#include <limits>
#include <utility>

namespace {

using Field = ProtobufReader::Field;

constexpr std::uint64_t kMillisecondsAbove = 1000000000000ULL;  // 10^12
constexpr int kMaxTickerBytes = 128;

enum MessageType { TypePing = 0, TypeResponse = 8 };

// A level as one message carries it: only the fields present change the book.
struct LevelUpdate {
    enum : unsigned { Price = 1, Qty = 2, Orders = 4, Number = 8 };
    unsigned present;
    std::uint64_t price, qty, orders, number;
};

}  // namespace

struct FyersDecoder::FeedUpdate {
    const char* ticker = nullptr;
    int tickerSize = 0;
    bool snapshot = false;
    bool hasFeedTime = false;
    std::uint64_t feedTime = 0;
    bool hasLtp = false, hasLtq = false, hasVolume = false, hasOi = false;
    std::uint64_t ltp = 0, ltq = 0, volume = 0, oi = 0;
    bool hasTbq = false, hasTsq = false;
    std::uint64_t tbq = 0, tsq = 0;
    int bidCount = 0, askCount = 0;
    bool extraLevels = false;  // more than kMaxLevels on a side: the rest was not kept
    // Filled up to bidCount / askCount only; never read beyond.
    LevelUpdate bids[kMaxLevels];
    LevelUpdate asks[kMaxLevels];
    const char* fault = nullptr;  // why the feed could not be read
};

namespace {

// Reads a wrapper field into `out` and marks it present; false (with `fault`) when unreadable.
bool wrapper(const ProtobufReader& r, const Field& f, std::uint64_t& out, const char*& fault)
{
    if (!r.wrappedVarint(f, out)) {
        fault = f.truncated ? "a value runs past its message" : "a value is not a readable wrapper";
        return false;
    }
    return true;
}

bool readLevel(ProtobufReader r, LevelUpdate& level, const char*& fault)
{
    level.present = 0;
    level.price = level.qty = level.orders = level.number = 0;
    Field f;
    while (!r.atEnd()) {
        // Levels are four wrappers, nearly always in their plainest form.
        std::uint32_t number = 0;
        std::uint64_t v = 0;
        if (r.nextWrapper(0x1e, number, v)) {
            switch (number) {
            case 1: level.price = v; break;
            case 2: level.qty = v; break;
            case 3: level.orders = v; break;
            default: level.number = v; break;
            }
            level.present |= 1u << (number - 1);  // Price, Qty, Orders, Number
            continue;
        }
        if (!r.next(f))
            break;
        std::uint64_t* target = nullptr;
        unsigned bit = 0;
        switch (f.number) {
        case 1: target = &level.price; bit = LevelUpdate::Price; break;
        case 2: target = &level.qty; bit = LevelUpdate::Qty; break;
        case 3: target = &level.orders; bit = LevelUpdate::Orders; break;
        case 4: target = &level.number; bit = LevelUpdate::Number; break;
        default:
            if (f.truncated) {
                fault = "a depth level field runs past its level";
                return false;
            }
            continue;
        }
        if (!wrapper(r, f, *target, fault))
            return false;
        level.present |= bit;
    }
    if (r.failed()) {
        fault = "a depth level cannot be read";
        return false;
    }
    return true;
}

}  // namespace

namespace {

bool readDepth(ProtobufReader r, FyersDecoder::FeedUpdate& u)
{
    Field f;
    while (!r.atEnd()) {
        std::uint32_t number = 0;
        std::uint64_t v = 0;
        if (r.nextWrapper(0x6, number, v)) {
            if (number == 1) {
                u.tbq = v;
                u.hasTbq = true;
            } else {
                u.tsq = v;
                u.hasTsq = true;
            }
            continue;
        }
        if (!r.next(f))
            break;
        switch (f.number) {
        case 1:
            if (!wrapper(r, f, u.tbq, u.fault))
                return false;
            u.hasTbq = true;
            break;
        case 2:
            if (!wrapper(r, f, u.tsq, u.fault))
                return false;
            u.hasTsq = true;
            break;
        case 3:
        case 4: {
            if (f.wireType != ProtobufReader::LengthDelimited || f.truncated) {
                u.fault = f.truncated ? "a depth level runs past its depth" : "a depth level is not a message";
                return false;
            }
            const bool ask = f.number == 3;
            int& count = ask ? u.askCount : u.bidCount;
            if (count >= FyersDecoder::kMaxLevels) {
                u.extraLevels = true;
                break;
            }
            if (!readLevel(r.message(f), (ask ? u.asks : u.bids)[count], u.fault))
                return false;
            ++count;
            break;
        }
        default:
            if (f.truncated) {
                u.fault = "a depth field runs past its depth";
                return false;
            }
            break;
        }
    }
    if (r.failed()) {
        u.fault = "the depth cannot be read";
        return false;
    }
    return true;
}

bool readQuote(ProtobufReader r, FyersDecoder::FeedUpdate& u)
{
    Field f;
    while (!r.atEnd()) {
        std::uint32_t number = 0;
        std::uint64_t v = 0;
        const bool plain = r.nextWrapper(0x5a, number, v);
        if (!plain) {
            if (!r.next(f))
                break;
            number = f.number;
        }
        std::uint64_t* target = nullptr;
        bool* flag = nullptr;
        switch (number) {
        case 1: target = &u.ltp; flag = &u.hasLtp; break;
        case 3: target = &u.ltq; flag = &u.hasLtq; break;
        case 4: target = &u.volume; flag = &u.hasVolume; break;
        case 6: target = &u.oi; flag = &u.hasOi; break;
        default:
            if (f.truncated) {
                u.fault = "a quote field runs past its quote";
                return false;
            }
            continue;
        }
        if (plain)
            *target = v;
        else if (!wrapper(r, f, *target, u.fault))
            return false;
        *flag = true;
    }
    if (r.failed()) {
        u.fault = "the quote cannot be read";
        return false;
    }
    return true;
}

bool readFeed(ProtobufReader r, FyersDecoder::FeedUpdate& u)
{
    Field f;
    while (r.next(f)) {
        if (f.truncated) {
            u.fault = "a feed field runs past its feed";
            return false;
        }
        switch (f.number) {
        case 1:
        case 5:
        case 11:
            if (f.wireType != ProtobufReader::LengthDelimited) {
                u.fault = f.number == 11 ? "the ticker is not a string"
                                         : (f.number == 1 ? "the quote is not a message" : "the depth is not a message");
                return false;
            }
            if (f.number == 1 && !readQuote(r.message(f), u))
                return false;
            if (f.number == 5 && !readDepth(r.message(f), u))
                return false;
            if (f.number == 11) {
                u.ticker = r.bytes(f);
                u.tickerSize = int(f.length);
            }
            break;
        case 6:
            if (!wrapper(r, f, u.feedTime, u.fault))
                return false;
            u.hasFeedTime = true;
            break;
        case 10:
            if (f.wireType != ProtobufReader::Varint) {
                u.fault = "the feed's snapshot flag is not a number";
                return false;
            }
            u.snapshot = f.value != 0;
            break;
        default:
            break;
        }
    }
    if (r.failed()) {
        u.fault = "the feed cannot be read";
        return false;
    }
    return true;
}

void applyLevels(FyersDecoder::Level* book, const LevelUpdate* levels, int count)
{
    for (int i = 0; i < count; ++i) {
        const LevelUpdate& l = levels[i];
        if (l.present & LevelUpdate::Price)
            book[i].price = std::int64_t(l.price);
        if (l.present & LevelUpdate::Qty)
            book[i].qty = std::uint32_t(l.qty);
        if (l.present & LevelUpdate::Orders)
            book[i].orders = std::uint32_t(l.orders);
    }
}

// Position of the first level whose number differs from its position, or -1.
int misplacedLevel(const LevelUpdate* levels, int count)
{
    for (int i = 0; i < count; ++i) {
        if ((levels[i].present & LevelUpdate::Number) && levels[i].number != std::uint64_t(i))
            return i;
    }
    return -1;
}

}  // namespace

qint64 FyersDecoder::feedTimeMSecs(std::uint64_t feedTime)
{
    constexpr std::uint64_t kLatestMSecs = 253402300799999ULL;  // the end of year 9999
    if (feedTime == 0)
        return -1;
    const std::uint64_t ms = feedTime > kMillisecondsAbove ? feedTime : feedTime * 1000;
    return ms > kLatestMSecs ? -1 : qint64(ms);
}

void FyersDecoder::reset()
{
    books.clear();
    stamp.reset();
}

const FyersDecoder::Book* FyersDecoder::book(const QString& ticker) const
{
    const QByteArray utf8 = ticker.toUtf8();
    const auto it = books.find(std::string_view(utf8.constData(), std::size_t(utf8.size())));
    return it != books.end() ? &it->second->book : nullptr;
}

FyersDecoder::Book* FyersDecoder::bookFor(const char* ticker, int size)
{
    const auto it = books.find(std::string_view(ticker, std::size_t(size)));
    if (it != books.end())
        return &it->second->book;
    if (int(books.size()) >= kMaxBooks)
        return nullptr;
    auto e = std::make_unique<Entry>();
    e->key.assign(ticker, std::size_t(size));
    Book* b = &e->book;
    b->ticker = QString::fromUtf8(ticker, size);
    const int colon = b->ticker.indexOf(QLatin1Char(':'));
    if (colon > 0)
        b->exchange = b->ticker.left(colon);
    const std::string_view key(e->key);
    books.emplace(key, std::move(e));
    return b;
}

DecodedFrame FyersDecoder::decode(const QByteArray& frame, qint64 receivedMSecs)
{
    DecodedFrame out;
    // The keep-alive: an empty binary frame, or the text answer to our "ping".
    if (frame.isEmpty() || frame == "pong") {
        out.addEvent(DecoderEvent::Heartbeat);
        return out;
    }

    // First pass: the message's own fields, which the encoder writes after the feeds.
    ProtobufReader top(frame.constData(), std::size_t(frame.size()));
    std::uint64_t type = 0;
    bool snapshot = false, error = false, feeds = false;
    QString msg;
    const char* fault = nullptr;
    Field f;
    while (top.next(f)) {
        if (f.truncated) {
            fault = f.number == 2 ? "a feeds entry runs past the end of the message"
                                  : "a field runs past the end of the message";
            break;
        }
        const bool varint = f.wireType == ProtobufReader::Varint;
        switch (f.number) {
        case 1: type = varint ? f.value : type; break;
        case 2: feeds = true; break;
        case 3: snapshot = varint ? f.value != 0 : snapshot; break;
        case 4:
            if (f.wireType == ProtobufReader::LengthDelimited)
                msg = QString::fromUtf8(top.bytes(f), int(std::min<std::size_t>(f.length, 1000)));
            break;
        case 5: error = varint ? f.value != 0 : error; break;
        default: break;
        }
        if ((f.number == 1 || f.number == 3 || f.number == 5) && !varint) {
            fault = "a message flag is not a number";
            break;
        }
    }
    if (!fault && top.failed())
        fault = "the message cannot be read";

    if (error) {
        out.addEvent(DecoderEvent::ServerError, int(type), msg);
        return out;
    }
    if (type == TypePing && !feeds && !fault) {
        out.addEvent(DecoderEvent::Heartbeat);
        return out;
    }
    if (type == TypeResponse && !feeds)
        out.addEvent(DecoderEvent::Acknowledged, int(type), msg);

    // Second pass: the feeds, in order. Each feed is read whole before it changes a book, so a
    // damaged one changes nothing.
    ProtobufReader entries(frame.constData(), std::size_t(frame.size()));
    while (entries.next(f)) {
        if (f.truncated)
            break;  // reported from the first pass
        if (f.number != 2)
            continue;
        if (f.wireType != ProtobufReader::LengthDelimited) {
            out.addEvent(DecoderEvent::Malformed, 0, QStringLiteral("a feeds entry is not a message"));
            continue;
        }
        ProtobufReader entry = entries.message(f);
        const char* key = nullptr;
        int keySize = 0;
        Field e;
        FeedUpdate u;
        bool haveFeed = false;
        while (!u.fault && entry.next(e)) {
            if (e.truncated) {
                u.fault = "a feeds entry field runs past its entry";
            } else if (e.number == 1 && e.wireType == ProtobufReader::LengthDelimited) {
                key = entry.bytes(e);
                keySize = int(std::min<std::size_t>(e.length, 64));
            } else if (e.number == 2) {
                if (e.wireType != ProtobufReader::LengthDelimited)
                    u.fault = "a market feed is not a message";
                else if (readFeed(entry.message(e), u))
                    haveFeed = true;
            }
        }
        if (!u.fault && entry.failed())
            u.fault = "a feeds entry cannot be read";
        if (u.fault) {
            out.addEvent(DecoderEvent::Malformed, 0, QString::fromLatin1(u.fault));
            continue;
        }
        if (!haveFeed)
            continue;
        if (u.tickerSize <= 0 || u.tickerSize > kMaxTickerBytes) {
            out.addEvent(DecoderEvent::Skipped, 0,
                         u.tickerSize > kMaxTickerBytes
                             ? QStringLiteral("a feed's ticker is longer than %1 bytes").arg(kMaxTickerBytes)
                             : QStringLiteral("a feed without a ticker (key \"%1\")")
                                   .arg(QString::fromUtf8(key, keySize)));
            continue;
        }
        Book* b = bookFor(u.ticker, u.tickerSize);
        if (!b) {
            out.addEvent(DecoderEvent::Skipped, 0,
                         QStringLiteral("more than %1 instruments on one connection").arg(kMaxBooks));
            continue;
        }

        if (snapshot || u.snapshot) {
            std::memset(static_cast<void*>(b->bids), 0, sizeof b->bids);
            std::memset(static_cast<void*>(b->asks), 0, sizeof b->asks);
            b->totalBuyQty = b->totalSellQty = 0;
        }
        if (u.hasTbq)
            b->totalBuyQty = u.tbq;
        if (u.hasTsq)
            b->totalSellQty = u.tsq;
        applyLevels(b->bids, u.bids, u.bidCount);
        applyLevels(b->asks, u.asks, u.askCount);
        if (u.hasLtp) {
            b->quoted = true;
            b->ltp = std::int64_t(u.ltp);
        }
        if (u.hasLtq)
            b->ltq = std::uint32_t(u.ltq);
        if (u.hasVolume)
            b->volume = u.volume;
        if (u.hasOi)
            b->openInterest = u.oi;

        // The server's level numbers, where sent, should agree with the positions used here.
        const int bidAt = misplacedLevel(u.bids, u.bidCount);
        const int askAt = misplacedLevel(u.asks, u.askCount);
        if (bidAt >= 0 || askAt >= 0) {
            const bool bid = bidAt >= 0;
            const int at = bid ? bidAt : askAt;
            out.addEvent(DecoderEvent::Skipped, at,
                         QStringLiteral("%1: %2 level numbered %3 at position %4, placed by position")
                             .arg(b->ticker, bid ? QStringLiteral("bid") : QStringLiteral("ask"))
                             .arg((bid ? u.bids : u.asks)[at].number)
                             .arg(at));
        }
        if (u.extraLevels)
            out.addEvent(DecoderEvent::Skipped, kMaxLevels,
                         QStringLiteral("%1: levels past %2 a side dropped").arg(b->ticker).arg(kMaxLevels));

        TickData t;
        if (b->quoted) {
            if (b->ltp <= 0) {
                out.addEvent(DecoderEvent::Skipped, 0, QStringLiteral("%1: quote without a positive price").arg(b->ticker));
                continue;
            }
            t.ltp = double(b->ltp) / 100.0;
            t.lastTradedQty = qint32(std::min<std::uint32_t>(b->ltq, std::uint32_t(std::numeric_limits<qint32>::max())));
            t.volume = double(b->volume);
            t.openInterest = double(b->openInterest);
        } else {
            // The depth feed carries no trades: the middle of the best bid and ask stands in.
            const std::int64_t bid = b->bids[0].price;
            const std::int64_t ask = b->asks[0].price;
            if (bid <= 0 || ask <= 0)
                continue;
            t.ltp = (double(bid) + double(ask)) / 200.0;
        }
        t.token = b->ticker;
        t.exchange = b->exchange;
        const qint64 feedMs = u.hasFeedTime ? feedTimeMSecs(u.feedTime) : -1;
        t.timestamp = stamp.fromMSecs(feedMs >= 0 ? feedMs : receivedMSecs);
        out.ticks.append(std::move(t));
    }

    if (fault)
        out.addEvent(DecoderEvent::Malformed, 0, QString::fromLatin1(fault));
    return out;
}
