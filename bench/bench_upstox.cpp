// Upstox full-feed entries: decoded to ticks per second against copying the same bytes, and
// through the broker (naming and emitting each tick) with its per-tick log lines off and on.
#include "brokers/upstox/UpstoxBroker.h"
#include "brokers/upstox/UpstoxDecoder.h"
#include "support/UpstoxFrames.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QMetaMethod>
#include <QVector>

#include <benchmark/benchmark.h>

#include <cstring>


namespace {

constexpr int kEntriesPerFrame = 50;
constexpr int kFrames = 64;

using UpstoxFrames::varint;

QByteArray field(quint32 number, int wireType) { return UpstoxFrames::tag(number, wireType); }
QByteArray dbl(quint32 number, double d) { return UpstoxFrames::doubleField(number, d); }
QByteArray bytes(quint32 number, const QByteArray& b) { return UpstoxFrames::bytesField(number, b); }

QString keyOf(int i)
{
    return QStringLiteral("NSE_FO|%1").arg(40000 + i);
}

// One "full" mode entry as the service sends it: nested trade with previous close, five-level
// book, greeks, day OHLC, ATP, volume, OI and the bid/ask totals.
QByteArray fullEntry(int instrument, quint32 seq)
{
    const QByteArray ltpc = dbl(1, 22150.0 + seq % 200) + field(2, 0) + varint(1710474300123ULL + seq) + field(3, 0)
        + varint(75 * (1 + seq % 4)) + dbl(4, 22010.25);
    QByteArray book;
    for (int l = 0; l < 5; ++l)
        book += bytes(1, field(1, 0) + varint(10 + l) + dbl(2, 22149.0 - l) + field(3, 0) + varint(20) + dbl(4, 22151.0 + l));
    QByteArray ohlc;
    for (int k = 0; k < 2; ++k)
        ohlc += bytes(1, dbl(2, 22000.0) + dbl(3, 22200.0) + dbl(4, 21950.0) + dbl(5, 22150.0));
    const QByteArray market = bytes(1, ltpc) + bytes(2, book) + bytes(3, dbl(1, 0.5) + dbl(2, 0.01) + dbl(3, 1.2))
        + bytes(4, ohlc) + dbl(5, 22100.0) + field(6, 0) + varint(1234567) + dbl(7, 9876500.0) + dbl(9, 1.0e6)
        + dbl(10, 2.0e6);
    const QByteArray feed = bytes(2, bytes(1, market));
    return bytes(2, bytes(1, keyOf(instrument).toUtf8()) + bytes(2, feed));
}

struct Frames {
    QVector<QByteArray> frames;
    Frames()
    {
        quint32 seq = 0;
        for (int f = 0; f < kFrames; ++f) {
            QByteArray frame;
            for (int i = 0; i < kEntriesPerFrame; ++i)
                frame += fullEntry(i, seq++);
            frames.append(frame);
        }
    }
};

const Frames& frames()
{
    static const Frames f;
    return f;
}

void BM_DecodeFrames(benchmark::State& state)
{
    const Frames& f = frames();
    UpstoxDecoder decoder;
    const qint64 received = 1710474300123LL;
    int i = 0;
    for (auto _ : state) {
        DecodedFrame r = decoder.decode(f.frames[i++ % kFrames], received);
        benchmark::DoNotOptimize(r.ticks.data());
    }
    state.counters["entries/s"] =
        benchmark::Counter(double(state.iterations()) * kEntriesPerFrame, benchmark::Counter::kIsRate);
    state.counters["frame bytes"] = double(f.frames[0].size());
}
BENCHMARK(BM_DecodeFrames);

// Baseline: copy the same frames once, touching every byte.
void BM_CopyFrames(benchmark::State& state)
{
    const Frames& f = frames();
    QByteArray copy(f.frames[0].size() * 2, Qt::Uninitialized);
    int i = 0;
    for (auto _ : state) {
        const QByteArray& frame = f.frames[i++ % kFrames];
        std::memcpy(copy.data(), frame.constData(), size_t(frame.size()));
        benchmark::DoNotOptimize(copy.data());
    }
    state.counters["entries/s"] =
        benchmark::Counter(double(state.iterations()) * kEntriesPerFrame, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CopyFrames);

void discardMessage(QtMsgType, const QMessageLogContext&, const QString&) {}

// The broker's frame slot, the per-tick category off (0) or on (1). The lines are put together
// but not written anywhere: the row shows what building them costs the tick path.
void BM_BrokerPath(benchmark::State& state)
{
    const bool on = state.range(0) != 0;
    QLoggingCategory::setFilterRules(on ? QString() : QStringLiteral("tickvane.ticks.debug=false"));
    const QtMessageHandler previous = qInstallMessageHandler(discardMessage);
    const Frames& f = frames();
    UpstoxBroker broker;
    const QMetaObject* meta = broker.metaObject();
    const QMetaMethod slot = meta->method(meta->indexOfSlot("onWsBinaryMessage(QByteArray)"));
    int i = 0;
    for (auto _ : state)
        slot.invoke(&broker, Qt::DirectConnection, Q_ARG(QByteArray, f.frames[i++ % kFrames]));
    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules(QString());
    state.counters["entries/s"] =
        benchmark::Counter(double(state.iterations()) * kEntriesPerFrame, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BrokerPath)->ArgName("lines")->Arg(0)->Arg(1);

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
