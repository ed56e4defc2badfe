// AngelOne: record decoding against copying the same bytes, and scrip-master parsing against
// parsing the same JSON alone.
#include "brokers/angelone/AngelOneDecoder.h"
#include "brokers/angelone/AngelOneScripMaster.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QVector>

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

constexpr int kRecordsPerMessage = 50;
constexpr int kMessages = 64;
constexpr int kMasterEntries = 50000;

void put64(QByteArray& b, int offset, qint64 v)
{
    for (int i = 0; i < 8; ++i)
        b[offset + i] = char((quint64(v) >> (8 * i)) & 0xff);
}

// One mode-3 record as the stream sends it.
QByteArray record(int token, int seq)
{
    QByteArray b(AngelOneDecoder::kRecordSize, '\0');
    b[0] = 3;
    b[1] = char(token % 4 == 0 ? 2 : 1);
    const QByteArray t = QByteArray::number(token);
    std::memcpy(b.data() + 2, t.constData(), size_t(t.size()));
    put64(b, 35, 1710474300000LL + seq * 250);
    put64(b, 43, 250000 + seq % 500);
    put64(b, 51, 100 + seq);
    put64(b, 91, 249000);
    put64(b, 99, 251000);
    put64(b, 107, 248000);
    put64(b, 131, 1234500);
    return b;
}

struct Stream {
    QVector<QByteArray> messages;
    Stream()
    {
        int seq = 0;
        for (int m = 0; m < kMessages; ++m) {
            QByteArray msg;
            for (int i = 0; i < kRecordsPerMessage; ++i)
                msg += record(1000 + i, seq++);
            messages.append(msg);
        }
    }
};

const Stream& stream()
{
    static const Stream s;
    return s;
}

// Decode plus the TickData built for every record of a 50-record message.
void BM_DecodeRecords(benchmark::State& state)
{
    const Stream& s = stream();
    AngelOneDecoder decoder;
    const qint64 received = 1710474300000LL;
    int i = 0;
    for (auto _ : state) {
        DecodedFrame frame = decoder.decode(s.messages[i++ % kMessages], received);
        benchmark::DoNotOptimize(frame.ticks.data());
    }
    state.counters["records/s"] =
        benchmark::Counter(double(state.iterations()) * kRecordsPerMessage, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeRecords);

// Baseline: copy the same messages without decoding a field.
void BM_CopyRecords(benchmark::State& state)
{
    const Stream& s = stream();
    QByteArray copy(kRecordsPerMessage * AngelOneDecoder::kRecordSize, Qt::Uninitialized);
    int i = 0;
    for (auto _ : state) {
        const QByteArray& m = s.messages[i++ % kMessages];
        std::memcpy(copy.data(), m.constData(), size_t(m.size()));
        benchmark::DoNotOptimize(copy.data());
    }
    state.counters["records/s"] =
        benchmark::Counter(double(state.iterations()) * kRecordsPerMessage, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CopyRecords);

const QByteArray& master()
{
    static const QByteArray body = [] {
        QByteArray b = "[";
        for (int i = 0; i < kMasterEntries; ++i) {
            if (i)
                b += ",\n";
            b += QStringLiteral(R"({"token":"%1","symbol":"SYM%1%2","name":"SYM%1","expiry":"28MAR2024","strike":"-1.000000","lotsize":"1","instrumenttype":"%3","exch_seg":"%4","tick_size":"5.000000"})")
                     .arg(i)
                     .arg(i % 3 ? "-EQ" : "24MARFUT")
                     .arg(i % 3 ? "" : "FUTSTK")
                     .arg(i % 3 ? "nse_cm" : "nse_fo")
                     .toUtf8();
        }
        return b + "]";
    }();
    return body;
}

void BM_ParseScripMaster(benchmark::State& state)
{
    for (auto _ : state) {
        const AngelOneScripMaster::Result r = AngelOneScripMaster::parse(master());
        benchmark::DoNotOptimize(r.entries.data());
    }
    state.counters["entries/s"] =
        benchmark::Counter(double(state.iterations()) * kMasterEntries, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParseScripMaster)->Unit(benchmark::kMillisecond);

// Baseline: the JSON parse alone.
void BM_ParseJsonOnly(benchmark::State& state)
{
    for (auto _ : state) {
        const QJsonDocument doc = QJsonDocument::fromJson(master());
        benchmark::DoNotOptimize(doc.isArray());
    }
    state.counters["entries/s"] =
        benchmark::Counter(double(state.iterations()) * kMasterEntries, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParseJsonOnly)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
