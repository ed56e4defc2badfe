// Upstox feed frames: the same ticks with and without events, one Tick event per tick, and every
// tick has a name, a positive finite price and a valid time.
#include "FuzzSeeds.h"
#include "brokers/upstox/UpstoxDecoder.h"
#include "support/UpstoxFrames.h"

#include <cmath>

namespace {

const QString kNifty = QStringLiteral("NSE_FO|45450");

UpstoxDecoder::Instrument lookup(const QString& key)
{
    if (key == kNifty)
        return {QStringLiteral("NIFTY24MARFUT"), 75};
    return {};
}

QByteArray sample()
{
    using namespace UpstoxFrames;
    QByteArray valid;
    for (int i = 0; i < 4; ++i)
        valid += entry(kNifty, fullFeed(Trade{22150.0 + i, 1710474300123LL + i, 75 * (i + 1), 22000.0}, 1000.0 * i, 1 + i % 2));
    return valid;
}

bool sameTicks(const QVector<TickData>& a, const QVector<TickData>& b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (a[i].symbol != b[i].symbol || a[i].ltp != b[i].ltp || a[i].volume != b[i].volume
            || a[i].timestamp != b[i].timestamp || a[i].openInterest != b[i].openInterest)
            return false;
    }
    return true;
}

}  // namespace

TICKVANE_FUZZ_SEEDS(sample(), UpstoxFrames::entry(QStringLiteral("NSE_EQ|INE009A01021"),
                                                 UpstoxFrames::ltpcFeed(UpstoxFrames::Trade{1500.25, 1710474300456LL, 10, 0})),
                    R"({"type":"market_info","marketInfo":{}})", QByteArray::fromHex("0a0212"))

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray frame(reinterpret_cast<const char*>(data), int(size));
    const UpstoxDecoder::Result with = UpstoxDecoder::decode(frame, lookup, true);
    const UpstoxDecoder::Result without = UpstoxDecoder::decode(frame, lookup, false);
    FUZZ_CHECK(with.kind == without.kind);
    FUZZ_CHECK(sameTicks(with.ticks, without.ticks));
    FUZZ_CHECK(without.events.isEmpty());
    if (with.kind == UpstoxDecoder::Kind::Protobuf) {
        int tickEvents = 0;
        for (const UpstoxDecoder::Event& e : with.events)
            tickEvents += e.type == UpstoxDecoder::Event::Tick;
        FUZZ_CHECK(tickEvents == with.ticks.size());
    }
    for (const TickData& t : with.ticks) {
        FUZZ_CHECK(!t.symbol.isEmpty());
        FUZZ_CHECK(t.ltp > 0 && std::isfinite(t.ltp));
        FUZZ_CHECK(t.timestamp.isValid());
    }
    return 0;
}
