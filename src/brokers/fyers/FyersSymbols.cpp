// Fyers tickers of watchlist entries and back.
#include "brokers/fyers/FyersSymbols.h"

#include "brokers/ISymbolLookup.h"
#include "core/SettingsManager.h"

namespace {

// "SBIN" of "NSE:SBIN-EQ", "BAJAJ-AUTO" of "NSE:BAJAJ-AUTO-EQ", "NIFTY25MARFUT" of
// "NSE:NIFTY25MARFUT": the name between the exchange and a short series suffix.
QString nameInTicker(const QString& ticker)
{
    QString name = ticker.mid(ticker.indexOf(QLatin1Char(':')) + 1);
    const int dash = name.lastIndexOf(QLatin1Char('-'));
    if (dash > 0 && name.size() - dash - 1 <= 5) {
        bool series = true;
        for (int i = dash + 1; i < name.size(); ++i)
            series = series && name.at(i).isUpper();
        if (series)
            name.truncate(dash);
    }
    return name;
}

QString exchangeInTicker(const QString& ticker)
{
    const int colon = ticker.indexOf(QLatin1Char(':'));
    return colon > 0 ? ticker.left(colon) : QString();
}

}  // namespace

bool FyersSymbols::isNumber(const QString& item)
{
    bool ok = false;
    item.toLongLong(&ok, 10);
    return ok;
}

QString FyersSymbols::tickerForToken(const QString& token, const ISymbolLookup* symbols,
                                     const SettingsManager* settings, Source* source, IndianSymbolData* record)
{
    if (symbols) {
        const IndianSymbolData r = symbols->symbolByToken(token);
        if (!r.token.isEmpty() && !r.symbol.isEmpty()) {
            if (source)
                *source = Source::Record;
            if (record)
                *record = r;
            if (r.exchange == QLatin1String("NSE"))
                return QStringLiteral("NSE:%1-EQ").arg(r.symbol);
            if (r.exchange == QLatin1String("BSE"))
                return QStringLiteral("BSE:%1-EQ").arg(r.symbol);
            if (r.exchange == QLatin1String("MCX"))
                return QStringLiteral("MCX:%1-COM").arg(r.symbol);
            return QStringLiteral("%1:%2-EQ").arg(r.exchange, r.symbol);
        }
    }
    const QString cached = settings ? settings->symbolDisplayName(token) : QString();
    if (!cached.isEmpty() && cached != token) {
        if (source)
            *source = Source::CachedName;
        return QStringLiteral("NSE:%1-EQ").arg(cached);
    }
    if (source)
        *source = Source::Fallback;
    return QStringLiteral("NSE:TOKEN_%1-EQ").arg(token.right(6));
}

QString FyersSymbols::tickerForItem(const QString& item, const ISymbolLookup* symbols, const SettingsManager* settings)
{
    if (isNumber(item))
        return tickerForToken(item, symbols, settings);
    return item.contains(QLatin1Char(':')) ? item : QStringLiteral("NSE:%1-EQ").arg(item);
}

// ---------------------------------------------------------------------------------------------

void FyersTickerMap::setSettings(SettingsManager* s)
{
    if (s == settings)
        return;
    settings = s;
    built = false;
}

void FyersTickerMap::setSymbolLookups(const ISymbolLookup* lookups)
{
    if (lookups == symbols)
        return;
    symbols = lookups;
    symbolsGuard = dynamic_cast<QObject*>(const_cast<ISymbolLookup*>(lookups));
    symbolsTracked = !symbolsGuard.isNull();
    built = false;
}

const ISymbolLookup* FyersTickerMap::lookups() const
{
    return symbolsTracked && symbolsGuard.isNull() ? nullptr : symbols;
}

void FyersTickerMap::rebuild()
{
    owners.clear();
    built = true;
    if (!settings)
        return;
    QStringList items = settings->watchlistForBroker(QStringLiteral("Fyers"));
    if (items.isEmpty())
        items = settings->watchlist();
    const ISymbolLookup* lookup = lookups();
    for (const QString& item : qAsConst(items)) {
        Entry e;
        e.token = item;
        QString ticker;
        if (FyersSymbols::isNumber(item)) {
            FyersSymbols::Source source = FyersSymbols::Source::Fallback;
            IndianSymbolData record;
            ticker = FyersSymbols::tickerForToken(item, lookup, settings, &source, &record);
            e.symbol = source == FyersSymbols::Source::Record ? record.symbol : nameInTicker(ticker);
            e.exchange = source == FyersSymbols::Source::Record ? record.exchange : exchangeInTicker(ticker);
        } else {
            ticker = FyersSymbols::tickerForItem(item, lookup, settings);
            e.symbol = nameInTicker(ticker);
            e.exchange = exchangeInTicker(ticker);
            // The connector subscribes such names unchanged: a stream naming them so is theirs too.
            owners.insert(item, e);
        }
        // The first entry with a ticker owns it, as the first row with a token gets its ticks.
        if (!owners.contains(ticker))
            owners.insert(ticker, e);
    }
}

void FyersTickerMap::name(TickData& tick)
{
    if (!built)
        rebuild();
    const auto it = owners.constFind(tick.token);
    if (it != owners.constEnd()) {
        tick.token = it->token;
        tick.symbol = it->symbol;
        tick.exchange = it->exchange;
        return;
    }
    tick.symbol = nameInTicker(tick.token);
    if (tick.exchange.isEmpty())
        tick.exchange = exchangeInTicker(tick.token);
}
