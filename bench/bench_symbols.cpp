// Instrument master hot paths: parsing with indexing, gunzip against a bare zlib loop, lookups.
#include "symbols/SymbolRepository.h"
#include "symbols/ZlibInflate.h"

#include <QByteArray>
#include <QtGlobal>

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <random>

namespace {

void silence(QtMsgType, const QMessageLogContext&, const QString&) {}

// A Zerodha-shaped master: the columns and widths of the real file.
QByteArray makeMaster(int rows)
{
    QByteArray out = "instrument_token,exchange_token,tradingsymbol,name,last_price,expiry,strike,tick_size,"
                     "lot_size,instrument_type,segment,exchange\n";
    out.reserve(rows * 96);
    for (int i = 0; i < rows; ++i) {
        out += QByteArray::number(100000 + i * 7) + "," + QByteArray::number(400 + i) + ",NIFTY25JAN"
            + QByteArray::number(17000 + i) + "CE,\"NIFTY\",0,2025-01-30," + QByteArray::number(17000 + i)
            + ",0.05,50,CE,NFO-OPT,NFO\n";
    }
    return out;
}

QByteArray gzipBytes(const QByteArray& data)
{
    z_stream zs{};
    deflateInit2(&zs, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&zs, uLong(data.size()))) + 32, Qt::Uninitialized);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    zs.avail_in = uInt(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = uInt(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(int(zs.total_out));
    deflateEnd(&zs);
    return out;
}

const QByteArray& master100k()
{
    static const QByteArray m = makeMaster(100000);
    return m;
}

const QByteArray& gz20MB()
{
    static const QByteArray raw = makeMaster(220000);  // about 20 MB of CSV text
    static const QByteArray gz = gzipBytes(raw);
    return gz;
}

void BM_ParseAndIndexMaster100k(benchmark::State& state)
{
    qInstallMessageHandler(silence);
    const QByteArray& data = master100k();
    for (auto _ : state) {
        SymbolRepository repo;
        repo.addSymbols(SymbolRepository::parseForBroker(data, "Zerodha", "NFO"));
        benchmark::DoNotOptimize(repo.size());
    }
    state.SetBytesProcessed(state.iterations() * data.size());
    state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_ParseAndIndexMaster100k)->Unit(benchmark::kMillisecond);

void BM_GunzipData20MB(benchmark::State& state)
{
    const QByteArray& gz = gz20MB();
    qint64 outBytes = 0;
    for (auto _ : state) {
        const QByteArray out = gunzipData(gz);
        outBytes = out.size();
        benchmark::DoNotOptimize(out.constData());
    }
    state.SetBytesProcessed(state.iterations() * outBytes);
}
BENCHMARK(BM_GunzipData20MB)->Unit(benchmark::kMillisecond);

// Baseline: inflate into a buffer already sized for the result, 32 KB at a time.
void BM_ZlibInflateLoop20MB(benchmark::State& state)
{
    const QByteArray& gz = gz20MB();
    const QByteArray expected = gunzipData(gz);
    QByteArray out(expected.size() + 1, Qt::Uninitialized);
    for (auto _ : state) {
        z_stream zs{};
        inflateInit2(&zs, 31);
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.constData()));
        zs.avail_in = uInt(gz.size());
        int rc = Z_OK;
        size_t produced = 0;
        while (rc == Z_OK) {
            zs.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
            zs.avail_out = uInt(std::min<size_t>(32768, size_t(out.size()) - produced));
            const uInt before = zs.avail_out;
            rc = inflate(&zs, Z_NO_FLUSH);
            produced += before - zs.avail_out;
        }
        inflateEnd(&zs);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * expected.size());
}
BENCHMARK(BM_ZlibInflateLoop20MB)->Unit(benchmark::kMillisecond);

struct Lookups {
    SymbolRepository repo;
    QStringList symbols;
    QStringList tokens;
    Lookups()
    {
        qInstallMessageHandler(silence);
        repo.addSymbols(SymbolRepository::parseForBroker(master100k(), "Zerodha", "NFO"));
        const QList<IndianSymbolData> all = repo.allSymbols();
        std::mt19937 rng(7);
        for (int i = 0; i < 1024; ++i) {
            const IndianSymbolData& r = all.at(int(rng() % quint32(all.size())));
            symbols << r.symbol.toLower();  // callers pass watchlist text in any case
            tokens << r.token;
        }
    }
};

Lookups& lookups()
{
    static Lookups l;
    return l;
}

void BM_TokenForSymbol100k(benchmark::State& state)
{
    Lookups& l = lookups();
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(l.repo.tokenForSymbol(l.symbols.at(i++ & 1023)));
    }
}
BENCHMARK(BM_TokenForSymbol100k);

void BM_FindByToken100k(benchmark::State& state)
{
    Lookups& l = lookups();
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(l.repo.findByToken(l.tokens.at(i++ & 1023)));
    }
}
BENCHMARK(BM_FindByToken100k);

}  // namespace

BENCHMARK_MAIN();
