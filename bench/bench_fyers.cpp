// Fyers depth decoding: depth updates (5 levels a side, one ticker per message) into ticks, against
// copying the same bytes.
#include "brokers/fyers/FyersDecoder.h"
#include "support/UpstoxFrames.h"

#include <QByteArray>
#include <QVector>

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

constexpr int kTickers = 5;  // the service's limit per connection in depth mode
constexpr int kFrames = 200;

using UpstoxFrames::tag;
using UpstoxFrames::varint;

QByteArray bytes(quint32 number, const QByteArray& b) { return UpstoxFrames::bytesField(number, b); }
QByteArray wrapped(quint32 number, quint64 v) { return bytes(number, UpstoxFrames::varintField(1, v)); }

QByteArray tickerOf(int i)
{
    return QByteArray("NSE:NIFTY25MAR") + QByteArray::number(22000 + 50 * i) + "CE";
}

// One message as the service sends it: type, one feeds entry (key, MarketFeed with a five-level
// book a side, feed and send time, token, sequence, ticker), then the snapshot flag.
QByteArray depthMessage(int ticker, quint32 seq, bool snapshot)
{
    const qint64 mid = 2245000 + qint64(seq % 40) * 5;
    QByteArray depth = wrapped(1, 1824000 + seq) + wrapped(2, 1650000 + seq);
    for (int l = 0; l < 5; ++l)
        depth += bytes(3, wrapped(1, quint64(mid + 5 * (l + 1))) + wrapped(2, 75 * (l + 1 + seq % 3)) + wrapped(3, l + 2)
                              + wrapped(4, quint64(l)));
    for (int l = 0; l < 5; ++l)
        depth += bytes(4, wrapped(1, quint64(mid - 5 * (l + 1))) + wrapped(2, 50 * (l + 1 + seq % 5)) + wrapped(3, l + 1)
                              + wrapped(4, quint64(l)));
    const QByteArray feed = bytes(5, depth) + wrapped(6, 1741152602 + seq / 10) + wrapped(7, 1741152602 + seq / 10)
        + bytes(8, "101000000035001") + tag(9, 0) + varint(seq) + bytes(11, tickerOf(ticker));
    return tag(1, 0) + varint(6) + bytes(2, bytes(1, "101000000035001") + bytes(2, feed)) + tag(3, 0)
        + varint(snapshot ? 1 : 0);
}

struct Frames {
    QVector<QByteArray> snapshots;
    QVector<QByteArray> updates;
    std::size_t bytes = 0;
    Frames()
    {
        for (int t = 0; t < kTickers; ++t)
            snapshots << depthMessage(t, 0, true);
        for (int f = 0; f < kFrames; ++f) {
            updates << depthMessage(f % kTickers, quint32(f + 1), false);
            bytes += std::size_t(updates.last().size());
        }
    }
};

const Frames& frames()
{
    static const Frames f;
    return f;
}

void BM_FyersDecodeDepthUpdates(benchmark::State& state)
{
    const Frames& f = frames();
    FyersDecoder decoder;
    for (const QByteArray& s : f.snapshots)
        decoder.decode(s, 1741152602000);
    std::size_t ticks = 0;
    int i = 0;
    for (auto _ : state) {
        const DecodedFrame out = decoder.decode(f.updates[i], 1741152602000);
        ticks += std::size_t(out.ticks.size());
        benchmark::DoNotOptimize(out.ticks.constData());
        if (++i == kFrames)
            i = 0;
    }
    if (ticks != std::size_t(state.iterations()))
        state.SkipWithError("an update gave no tick");
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * qint64(f.bytes / kFrames));
    state.SetLabel("messages/s");
}
BENCHMARK(BM_FyersDecodeDepthUpdates);

// Baseline: a plain copy of the same messages.
void BM_FyersCopyMessages(benchmark::State& state)
{
    const Frames& f = frames();
    char buffer[4096];
    int i = 0;
    for (auto _ : state) {
        const QByteArray& m = f.updates[i];
        std::memcpy(buffer, m.constData(), std::size_t(m.size()));
        benchmark::DoNotOptimize(buffer);
        benchmark::ClobberMemory();
        if (++i == kFrames)
            i = 0;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * qint64(f.bytes / kFrames));
    state.SetLabel("messages/s");
}
BENCHMARK(BM_FyersCopyMessages);

}  // namespace

BENCHMARK_MAIN();
