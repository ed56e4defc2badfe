// Turns watchlist items into a broker's subscription keys, and builds the wire messages the main
// window writes on its own stream socket. No sockets or widgets: lookups come in as pointers.
#include "ui/SubscriptionKeys.h"

#include "brokers/ISymbolLookup.h"
#include "brokers/fyers/FyersSymbols.h"
#include "core/SettingsManager.h"
#include "symbols/SymbolRepository.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString compact(const QJsonObject& o)
{
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

// Exchange of a token: the repository first, then the symbol manager's record.
QString exchangeOf(const QString& token, const SubscriptionKeys::Lookups& l)
{
    QString exchange;
    if (l.repository)
        exchange = l.repository->exchangeForToken(token);
    if (exchange.isEmpty() && l.symbols) {
        const IndianSymbolData r = l.symbols->symbolByToken(token);
        if (r.isFound())
            exchange = r.exchange;
    }
    return exchange;
}

// A numeric item is its own token; a name is looked up in the symbol manager.
QString tokenOf(const QString& item, const SubscriptionKeys::Lookups& l)
{
    if (SubscriptionKeys::isNumber(item))
        return item;
    return l.symbols ? l.symbols->findSymbol(item) : QString();
}

QStringList tradeJiniKeys(const QStringList& items, const SubscriptionKeys::Lookups& l, bool* none,
                          QStringList* unresolved)
{
    QStringList keys;
    for (const QString& item : items) {
        const QString token = tokenOf(item, l);
        const QString exchange = token.isEmpty() ? QString() : exchangeOf(token, l);
        if (!token.isEmpty() && !exchange.isEmpty()) {
            const QString key = QStringLiteral("%1_%2").arg(token, exchange);
            keys << key;
            qDebug() << "[MainWindow->TradeJini] Prepared key" << key << "for item" << item;
        } else {
            qDebug() << "[MainWindow->TradeJini] Could not resolve token/exchange for" << item;
            *unresolved << item;
        }
    }
    if (keys.isEmpty())
        qDebug() << "[MainWindow->TradeJini] No TradeJini keys prepared - triggering symbol master "
                    "load if available";
    else
        qDebug() << "[MainWindow->TradeJini] Prepared" << keys.size() << "TradeJini subscription keys";
    *none = keys.isEmpty();
    return keys;
}

QStringList flatTradeKeys(const QStringList& items, const SubscriptionKeys::Lookups& l, bool* none,
                          QStringList* unresolved)
{
    qDebug() << "Forming symbols";
    QStringList keys;
    for (const QString& item : items) {
        const QString token = tokenOf(item, l);
        if (token.isEmpty()) {
            qDebug() << "[MainWindow->FlatTrade] Could not resolve token for" << item;
            *unresolved << item;
            continue;
        }
        QString exchange = exchangeOf(token, l);
        if (exchange.isEmpty())
            exchange = QStringLiteral("NSE");
        const QString key = QStringLiteral("%1|%2").arg(exchange, token);
        keys << key;
        qDebug() << "[MainWindow->FlatTrade] Prepared key" << key << "for item" << item;
    }
    if (keys.isEmpty())
        qDebug() << "[MainWindow->FlatTrade] No FlatTrade keys prepared - triggering symbol master "
                    "load if available";
    else
        qDebug() << "[MainWindow->FlatTrade] Prepared" << keys.size() << "FlatTrade subscription keys";
    *none = keys.isEmpty();
    return keys;
}

QStringList angelOneKeys(const QStringList& items, QStringList* unresolved)
{
    QStringList keys;
    for (const QString& item : items) {
        if (SubscriptionKeys::isPositiveNumber(item)) {
            keys << item;
            qDebug() << "[MainWindow->AngelOne] Token" << item << "added for subscription";
        } else {
            qDebug() << "[MainWindow->AngelOne] Invalid token:" << item;
            *unresolved << item;
        }
    }
    if (keys.isEmpty())
        qDebug() << "[MainWindow->AngelOne] No valid tokens to send";
    else
        qDebug() << "[MainWindow->AngelOne] Prepared" << keys.size() << "tokens for subscription";
    return keys;
}

QStringList zerodhaKeys(const QStringList& items, const SubscriptionKeys::Lookups& l, QStringList* unresolved)
{
    QStringList keys;
    for (const QString& item : items) {
        QString token;
        if (SubscriptionKeys::isPositiveNumber(item))
            token = item;
        else if (l.symbols)
            token = l.symbols->findSymbol(item);
        if (token.isEmpty()) {
            qDebug() << "[MainWindow->Zerodha] No instrument token found for" << item;
            *unresolved << item;
        } else if (SubscriptionKeys::isPositiveNumber(token)) {
            keys << token;
            qDebug() << "[MainWindow->Zerodha] Token" << token << "added for symbol" << item;
        } else {
            qDebug() << "[MainWindow->Zerodha] Invalid token for" << item << "->" << token;
            *unresolved << item;
        }
    }
    if (keys.isEmpty())
        qDebug() << "[MainWindow->Zerodha] No valid tokens to send to broker implementation";
    else
        qDebug() << "[MainWindow->Zerodha] Prepared" << keys.size() << "tokens for subscription";
    return keys;
}

} // namespace

bool SubscriptionKeys::isNumber(const QString& item, qint64* value)
{
    bool ok = false;
    const qint64 v = item.toLongLong(&ok, 10);
    if (value)
        *value = ok ? v : 0;
    return ok;
}

bool SubscriptionKeys::isPositiveNumber(const QString& item)
{
    qint64 v = 0;
    return isNumber(item, &v) && v > 0;
}

SubscriptionKeys::Result SubscriptionKeys::brokerKeys(int provider, const QStringList& items,
                                                      const Lookups& lookups)
{
    Result r;
    bool none = false;
    switch (provider) {
    case SettingsManager::TradeJini:
        r.keys = tradeJiniKeys(items, lookups, &none, &r.unresolved);
        r.needsSymbolMaster = none;
        r.reason = QStringLiteral("no token and exchange found in the instrument master");
        break;
    case SettingsManager::FlatTrade:
        r.keys = flatTradeKeys(items, lookups, &none, &r.unresolved);
        r.needsSymbolMaster = none;
        r.reason = QStringLiteral("no token found in the instrument master");
        break;
    case SettingsManager::AngelOne:
        r.keys = angelOneKeys(items, &r.unresolved);
        r.reason = QStringLiteral("not a token number");
        break;
    case SettingsManager::Zerodha:
        r.keys = zerodhaKeys(items, lookups, &r.unresolved);
        r.needsSymbolMaster = true;
        r.reason = QStringLiteral("no instrument token found in the instrument master");
        break;
    case SettingsManager::Fyers:
        for (const QString& item : items)
            r.keys << (isNumber(item) ? fyersSymbolForToken(item, lookups, "[MainWindow->Fyers] Token")
                                      : item);
        break;
    default:
        // Dhan, Upstox and anything else take the items as they are.
        r.keys = items;
        break;
    }
    return r;
}

QString SubscriptionKeys::fyersSymbolForToken(const QString& token, const Lookups& lookups,
                                              const char* logPrefix)
{
    // The broker road and the own stream word their log lines differently.
    const bool own = QByteArray(logPrefix).startsWith("[Fyers]");
    FyersSymbols::Source source = FyersSymbols::Source::Fallback;
    IndianSymbolData r;
    const QString key = FyersSymbols::tickerForToken(token, lookups.symbols, lookups.settings, &source, &r);
    switch (source) {
    case FyersSymbols::Source::Record:
        if (own)
            qDebug() << logPrefix << token << "-> Exchange:" << r.exchange << "Symbol:" << r.symbol
                     << "-> Scripcode:" << key;
        else
            qDebug() << logPrefix << token << "->" << key;
        break;
    case FyersSymbols::Source::CachedName:
        qDebug() << logPrefix << token << "-> Cached Symbol:" << lookups.settings->symbolDisplayName(token)
                 << (own ? "-> Scripcode:" : "->") << key;
        break;
    case FyersSymbols::Source::Fallback:
        qDebug() << logPrefix << token
                 << (own ? "-> No symbol data, using fallback:" : "-> Fallback scripcode:") << key;
        break;
    }
    return key;
}

QString SubscriptionKeys::ownStreamFyersSymbol(const QString& item, const Lookups& lookups)
{
    if (isNumber(item))
        return fyersSymbolForToken(item, lookups, "[Fyers] Token");
    const QString symbol =
        item.contains(QLatin1Char(':')) ? item : QStringLiteral("NSE:%1-EQ").arg(item);
    qDebug() << "[Fyers] Symbol name" << item << "-> Scripcode:" << symbol;
    return symbol;
}

QString SubscriptionKeys::fyersAuthMessage(const QString& accessToken, const QString& clientId)
{
    return compact(QJsonObject{{QStringLiteral("type"), QStringLiteral("auth")},
                               {QStringLiteral("token"), accessToken},
                               {QStringLiteral("client_id"), clientId}});
}

QString SubscriptionKeys::fyersSubscriptionMessage(const QStringList& symbols)
{
    QJsonObject data{{QStringLiteral("subs"), 1},
                     {QStringLiteral("mode"), QStringLiteral("depth")},
                     {QStringLiteral("channel"), QStringLiteral("1")},
                     {QStringLiteral("symbols"), QJsonArray::fromStringList(symbols)}};
    return compact(QJsonObject{{QStringLiteral("type"), 1}, {QStringLiteral("data"), data}});
}

QString SubscriptionKeys::fyersResumeMessage()
{
    QJsonObject data{{QStringLiteral("resumeChannels"), QJsonArray{QStringLiteral("1")}},
                     {QStringLiteral("pauseChannels"), QJsonArray()}};
    return compact(QJsonObject{{QStringLiteral("type"), 2}, {QStringLiteral("data"), data}});
}

QString SubscriptionKeys::fyersPingMessage()
{
    // The depth stream's keep-alive is the bare text; it answers "pong".
    return QStringLiteral("ping");
}

QString SubscriptionKeys::zerodhaModeMessage(const QList<qint64>& tokens)
{
    QJsonArray list;
    for (qint64 t : tokens)
        list.append(QJsonValue(t));
    return compact(QJsonObject{{QStringLiteral("a"), QStringLiteral("mode")},
                               {QStringLiteral("v"), QJsonArray{QStringLiteral("full"), list}}});
}
