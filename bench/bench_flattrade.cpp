// FlatTrade stream decoding: touchline update frames into ticks, against parsing the same texts with
// QJsonDocument alone (no field read, no tick made).
#include "brokers/flattrade/FlatTradeDecoder.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QVector>

#include <benchmark/benchmark.h>

namespace {

constexpr int kInstruments = 50;
constexpr int kFrames = 1024;  // distinct texts, so prices, volumes and times vary as on the wire
constexpr qint64 kReceivedMs = 1788237300000;

struct Frames {
    QVector<QByteArray> snapshots;
    QVector<QByteArray> updates;
    Frames()
    {
        for (int i = 0; i < kInstruments; ++i)
            snapshots.append(QStringLiteral(R"({"t":"tk","e":"NSE","tk":"%1","ts":"SYM%1-EQ","pp":"2","ls":"1",)"
                                            R"("ti":"0.05","lp":"1309.40","pc":"0.45","c":"1303.50","o":"1301.00",)"
                                            R"("h":"1312.00","l":"1299.10","ap":"1306.77","v":"4210533","bp1":"1309.30",)"
                                            R"("sp1":"1309.40","bq1":"120","sq1":"85","ft":"1788237300"})")
                                 .arg(1000 + i)
                                 .toUtf8());
        for (int f = 0; f < kFrames; ++f) {
            const int token = 1000 + f % kInstruments;
            const QString price = QString::number(1300.0 + (f % 400) * 0.05, 'f', 2);
            // Updates carry what changed: most a price and volume, some only the best bid.
            if (f % 4 == 3)
                updates.append(QStringLiteral(R"({"t":"tf","e":"NSE","tk":"%1","bp1":"%2","bq1":"%3","ft":"%4"})")
                                   .arg(token)
                                   .arg(price)
                                   .arg(10 + f % 90)
                                   .arg(1788237300 + f / 100)
                                   .toUtf8());
            else
                updates.append(QStringLiteral(R"({"t":"tf","e":"NSE","tk":"%1","lp":"%2","pc":"0.46","ap":"1306.78",)"
                                              R"("v":"%3","ft":"%4"})")
                                   .arg(token)
                                   .arg(price)
                                   .arg(4210533 + f * 7)
                                   .arg(1788237300 + f / 100)
                                   .toUtf8());
        }
    }
};

const Frames& frames()
{
    static const Frames f;
    return f;
}

void setProductionLogLevel()
{
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
}

void BM_DecodeTouchlineUpdates(benchmark::State& state)
{
    setProductionLogLevel();
    const Frames& f = frames();
    FlatTradeDecoder decoder;
    for (const QByteArray& s : f.snapshots)
        decoder.decode(s, kReceivedMs);
    int i = 0;
    qint64 ticks = 0;
    for (auto _ : state) {
        const DecodedFrame out = decoder.decode(f.updates[i++ % kFrames], kReceivedMs);
        ticks += out.ticks.size();
        benchmark::DoNotOptimize(out.ticks.constData());
    }
    if (ticks != state.iterations())
        state.SkipWithError("an update frame gave no tick");
    state.SetItemsProcessed(state.iterations());
    state.counters["frames/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeTouchlineUpdates);

// Baseline: the same texts parsed into a QJsonObject and nothing more.
void BM_QJsonDocumentParseOnly(benchmark::State& state)
{
    setProductionLogLevel();
    const Frames& f = frames();
    int i = 0;
    for (auto _ : state) {
        const QJsonDocument doc = QJsonDocument::fromJson(f.updates[i++ % kFrames]);
        benchmark::DoNotOptimize(doc.isObject());
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["frames/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_QJsonDocumentParseOnly);

}  // namespace

BENCHMARK_MAIN();
