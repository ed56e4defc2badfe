// Turns watchlist items into a broker's subscription keys, and builds the wire messages the main
// window writes on its own stream socket. No sockets or widgets: lookups come in as pointers.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class ISymbolLookup;
class SettingsManager;
class SymbolRepository;

class SubscriptionKeys
{
public:
    // Where tokens, exchanges and names are looked up; any pointer may be null.
    struct Lookups {
        const ISymbolLookup* symbols = nullptr;      // the symbol manager's lookups
        const SymbolRepository* repository = nullptr;
        const SettingsManager* settings = nullptr;     // cached display names
    };

    struct Result {
        QStringList keys;
        // The broker's instrument master is needed to resolve these items (TradeJini and
        // FlatTrade when nothing resolved, Zerodha always): the caller loads it when missing.
        bool needsSymbolMaster = false;
        // Items that gave no key, and why, in a few words.
        QStringList unresolved;
        QString reason;
    };

    // An item is a number when it converts as a base-10 64-bit integer.
    static bool isNumber(const QString& item, qint64* value = nullptr);
    static bool isPositiveNumber(const QString& item);

    // Keys for IBroker::subscribeLiveData, in watchlist order, for a provider index.
    static Result brokerKeys(int provider, const QStringList& items, const Lookups& lookups);

    // The Fyers symbol of a token: from its instrument record, else its cached name, else the
    // "NSE:TOKEN_<last six>-EQ" stand-in. `logPrefix` starts the line that says which.
    static QString fyersSymbolForToken(const QString& token, const Lookups& lookups,
                                       const char* logPrefix);
    // A watchlist item as the own Fyers stream subscribes it.
    static QString ownStreamFyersSymbol(const QString& item, const Lookups& lookups);

    // Own-stream wire messages, compact JSON.
    static QString fyersAuthMessage(const QString& accessToken, const QString& clientId);
    static QString fyersSubscriptionMessage(const QStringList& symbols);
    static QString fyersResumeMessage();
    static QString fyersPingMessage();
    static QString zerodhaModeMessage(const QList<qint64>& tokens);
};
