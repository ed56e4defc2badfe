// Fyers tickers ("NSE:SBIN-EQ") of watchlist entries, and the way back from a ticker the stream
// names to the watchlist entry it belongs to. No sockets: lookups come in as pointers.
#pragma once

#include "core/MarketData.h"
#include "core/SettingsManager.h"
#include "symbols/IndianSymbolData.h"

#include <QHash>
#include <QPointer>
#include <QString>

class ISymbolLookup;

namespace FyersSymbols {

enum class Source { Record, CachedName, Fallback };

// The ticker of an instrument token: from its instrument record ("NSE:%1-EQ", "BSE:%1-EQ",
// "MCX:%1-COM", "<exchange>:%1-EQ"), else from its cached display name as an NSE equity, else
// "NSE:TOKEN_<last six>-EQ". `source` and `record` tell which rule applied and what was found.
QString tickerForToken(const QString& token, const ISymbolLookup* symbols, const SettingsManager* settings,
                       Source* source = nullptr, IndianSymbolData* record = nullptr);

// A watchlist entry as the stream subscribes it: a number by the token rule, a name holding ':'
// unchanged, any other name as an NSE equity.
QString tickerForItem(const QString& item, const ISymbolLookup* symbols, const SettingsManager* settings);

bool isNumber(const QString& item);

}  // namespace FyersSymbols

// Names the stream's ticks after the watchlist: the subscription rule above run backwards over the
// current watchlist. The answer is kept per ticker until invalidate() (watchlist, names or
// subscriptions changed).
class FyersTickerMap {
public:
    void setSettings(SettingsManager* settings);
    void setSymbolLookups(const ISymbolLookup* lookups);
    void invalidate() { built = false; }

    // Sets token (the watchlist entry), symbol and exchange of a tick whose token is a ticker. A
    // ticker no entry subscribes keeps its token; its symbol is the name inside the ticker.
    void name(TickData& tick);

    // The lookups and settings in use; null once they are gone.
    const ISymbolLookup* lookups() const;
    SettingsManager* settingsManager() const { return settings; }

private:
    struct Entry {
        QString token;
        QString symbol;
        QString exchange;
    };
    void rebuild();

    QPointer<SettingsManager> settings;
    const ISymbolLookup* symbols = nullptr;
    QPointer<QObject> symbolsGuard;  // set when the lookups are a QObject that may go away
    bool symbolsTracked = false;
    QHash<QString, Entry> owners;  // ticker -> watchlist entry
    bool built = false;
};
