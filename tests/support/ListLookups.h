// The symbol manager's lookups over a fixed list of instruments, and a one-line instrument record.
#pragma once

#include "brokers/ISymbolLookup.h"

#include <QList>

inline IndianSymbolData instrument(const QString& symbol, const QString& exchange, const QString& token,
                                   const QString& type = QString(), const QString& expiry = QString(),
                                   float strike = 0.0f)
{
    IndianSymbolData r;
    r.symbol = symbol;
    r.exchange = exchange;
    r.token = token;
    r.instrumentType = type;
    r.expiry = expiry;
    r.strike = strike;
    return r;
}

class ListLookups : public ISymbolLookup
{
public:
    explicit ListLookups(QList<IndianSymbolData> list = {}) : records(std::move(list)) {}
    QList<IndianSymbolData> records;

    // By name, whatever the case and surrounding spaces.
    QString findSymbol(const QString& text) const override
    {
        for (const IndianSymbolData& r : records) {
            if (r.symbol.toUpper() == text.trimmed().toUpper())
                return r.token;
        }
        return {};
    }
    IndianSymbolData symbolByToken(const QString& token) const override
    {
        for (const IndianSymbolData& r : records) {
            if (r.token == token)
                return r;
        }
        return {};
    }
};
