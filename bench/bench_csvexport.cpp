// CSV export cost: one live line against snprintf of the same fields, flush throughput against a
// plain write of the same bytes, and the once-a-second export of 2000 symbols.
#include "amibroker/CSVExporter.h"
#include "amibroker/CSVLineFormatter.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>

namespace {

TickData sampleTick(int i = 0)
{
    TickData t;
    t.symbol = QStringLiteral("NSE:SBIN");
    t.timestamp = QDateTime(QDate(2024, 3, 15), QTime(9, 15, 3));
    t.ltp = 761.45 + i * 0.05;
    t.open = 760.1;
    t.high = 762.0 + i * 0.05;
    t.low = 758.25;
    t.volume = 3456789.0 + i;
    t.openInterest = 12000;
    return t;
}

const QString kSymbol = QStringLiteral("NSE:SBIN");

void BM_FormatLine(benchmark::State& state)
{
    const TickData t = sampleTick();
    for (auto _ : state)
        benchmark::DoNotOptimize(CSVLineFormatter::amiBrokerLine(kSymbol, t));
}
BENCHMARK(BM_FormatLine);

// Baseline: the same nine fields with snprintf into a stack buffer (no QString at all).
void BM_SnprintfLine(benchmark::State& state)
{
    const TickData t = sampleTick();
    const QByteArray symbol = kSymbol.toUtf8();
    char buf[256];
    for (auto _ : state) {
        const QDate d = t.timestamp.date();
        const QTime tm = t.timestamp.time();
        const int n = std::snprintf(buf, sizeof buf, "%s,%04d-%02d-%02d,%02d:%02d:%02d,%.2f,%.2f,%.2f,%.2f,%lld,%lld\n",
                                    symbol.constData(), d.year(), d.month(), d.day(), tm.hour(), tm.minute(),
                                    tm.second(), t.open, t.high, t.low, t.ltp, (long long)std::trunc(t.volume),
                                    (long long)std::trunc(t.openInterest));
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(buf);
    }
}
BENCHMARK(BM_SnprintfLine);

// For reference: the obvious Qt way, an arg() chain with toString() date and time.
void BM_QtArgLine(benchmark::State& state)
{
    const TickData t = sampleTick();
    for (auto _ : state) {
        const QString line = QStringLiteral("%1,%2,%3,%4,%5,%6,%7,%8,%9\n")
                                 .arg(kSymbol, t.timestamp.toString(QStringLiteral("yyyy-MM-dd")),
                                      t.timestamp.toString(QStringLiteral("hh:mm:ss")), QString::number(t.open, 'f', 2),
                                      QString::number(t.high, 'f', 2), QString::number(t.low, 'f', 2),
                                      QString::number(t.ltp, 'f', 2), QString::number(qint64(t.volume)),
                                      QString::number(qint64(t.openInterest)));
        benchmark::DoNotOptimize(line);
    }
}
BENCHMARK(BM_QtArgLine);

struct ExporterFixture {
    QTemporaryDir dir;
    CSVExporter exporter{nullptr};
    ExporterFixture()
    {
        exporter.setExportDir(dir.filePath(QStringLiteral("export")));
        exporter.setAutoImportEnabled(false);
    }
};

// Flush of a 200 ms batch of lines (state.range(0) lines) into the live data file.
void BM_Flush(benchmark::State& state)
{
    ExporterFixture f;
    const int lines = int(state.range(0));
    qint64 bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        f.exporter.clearCsvDataFile();
        for (int i = 0; i < lines; ++i)
            f.exporter.writeHistoricalData(kSymbol, {sampleTick(i)}); // queues one line, no file write
        state.ResumeTiming();
        QMetaObject::invokeMethod(&f.exporter, "flushPendingLines", Qt::DirectConnection);
        state.PauseTiming();
        bytes += QFile(f.exporter.liveDataFilePath()).size();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_Flush)->Arg(1000)->Arg(20000)->Unit(benchmark::kMicrosecond);

// Baseline: appending the same bytes with one QFile write.
void BM_RawAppend(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("raw.csv"));
    QByteArray bytes;
    for (int i = 0; i < state.range(0); ++i)
        bytes += CSVLineFormatter::amiBrokerLine(kSymbol, sampleTick(i)).toUtf8();
    for (auto _ : state) {
        state.PauseTiming();
        QFile::remove(path);
        state.ResumeTiming();
        QFile file(path);
        file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
        file.write(bytes);
        file.close();
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
}
BENCHMARK(BM_RawAppend)->Arg(1000)->Arg(20000)->Unit(benchmark::kMicrosecond);

// The export timer's work with 2000 symbols: copy the latest ticks and format every line.
void BM_ExportCurrentData(benchmark::State& state)
{
    ExporterFixture f;
    f.exporter.setExportEnabled(false);
    for (int i = 0; i < state.range(0); ++i)
        f.exporter.onTickReceived(QStringLiteral("NSE:SYM%1").arg(i), sampleTick(i));
    f.exporter.setExportEnabled(true);
    for (auto _ : state) {
        f.exporter.exportCurrentData();
        state.PauseTiming();
        QMetaObject::invokeMethod(&f.exporter, "flushPendingLines", Qt::DirectConnection);
        f.exporter.clearCsvDataFile();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ExportCurrentData)->Arg(2000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
