// Zerodha stream decoding: messages of 50 full-mode packets into ticks, packets per second against
// copying the same bytes.
#include "brokers/zerodha/ZerodhaDecoder.h"

#include <QByteArray>
#include <QDateTime>
#include <QVector>

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

constexpr int kPacketsPerMessage = 50;
constexpr int kMessages = 16;  // each with its own trade times, so no message repeats the last one's stamps
constexpr int kFullPacket = 184;

void put16(QByteArray& out, int offset, quint16 v)
{
    out[offset] = char(v >> 8);
    out[offset + 1] = char(v & 0xff);
}

void put32(QByteArray& out, int offset, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        out[offset + i] = char((v >> (24 - 8 * i)) & 0xff);
}

// One message: 50 NSE instruments in full mode, prices and volumes varying, every trade time new.
QByteArray message(int index, quint32 baseSecs)
{
    QByteArray m(2 + kPacketsPerMessage * (2 + kFullPacket), '\0');
    put16(m, 0, kPacketsPerMessage);
    int pos = 2;
    for (int i = 0; i < kPacketsPerMessage; ++i) {
        put16(m, pos, kFullPacket);
        const int p = pos + 2;
        const quint32 token = (quint32(1000 + i) << 8) | 1;
        const quint32 price = 100000 + quint32(i * 37 + index);
        put32(m, p + 0, token);
        put32(m, p + 4, price);
        put32(m, p + 8, 10 + quint32(i));
        put32(m, p + 16, 1000000 + quint32(index * 50 + i));
        put32(m, p + 28, price - 500);
        put32(m, p + 32, price + 900);
        put32(m, p + 36, price - 800);
        put32(m, p + 44, baseSecs + quint32(index));
        put32(m, p + 48, 25000);
        put32(m, p + 60, baseSecs + quint32(index));
        pos = p + kFullPacket;
    }
    return m;
}

struct Messages {
    QVector<QByteArray> frames;
    Messages()
    {
        const auto base = quint32(QDateTime::currentSecsSinceEpoch());
        for (int i = 0; i < kMessages; ++i)
            frames.append(message(i, base));
    }
};

const Messages& messages()
{
    static const Messages m;
    return m;
}

void BM_DecodeFullMessages(benchmark::State& state)
{
    const Messages& m = messages();
    ZerodhaDecoder decoder;
    const qint64 received = QDateTime::currentMSecsSinceEpoch();
    int i = 0;
    for (auto _ : state) {
        DecodedFrame out = decoder.decode(m.frames[i], received);
        benchmark::DoNotOptimize(out.ticks.data());
        i = (i + 1) % kMessages;
    }
    state.SetItemsProcessed(state.iterations() * kPacketsPerMessage);
    state.SetBytesProcessed(state.iterations() * m.frames[0].size());
}
BENCHMARK(BM_DecodeFullMessages);

// Baseline: the same bytes copied, per packet of the same messages.
void BM_CopyMessageBytes(benchmark::State& state)
{
    const Messages& m = messages();
    std::vector<char> target(size_t(m.frames[0].size()));
    int i = 0;
    for (auto _ : state) {
        std::memcpy(target.data(), m.frames[i].constData(), target.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
        i = (i + 1) % kMessages;
    }
    state.SetItemsProcessed(state.iterations() * kPacketsPerMessage);
    state.SetBytesProcessed(state.iterations() * m.frames[0].size());
}
BENCHMARK(BM_CopyMessageBytes);

}  // namespace

BENCHMARK_MAIN();
