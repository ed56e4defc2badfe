// The one rule by which two texts name the same instrument: "NSE:INFY", "INFY-EQ" and "infy" all
// have the key "INFY". History replies are matched to their requests with it, and quote and
// history replies that name their own symbol are checked against the request with it.
#pragma once

#include <QString>

namespace SymbolKey {

// Trimmed and upper-cased; only what follows the first ':' and precedes the first '-' after it;
// then only ASCII letters and digits and non-ASCII letters and numbers. May be empty.
QString normalize(const QString& text);

// Whether a reply naming `replied` answers a request for `asked`. Texts without a key (nothing
// but punctuation) are compared whole, ignoring case and outer blanks.
bool same(const QString& replied, const QString& asked);

}  // namespace SymbolKey
