// TradeJini frame decoding: packets per second against inflating and copying the same bytes, for
// frames of 50 packets and of one (the stream sends many of those: each pays for its inflation).
#include "brokers/tradejini/TradeJiniDecoder.h"
#include "symbols/ZlibInflate.h"

#include <QByteArray>
#include <QVector>

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstring>

namespace {

constexpr int kFrames = 64;  // distinct frames, so prices and times vary as on the wire

void putU32(QByteArray& out, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        out.append(char((v >> (8 * i)) & 0xff));
}

void tag32(QByteArray& out, quint8 tag, quint32 v)
{
    out.append(char(tag));
    putU32(out, v);
}

// A full L1 packet as the stream sends it: segment, token, prices, volume, OI, time, skipped tags.
QByteArray l1Packet(quint32 token, quint32 seq)
{
    QByteArray body;
    body.append(char(26)).append(char(token % 3 == 0 ? 3 : 1));
    tag32(body, 27, token);
    tag32(body, 29, 250000 + seq % 500);
    tag32(body, 30, 249000);
    tag32(body, 31, 251000);
    tag32(body, 32, 248000);
    tag32(body, 33, 0);
    tag32(body, 39, 100000 + seq);
    tag32(body, 44, 5000);
    // Times are whole seconds: at a few thousand ticks a second, many frames share one.
    tag32(body, 46, 1710474300 + seq / 400);
    body.append(char(55)).append(char(1));
    const int len = 3 + body.size();
    QByteArray p;
    p.append(char(len & 0xff)).append(char(len >> 8)).append(char(10));
    return p + body;
}

struct Frames {
    QVector<QByteArray> frames;
    qint64 payloadBytes = 0;
    explicit Frames(int packetsPerFrame)
    {
        quint32 seq = 0;
        for (int f = 0; f < kFrames; ++f) {
            QByteArray payload;
            for (int i = 0; i < packetsPerFrame; ++i)
                payload += l1Packet(1000 + quint32(i), seq++);
            uLongf len = compressBound(uLong(payload.size()));
            QByteArray z(int(len), Qt::Uninitialized);
            compress(reinterpret_cast<Bytef*>(z.data()), &len, reinterpret_cast<const Bytef*>(payload.constData()),
                     uLong(payload.size()));
            z.resize(int(len));
            QByteArray frame;
            putU32(frame, quint32(payload.size()));
            frame.append(char(1)).append('d');
            frames.append(frame + z);
            payloadBytes = payload.size();
        }
    }
};

const Frames& frames(int packetsPerFrame)
{
    static const Frames many(50), one(1);
    return packetsPerFrame == 1 ? one : many;
}

void countPackets(benchmark::State& state)
{
    const double packets = double(state.iterations()) * double(state.range(0));
    state.SetItemsProcessed(int64_t(packets));
    state.counters["packets/s"] = benchmark::Counter(packets, benchmark::Counter::kIsRate);
}

void BM_DecodeFrames(benchmark::State& state)
{
    const Frames& f = frames(int(state.range(0)));
    TradeJiniDecoder decoder;
    const qint64 received = 1710474300000LL;
    int i = 0;
    for (auto _ : state) {
        DecodedFrame frame = decoder.decode(f.frames[i++ % kFrames], received);
        benchmark::DoNotOptimize(frame.ticks.data());
    }
    countPackets(state);
}
BENCHMARK(BM_DecodeFrames)->Arg(50)->Arg(1);

// Baselines: inflate the same frames and copy the packets out, without decoding a field, through
// one zlib state reset between frames (as the decoder does) and through a state set up and torn
// down for every frame (as it did before: the cost one-packet frames feel most).
template <bool freshStream>
void BM_InflateAndCopyFrames(benchmark::State& state)
{
    const Frames& f = frames(int(state.range(0)));
    ZlibInflate::Inflater inflater(ZlibInflate::kZlib);
    QByteArray inflated;
    QByteArray copy(int(f.payloadBytes), Qt::Uninitialized);
    int i = 0;
    for (auto _ : state) {
        const QByteArray& frame = f.frames[i++ % kFrames];
        if (freshStream)
            ZlibInflate::inflate(frame.constData() + 6, frame.size() - 6, ZlibInflate::kZlib,
                                 TradeJiniDecoder::kMaxInflatedBytes, inflated);
        else
            inflater.inflate(frame.constData() + 6, frame.size() - 6, TradeJiniDecoder::kMaxInflatedBytes, inflated);
        std::memcpy(copy.data(), inflated.constData(), size_t(qMin(inflated.size(), copy.size())));
        benchmark::DoNotOptimize(copy.data());
    }
    countPackets(state);
}
BENCHMARK_TEMPLATE(BM_InflateAndCopyFrames, false)->Arg(50)->Arg(1);
BENCHMARK_TEMPLATE(BM_InflateAndCopyFrames, true)->Arg(50)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
