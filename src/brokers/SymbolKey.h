// How texts naming instruments are compared. Two rules, for two questions:
// - normalize: the loose key ("NSE:INFY", "INFY-EQ" and "infy" all have the key "INFY") under
//   which the history queue finds the one request a reply may answer.
// - answers: whether a reply naming its own symbol answers a request for another text. Used where
//   a reply could come from any instrument (quote and history replies of the quote service), so it
//   tells BAJAJ-AUTO from BAJAJ-FINSV and NIFTY-I from NIFTY-II.
#pragma once

#include <QString>

namespace SymbolKey {

// Trimmed and upper-cased; only what follows the first ':' and precedes the first '-' after it;
// then only ASCII letters and digits and non-ASCII letters and numbers. May be empty.
QString normalize(const QString& text);

// Whether a reply naming `replied` answers a request for `asked`, ignoring case and blanks: the
// same name, perhaps with an exchange prefix ("NSE:") and perhaps with an equity series suffix
// ("-EQ", "-BE", ...), where neither contradicts one the request names. "NSE:BAJAJ-AUTO-EQ"
// answers "BAJAJ-AUTO", "BSE:INFY" does not answer "NSE:INFY", "INFY-BE" does not answer "INFY-EQ".
bool answers(const QString& replied, const QString& asked);

}  // namespace SymbolKey
