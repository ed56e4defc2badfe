// FlatTrade stream decoder on arbitrary bytes. Beyond not crashing: every tick is usable (a
// positive, finite last price that is not the placeholder, an exchange and a token, a valid
// time), a frame gives at most one tick, and a valid JSON object decodes exactly like its compact
// re-serialisation, so the in-place scanner and the QJsonDocument road agree.
#include "brokers/flattrade/FlatTradeDecoder.h"

#include <QByteArray>
#include <QJsonDocument>

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr qint64 kReceivedMs = 1788237300000;

void check(bool condition)
{
    if (!condition)
        std::abort();
}

bool usablePrice(double v)
{
    return std::isfinite(v) && v >= 0.0 && v != FlatTradeDecoder::kPlaceholderPrice;
}

void checkTicks(const DecodedFrame& out)
{
    check(out.ticks.size() <= 1);
    for (const TickData& t : out.ticks) {
        check(!t.exchange.isEmpty() && !t.token.isEmpty() && t.symbol.isEmpty());
        check(t.ltp > 0.0 && usablePrice(t.ltp));
        check(usablePrice(t.open) && usablePrice(t.high) && usablePrice(t.low));
        check(std::isfinite(t.volume) && t.volume >= 0.0);
        check(std::isfinite(t.openInterest) && t.openInterest >= 0.0);
        check(t.lastTradedQty >= 0);
        check(t.timestamp.isValid());
    }
}

bool sameTicks(const TickData& a, const TickData& b)
{
    return a.exchange == b.exchange && a.token == b.token && a.ltp == b.ltp && a.open == b.open && a.high == b.high
        && a.low == b.low && a.volume == b.volume && a.openInterest == b.openInterest
        && a.lastTradedQty == b.lastTradedQty && a.timestamp == b.timestamp;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray frame(reinterpret_cast<const char*>(data), int(size));
    FlatTradeDecoder decoder;
    const DecodedFrame out = decoder.decode(frame, kReceivedMs);
    checkTicks(out);

    const QJsonDocument doc = QJsonDocument::fromJson(frame);
    if (doc.isObject()) {
        FlatTradeDecoder fresh;
        const DecodedFrame again = fresh.decode(doc.toJson(QJsonDocument::Compact), kReceivedMs);
        check(!out.hasEvent(DecoderEvent::Malformed));
        check(again.ticks.size() == out.ticks.size());
        for (int i = 0; i < out.ticks.size(); ++i)
            check(sameTicks(out.ticks[i], again.ticks[i]));
        check(again.events.size() == out.events.size());
        for (int i = 0; i < out.events.size(); ++i)
            check(again.events[i].kind == out.events[i].kind && again.events[i].code == out.events[i].code
                  && again.events[i].text == out.events[i].text);
    }

    // The cache carries over: a snapshot followed by this frame keeps every tick usable.
    decoder.reset();
    decoder.decode(R"({"t":"dk","e":"NSE","tk":"22","lp":"10.5","ltq":"3"})", kReceivedMs);
    checkTicks(decoder.decode(frame, kReceivedMs));
    return 0;
}
