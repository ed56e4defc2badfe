// Symbol lookups the history queue borrows from the symbol manager dialog.
#pragma once

#include "symbols/IndianSymbolData.h"

#include <QString>

class ISymbolLookup {
public:
    virtual ~ISymbolLookup() = default;
    // Token of the first loaded instrument whose upper-cased symbol equals the trimmed,
    // upper-cased text; empty when none does.
    virtual QString findSymbol(const QString& text) const = 0;
    // The instrument with that token; an empty record (empty symbol) when none has it.
    virtual IndianSymbolData symbolByToken(const QString& token) const = 0;
};
