// Running EMA, SMA and RSI over a block's capped history: after every new value, on a history that is
// filling, sliding past its cap or cleared, the value is bit for bit the full walk over the history.
#include "FuzzSeeds.h"
#include "backtest/BlockHistory.h"
#include "backtest/Indicators.h"
#include "backtest/SlidingIndicator.h"

#include <cstring>

TICKVANE_FUZZ_SEEDS(QByteArray("\x00\x09\x01\x10\xf0\x22\x05\xfe\x80", 9), QByteArray("\x01\x14\x02\x7f\x81\x00\xfe", 7),
                    QByteArray("\x02\x03\x03\x01\xff\x02\xfe\x90\x40", 9), QByteArray("\x00\x02\xbc\x05\x06\x07", 6))

namespace {

bool sameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof(double)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const int kind = data[0] % 3;
    const int period = 1 + ((data[1] << 8 | data[2]) % 700);
    SlidingIndicator ind(kind == 0 ? SlidingIndicator::Kind::Ema
                         : kind == 1 ? SlidingIndicator::Kind::Sma
                                     : SlidingIndicator::Kind::Rsi,
                         period);
    auto full = [&](const double* newestFirst, int n) {
        if (kind == 0)
            return emaLatest(newestFirst, n, period);
        if (kind == 1)
            return smaLatest(newestFirst, n, period);
        return period < n ? computeRsi(newestFirst, n, period) : 50.0;
    };
    // The input steps a price walk, cycled long enough to slide well past the history's cap.
    const uint8_t* steps = data + 3;
    const size_t count = size - 3;
    BlockHistory history;
    double price = 1000.0;
    for (int i = 0; i < BlockHistory::kCapacity + 300; ++i) {
        const uint8_t b = steps[size_t(i) % count];
        if (b == 0xff) {  // a new day: the history starts afresh
            history.clear();
            continue;
        }
        price += double(int8_t(b)) * 0.25;
        if (b == 0xfe) {  // the developing value, left out of the history
            QVector<double> withValue{price};
            withValue += history.toVector();
            const int before = history.size();
            FUZZ_CHECK(sameBits(ind.peek(history, price), full(withValue.constData(), withValue.size())));
            FUZZ_CHECK(history.size() == before);
            continue;
        }
        const double got = ind.push(history, price);
        FUZZ_CHECK(history.size() <= BlockHistory::kCapacity);
        FUZZ_CHECK(sameBits(got, full(history.data(), history.size())));
    }
    return 0;
}
