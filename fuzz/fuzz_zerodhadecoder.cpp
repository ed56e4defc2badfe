// Zerodha stream decoder on arbitrary bytes: never reads past the message, and every tick it
// returns is whole (a token of a known segment, a price within the signed range, a valid time).
// Decoding the same bytes twice, on the instruments cached by the first pass, gives the same ticks.
#include "brokers/zerodha/ZerodhaDecoder.h"

#include <QByteArray>

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray frame = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));
    constexpr qint64 received = 1709264799123;
    static ZerodhaDecoder decoder;  // kept across inputs, as one connection's decoder is

    const DecodedFrame first = decoder.decode(frame, received);
    if (size <= 2) {
        check(first.ticks.isEmpty() && first.events.size() == 1 && first.events[0].kind == DecoderEvent::Heartbeat);
        return 0;
    }
    const int declared = (int(data[0]) << 8) | data[1];
    // No more packets than the count names, and none smaller than the 8-byte LTP packet.
    check(first.ticks.size() <= declared);
    check(first.ticks.size() <= int(size - 2) / 10);
    for (const TickData& t : first.ticks) {
        bool ok = false;
        const qulonglong token = t.token.toULongLong(&ok);
        check(ok && token <= 0xffffffffULL);
        check(t.exchange == ZerodhaDecoder::exchangeOf(int(token & 0xff)) && !t.exchange.isEmpty());
        // Prices are signed 32-bit counts of the segment's unit: a commodity can trade below zero,
        // and no price read as unsigned (up to twice the signed range) passes.
        const double limit = 2147483648.0 / ZerodhaDecoder::divisorOf(int(token & 0xff));
        for (double price : {t.ltp, t.open, t.high, t.low})
            check(std::isfinite(price) && std::fabs(price) <= limit);
        check(t.volume >= 0 && t.lastTradedQty >= 0 && t.openInterest >= 0);
        check(t.timestamp.isValid());
        check(t.symbol.isEmpty());
    }

    const DecodedFrame second = decoder.decode(frame, received);
    check(second.ticks.size() == first.ticks.size() && second.events.size() == first.events.size());
    for (int i = 0; i < first.ticks.size(); ++i) {
        check(second.ticks[i].token == first.ticks[i].token);
        check(second.ticks[i].ltp == first.ticks[i].ltp);
        check(second.ticks[i].timestamp == first.ticks[i].timestamp);
    }
    return 0;
}
