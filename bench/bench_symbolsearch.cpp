// Quick-add search per keystroke over a 150 000-record master: a query that matches nothing
// (the whole list is walked), a rare one, and a common prefix (stops after 15 matches). The
// baseline is a plain walk that upper-cases every symbol, the least any unindexed search does.
#include "ui/SymbolSearch.h"

#include <benchmark/benchmark.h>

#include <QList>

namespace {

const QList<IndianSymbolData>& master()
{
    static const QList<IndianSymbolData> records = [] {
        QList<IndianSymbolData> list;
        list.reserve(150000);
        for (int i = 0; i < 150000; ++i) {
            IndianSymbolData r;
            // Option-style names spread over a few hundred underlyings.
            r.symbol = QStringLiteral("STK%1%2CE").arg(i % 400).arg(20000 + i);
            r.exchange = QStringLiteral("NFO");
            r.token = QString::number(100000 + i);
            r.instrumentType = QStringLiteral("OPTSTK");
            r.expiry = QStringLiteral("2026-01-29");
            r.strike = float(i % 500);
            list.append(r);
        }
        list[149000].symbol = QStringLiteral("RAREONE");
        return list;
    }();
    return records;
}

void BM_UpperCaseWalkBaseline(benchmark::State& state)
{
    const QList<IndianSymbolData>& records = master();
    for (auto _ : state) {
        int hits = 0;
        for (const IndianSymbolData& r : records)
            hits += r.symbol.toUpper().contains(QLatin1String("ZZZZ"));
        benchmark::DoNotOptimize(hits);
    }
}

void searchFor(benchmark::State& state, const QString& query)
{
    const QList<IndianSymbolData> records = master();
    for (auto _ : state) {
        QList<IndianSymbolData> found = SymbolSearch::matches(records, query, QStringLiteral("Zerodha"));
        SymbolSearch::rank(found, query);
        benchmark::DoNotOptimize(found);
    }
}

void BM_SearchNoMatch(benchmark::State& state) { searchFor(state, QStringLiteral("ZZZZ")); }
void BM_SearchRare(benchmark::State& state) { searchFor(state, QStringLiteral("RAREONE")); }
void BM_SearchCommonPrefix(benchmark::State& state) { searchFor(state, QStringLiteral("STK1")); }

} // namespace

BENCHMARK(BM_UpperCaseWalkBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchNoMatch)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchRare)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchCommonPrefix)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
