// Sliding EMA, SMA and RSI over a block history: after every push and peek the result has exactly the
// bits of the full walk over the same values, whatever the prices and whenever the history is cut or
// cleared behind the indicator's back.
#include "FuzzSeeds.h"
#include "backtest/Indicators.h"
#include "backtest/SlidingIndicator.h"

#include <algorithm>
#include <cstring>
#include <vector>

TICKVANE_FUZZ_SEEDS(QByteArray("\x00\x09\x00\x01\x02\x80\x7f\x00\x00\x00\x05", 11),
                    QByteArray("\x01\x02\x58\x10\x20\x30\xff\x01\x00\x00", 10),
                    QByteArray("\x02\x00\x0e\x81\x01\x01\x01\xfe\x40\x7f\x00", 11))

namespace {

quint64 bitsOf(double x)
{
    quint64 u;
    std::memcpy(&u, &x, sizeof(u));
    return u;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const auto kind = SlidingIndicator::Kind(data[0] % 3);
    const int period = 1 + ((data[1] << 8) | data[2]) % 1200;
    auto full = [&](const double* v, int n) {
        switch (kind) {
        case SlidingIndicator::Kind::Ema: return emaLatest(v, n, period);
        case SlidingIndicator::Kind::Sma: return smaLatest(v, n, period);
        default: return period < n ? computeRsi(v, n, period) : 50.0;
        }
    };
    SlidingIndicator sliding(kind, period);
    BlockHistory history;
    std::vector<double> next;
    double price = 1000.0;
    // The bytes are read round and round so that even short inputs slide past the history's cap.
    const size_t ops = size - 3;
    const size_t steps = std::max<size_t>(ops, 3 * BlockHistory::kCapacity);
    for (size_t i = 0; i < steps; ++i) {
        const uint8_t op = data[3 + i % ops];
        if (op == 0xff) {
            history.clear();
            continue;
        }
        if (op == 0xfe) {
            const int cut = std::min(history.size(), int(data[3 + (i + 1) % ops]));
            history.assign(history.data() + cut, history.size() - cut);
            continue;
        }
        price += (int(op) - 128) * 0.05;  // a tick move, or none for 0x80
        const double probe = price + 0.05;
        next.assign(1, probe);
        next.insert(next.end(), history.data(), history.data() + history.size());
        FUZZ_CHECK(bitsOf(sliding.peek(history, probe)) == bitsOf(full(next.data(), int(next.size()))));
        FUZZ_CHECK(bitsOf(sliding.push(history, price)) == bitsOf(full(history.data(), history.size())));
    }
    return 0;
}
