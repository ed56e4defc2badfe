// Pure text formatting of the CSV lines and file names handed to AmiBroker: no files, no logging.
#pragma once

#include "core/MarketData.h"

#include <QDateTime>
#include <QString>

namespace CSVLineFormatter {

// "yyyy-MM-dd" and "hh:mm:ss" (hours 00 to 23); empty text for an invalid date-time.
QString formatDate(const QDateTime& when);
QString formatTime(const QDateTime& when);

// Volume and open interest as whole numbers: truncated toward zero into 64 bits, so that day
// volumes beyond 2^31 survive; NaN and infinities become 0, values past the 64-bit range clamp.
qint64 truncateCount(double value);

// Appends value in fixed-point notation with two decimals ("2456.50"), point separator, no grouping.
void appendPrice(QString& out, double value);

// The main ("amibroker") line, ending in "\n":
//   Ticker,Date_YMD,Time,Open,High,Low,Close,Volume,OpenInt
// Open, high and low fall back to the last price when any of them is not above 0 (or NaN).
// In the symbol field of every line, ',' and control characters become "_".
QString amiBrokerLine(const QString& symbol, const TickData& tick);

// The "metastock" daily line: symbol, yyyyMMdd, the last price four times, volume.
QString metastockLine(const QString& symbol, const TickData& tick);
inline constexpr const char* kMetastockHeader = "Symbol,Date,Open,High,Low,Close,Volume\n";

// The tick line: symbol, "yyyy-MM-dd HH:mm:ss", last price, open, high, low, volume.
QString tickLine(const QString& symbol, const TickData& tick);
inline constexpr const char* kTickHeader = "Symbol,Timestamp,Price,Open,High,Low,Volume\n";

// The file-name stem of a symbol's history file ("%1_history.csv"): colon, slash, backslash,
// space, hyphen, < > " | ? * and control characters become "_". Empty when the symbol cannot
// name a file safely (empty, or reducing to "." or "..").
QString historyFileStem(const QString& symbol);

} // namespace CSVLineFormatter
