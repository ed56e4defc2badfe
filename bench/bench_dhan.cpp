// Dhan full packets: decoded to ticks per second against copying the same bytes.
#include "brokers/dhan/DhanDecoder.h"

#include <QByteArray>
#include <QDateTime>
#include <QVector>

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

constexpr int kPackets = 64;     // distinct packets, so ids, prices and times vary as on the wire
constexpr int kPacketSize = 162;  // the full packet the feed sends; the decoder reads the first 62

void putLe(QByteArray& out, int offset, const void* value, int width)
{
    quint32 bits = 0;
    std::memcpy(&bits, value, size_t(width));
    for (int i = 0; i < width; ++i)
        out[offset + i] = char((bits >> (8 * i)) & 0xff);
}

struct Packets {
    QVector<QByteArray> frames;
    QDateTime now = QDateTime::currentDateTime();
    Packets()
    {
        const qint32 base = qint32(now.toSecsSinceEpoch());
        for (int i = 0; i < kPackets; ++i) {
            QByteArray p(kPacketSize, '\0');
            const quint32 id = 1000 + quint32(i);
            const float ltp = 100.0f + float(i) * 0.05f;
            const qint32 ltt = base - i / 16;  // a few thousand ticks a second share their seconds
            const quint32 volume = 100000 + quint32(i);
            putLe(p, 4, &id, 4);
            putLe(p, 8, &ltp, 4);
            putLe(p, 14, &ltt, 4);
            putLe(p, 22, &volume, 4);
            putLe(p, 46, &ltp, 4);
            putLe(p, 54, &ltp, 4);
            putLe(p, 58, &ltp, 4);
            frames.append(p);
        }
    }
};

const Packets& packets()
{
    static const Packets p;
    return p;
}

// Decode plus the TickData built, one packet per frame as the feed sends them.
void BM_DecodeToTick(benchmark::State& state)
{
    const Packets& p = packets();
    DhanDecoder decoder;
    const qint64 received = p.now.toMSecsSinceEpoch();
    int i = 0;
    for (auto _ : state) {
        DecodedFrame frame = decoder.decode(p.frames[i], received);
        benchmark::DoNotOptimize(frame.ticks.data());
        i = (i + 1) % kPackets;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * kPacketSize);
}
BENCHMARK(BM_DecodeToTick);

// Baseline: copying the same bytes into a fresh frame, as the socket hand-off does.
void BM_CopyPacketBytes(benchmark::State& state)
{
    const Packets& p = packets();
    int i = 0;
    for (auto _ : state) {
        QByteArray copy(p.frames[i].constData(), kPacketSize);
        benchmark::DoNotOptimize(copy.data());
        i = (i + 1) % kPackets;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * kPacketSize);
}
BENCHMARK(BM_CopyPacketBytes);

}  // namespace

BENCHMARK_MAIN();
