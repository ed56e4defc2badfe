// Pure text formatting of AmiBroker CSV lines and history file names.
#include "amibroker/CSVLineFormatter.h"

#include <QLatin1String>

#include <charconv>
#include <cmath>
#include <limits>

namespace CSVLineFormatter {

namespace {

// Writes n as exactly `width` decimal digits (n >= 0, fits in width).
char* putDigits(char* p, int n, int width)
{
    for (int i = width - 1; i >= 0; --i) {
        p[i] = static_cast<char>('0' + n % 10);
        n /= 10;
    }
    return p + width;
}

void appendAscii(QString& out, const char* begin, const char* end)
{
    out.append(QLatin1String(begin, static_cast<int>(end - begin)));
}

void appendCount(QString& out, double value)
{
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, truncateCount(value));
    appendAscii(out, buf, res.ptr);
}

// Date as yyyy-MM-dd (separator '-') or yyyyMMdd (separator 0). Years outside 0..9999 go through
// Qt so that they read the same as Qt's own formatting.
void appendDate(QString& out, const QDate& date, char separator)
{
    if (!date.isValid())
        return;
    const int year = date.year();
    if (year < 0 || year > 9999) {
        out += date.toString(separator ? QStringLiteral("yyyy-MM-dd") : QStringLiteral("yyyyMMdd"));
        return;
    }
    char buf[10];
    char* p = putDigits(buf, year, 4);
    if (separator)
        *p++ = separator;
    p = putDigits(p, date.month(), 2);
    if (separator)
        *p++ = separator;
    p = putDigits(p, date.day(), 2);
    appendAscii(out, buf, p);
}

void appendTime(QString& out, const QTime& time)
{
    if (!time.isValid())
        return;
    char buf[8];
    char* p = putDigits(buf, time.hour(), 2);
    *p++ = ':';
    p = putDigits(p, time.minute(), 2);
    *p++ = ':';
    p = putDigits(p, time.second(), 2);
    appendAscii(out, buf, p);
}

bool isForbiddenInFileName(QChar c)
{
    switch (c.unicode()) {
    case ':':
    case '/':
    case '\\':
    case ' ':
    case '-':
    case '<':
    case '>':
    case '"':
    case '|':
    case '?':
    case '*':
        return true;
    default:
        return c.category() == QChar::Other_Control;
    }
}

// The symbol field: a separator or a line break in it (from a feed or an instrument master)
// would shift the price columns or start a forged quote line, so each becomes "_".
void appendSymbol(QString& out, const QString& symbol)
{
    const int start = out.size();
    out += symbol;
    for (int i = start; i < out.size(); ++i) {
        const QChar c = out.at(i);
        if (c == QLatin1Char(',') || c.category() == QChar::Other_Control)
            out[i] = QLatin1Char('_');
    }
}

} // namespace

QString formatDate(const QDateTime& when)
{
    QString out;
    if (when.isValid())
        appendDate(out, when.date(), '-');
    return out;
}

QString formatTime(const QDateTime& when)
{
    QString out;
    if (when.isValid())
        appendTime(out, when.time());
    return out;
}

qint64 truncateCount(double value)
{
    if (!std::isfinite(value))
        return 0;
    // 2^63 is exactly representable; anything at or past it does not fit.
    constexpr double kLimit = 9223372036854775808.0;
    if (value >= kLimit)
        return std::numeric_limits<qint64>::max();
    if (value <= -kLimit)
        return std::numeric_limits<qint64>::min();
    return static_cast<qint64>(value); // truncates toward zero
}

void appendPrice(QString& out, double value)
{
    if (std::isnan(value)) {
        out += QLatin1String("nan"); // as Qt writes it, whatever the sign bit
        return;
    }
    if (value == 0.0)
        value = 0.0; // Qt writes a negative zero without its sign
    // Fixed notation of a double needs at most 309 integer digits.
    char buf[330];
    const double eighths = value * 8.0;
    if (std::isfinite(eighths) && eighths == std::floor(eighths) && std::fmod(eighths, 2.0) != 0.0) {
        // An odd number of eighths ends in 125, 375, 625 or 875: an exact tie at two decimals.
        // Qt rounds ties away from zero where to_chars rounds them to even; write what Qt writes.
        // buf[0] stays free for a carry out of the first digit (9.995 -> 10.00).
        char* begin = buf + 1;
        const auto res = std::to_chars(begin, buf + sizeof buf, value, std::chars_format::fixed, 3);
        char* end = res.ptr - 1; // drops the final '5'
        const bool negative = *begin == '-';
        char* firstDigit = begin + (negative ? 1 : 0);
        for (char* p = end - 1;; --p) {
            if (*p == '.')
                continue;
            if (*p != '9') {
                ++*p;
                break;
            }
            *p = '0';
            if (p == firstDigit) {
                begin = buf;
                buf[0] = negative ? '-' : '1';
                buf[1] = negative ? '1' : buf[1];
                break;
            }
        }
        appendAscii(out, begin, end);
        return;
    }
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 2);
    appendAscii(out, buf, res.ptr);
}

QString amiBrokerLine(const QString& symbol, const TickData& tick)
{
    // NaN compares false, so it falls back like a zero or negative price.
    const bool ohlcUsable = tick.open > 0.0 && tick.high > 0.0 && tick.low > 0.0;
    const double open = ohlcUsable ? tick.open : tick.ltp;
    const double high = ohlcUsable ? tick.high : tick.ltp;
    const double low = ohlcUsable ? tick.low : tick.ltp;

    QString line;
    line.reserve(symbol.size() + 80);
    appendSymbol(line, symbol);
    line += QLatin1Char(',');
    if (tick.timestamp.isValid())
        appendDate(line, tick.timestamp.date(), '-');
    line += QLatin1Char(',');
    if (tick.timestamp.isValid())
        appendTime(line, tick.timestamp.time());
    for (double price : {open, high, low, tick.ltp}) {
        line += QLatin1Char(',');
        appendPrice(line, price);
    }
    line += QLatin1Char(',');
    appendCount(line, tick.volume);
    line += QLatin1Char(',');
    appendCount(line, tick.openInterest);
    line += QLatin1Char('\n');
    return line;
}

QString metastockLine(const QString& symbol, const TickData& tick)
{
    QString line;
    line.reserve(symbol.size() + 64);
    appendSymbol(line, symbol);
    line += QLatin1Char(',');
    if (tick.timestamp.isValid())
        appendDate(line, tick.timestamp.date(), 0);
    for (int i = 0; i < 4; ++i) {
        line += QLatin1Char(',');
        appendPrice(line, tick.ltp);
    }
    line += QLatin1Char(',');
    appendCount(line, tick.volume);
    line += QLatin1Char('\n');
    return line;
}

QString tickLine(const QString& symbol, const TickData& tick)
{
    QString line;
    line.reserve(symbol.size() + 80);
    appendSymbol(line, symbol);
    line += QLatin1Char(',');
    // Date and time share the one Timestamp column, separated by a space.
    if (tick.timestamp.isValid()) {
        appendDate(line, tick.timestamp.date(), '-');
        line += QLatin1Char(' ');
        appendTime(line, tick.timestamp.time());
    }
    for (double price : {tick.ltp, tick.open, tick.high, tick.low}) {
        line += QLatin1Char(',');
        appendPrice(line, price);
    }
    line += QLatin1Char(',');
    appendCount(line, tick.volume);
    line += QLatin1Char('\n');
    return line;
}

QString historyFileStem(const QString& symbol)
{
    QString stem = symbol;
    for (QChar& c : stem) {
        if (isForbiddenInFileName(c))
            c = QLatin1Char('_');
    }
    if (stem.isEmpty() || stem == QLatin1String(".") || stem == QLatin1String(".."))
        return QString();
    return stem;
}

} // namespace CSVLineFormatter
