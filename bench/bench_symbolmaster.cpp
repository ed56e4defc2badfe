// Symbol-master parsers of the symbol manager dialog against a baseline that only decodes the
// same bytes and counts their lines and commas (the floor any parser of the text must pay).
#include "ui/dialogs/FyersSymbolDetailsParser.h"
#include "ui/dialogs/HeaderMasterParser.h"
#include "ui/dialogs/PositionalMasterParser.h"

#include <QByteArray>
#include <QString>

#include <benchmark/benchmark.h>

namespace {

const int kRows = 100000;

QByteArray zerodhaMaster()
{
    QByteArray out = "instrument_token,exchange_token,tradingsymbol,name,last_price,expiry,strike,tick_size,"
                     "lot_size,instrument_type,segment,exchange\n";
    for (int i = 0; i < kRows; ++i)
        out += QByteArray::number(100000 + i * 7) + "," + QByteArray::number(400 + i) + ",NIFTY25JAN" +
               QByteArray::number(17000 + i) + "CE,NIFTY,0,2025-01-30," + QByteArray::number(17000 + i) +
               ",0.05,50,CE,NFO-OPT,NFO\n";
    return out;
}

QByteArray flatTradeMaster()
{
    QByteArray out = "Exchange,Token,LotSize,Symbol,TradingSymbol,Instrument,Expiry,Strike,OptionType,ISIN\n";
    for (int i = 0; i < kRows; ++i)
        out += "NSE," + QByteArray::number(1000 + i) + ",1,SYM" + QByteArray::number(i) + ",SYM" +
               QByteArray::number(i) + "-EQ,EQ,,0,XX,INE" + QByteArray::number(100000 + i) + "01018\n";
    return out;
}

QByteArray fyersDetails()
{
    QByteArray out = "Fytoken,Symbol Details,Type,Lot,Tick,ISIN,Session,Updated,Expiry,Ticker,Exchange,Segment,"
                     "Scrip code,Underlying symbol,Underlying scrip code,Strike,Option,Underlying token\n";
    for (int i = 0; i < kRows; ++i)
        out += "10100000" + QByteArray::number(i) + ",\"SYM" + QByteArray::number(i) +
               " LTD\",0,1,0.05,INE" + QByteArray::number(100000 + i) + "01018,0915-1530|1815-1915:,1700000000,,NSE:SYM" +
               QByteArray::number(i) + "-EQ,10,0," + QByteArray::number(i) + ",SYM" + QByteArray::number(i) +
               ",-1,-1.0,XX,101000000" + QByteArray::number(i) + "\n";
    return out;
}

// Decode and count: what every parser does before it looks at a single field.
void BM_Baseline_DecodeAndCount(benchmark::State& state, QByteArray (*make)())
{
    const QByteArray data = make();
    for (auto _ : state) {
        const QString text = QString::fromUtf8(data);
        benchmark::DoNotOptimize(text.count(QLatin1Char('\n')) + text.count(QLatin1Char(',')));
    }
    state.SetBytesProcessed(state.iterations() * data.size());
}

void BM_Zerodha(benchmark::State& state)
{
    const QByteArray data = zerodhaMaster();
    for (auto _ : state)
        benchmark::DoNotOptimize(PositionalMasterParser::parseZerodha(data));
    state.SetBytesProcessed(state.iterations() * data.size());
}

void BM_FlatTrade(benchmark::State& state)
{
    const QByteArray data = flatTradeMaster();
    for (auto _ : state)
        benchmark::DoNotOptimize(HeaderMasterParser::parseFlatTrade(data));
    state.SetBytesProcessed(state.iterations() * data.size());
}

void BM_Fyers(benchmark::State& state)
{
    const QByteArray data = fyersDetails();
    for (auto _ : state)
        benchmark::DoNotOptimize(HeaderMasterParser::parseFyers(data, QStringLiteral("NSE")));
    state.SetBytesProcessed(state.iterations() * data.size());
}

void BM_FyersSelector(benchmark::State& state)
{
    const QByteArray data = fyersDetails();
    for (auto _ : state)
        benchmark::DoNotOptimize(FyersSymbolDetailsParser::parse(data));
    state.SetBytesProcessed(state.iterations() * data.size());
}

}  // namespace

BENCHMARK_CAPTURE(BM_Baseline_DecodeAndCount, zerodha, zerodhaMaster)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Zerodha)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Baseline_DecodeAndCount, flattrade, flatTradeMaster)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FlatTrade)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Baseline_DecodeAndCount, fyers, fyersDetails)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fyers)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FyersSelector)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
