// Pure text formatting of AmiBroker CSV lines and history file names.
#include "amibroker/CSVLineFormatter.h"

#include <QLatin1String>

#include <charconv>
#include <cmath>
#include <cstring>
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

// Gathers the ASCII fields of a line in a local buffer and hands them to the QString in one
// append (at flush, or when the buffer runs short), instead of one append per field.
class AsciiWriter
{
public:
    explicit AsciiWriter(QString& out) : out(out) {}
    AsciiWriter(const AsciiWriter&) = delete;
    AsciiWriter& operator=(const AsciiWriter&) = delete;
    ~AsciiWriter() { flush(); }

    void flush()
    {
        if (p != buf)
            appendAscii(out, buf, p);
        p = buf;
    }
    // Room for n more characters at the returned position; advance with done().
    char* room(int n)
    {
        if (buf + sizeof buf - p < n)
            flush();
        return p;
    }
    void done(char* end) { p = end; }
    // Flushed first: text that does not go through the buffer keeps its place in the line.
    QString& direct()
    {
        flush();
        return out;
    }

private:
    QString& out;
    // Fixed notation of a double needs at most 309 integer digits.
    char buf[400];
    char* p = buf;
};

void putChar(AsciiWriter& w, char c)
{
    char* p = w.room(1);
    *p++ = c;
    w.done(p);
}

void putCount(AsciiWriter& w, double value)
{
    char* p = w.room(24);
    w.done(std::to_chars(p, p + 24, truncateCount(value)).ptr);
}

// Date as yyyy-MM-dd (separator '-') or yyyyMMdd (separator 0). Years outside 0..9999 go through
// Qt so that they read the same as Qt's own formatting.
void putDate(AsciiWriter& w, const QDate& date, char separator)
{
    if (!date.isValid())
        return;
    int year = 0;
    int month = 0;
    int day = 0;
    date.getDate(&year, &month, &day);  // one calendar conversion instead of three
    if (year < 0 || year > 9999) {
        w.direct() += date.toString(separator ? QStringLiteral("yyyy-MM-dd") : QStringLiteral("yyyyMMdd"));
        return;
    }
    char* p = putDigits(w.room(10), year, 4);
    if (separator)
        *p++ = separator;
    p = putDigits(p, month, 2);
    if (separator)
        *p++ = separator;
    p = putDigits(p, day, 2);
    w.done(p);
}

void putTime(AsciiWriter& w, const QTime& time)
{
    if (!time.isValid())
        return;
    char* p = putDigits(w.room(8), time.hour(), 2);
    *p++ = ':';
    p = putDigits(p, time.minute(), 2);
    *p++ = ':';
    p = putDigits(p, time.second(), 2);
    w.done(p);
}

// Prices well inside the 64-bit range whose exact hundredfold is not near a half: the rounded
// hundredths are then the nearest integer to value * 100, found without the general conversion.
// Returns false (nothing written) for anything else, ties included.
bool putPriceFast(AsciiWriter& w, double value)
{
    if (!(value > -1e12 && value < 1e12))
        return false;
    // The rounded product is off the exact hundredfold by at most half an ulp (under 0.008 below
    // 1e14), and the subtraction is exact: a fraction under 0.49 leaves the exact value nearer to
    // `nearest` than to any other integer.
    const double product = value * 100.0;
    const double nearest = std::nearbyint(product);
    if (!(std::fabs(product - nearest) < 0.49))
        return false;
    qint64 hundredths = static_cast<qint64>(nearest);
    if (hundredths < 0)
        hundredths = -hundredths;
    char digits[24];
    char* end = digits + sizeof digits;
    char* d = end;
    const int cents = int(hundredths % 100);
    qint64 whole = hundredths / 100;
    *--d = char('0' + cents % 10);
    *--d = char('0' + cents / 10);
    *--d = '.';
    do {
        *--d = char('0' + whole % 10);
        whole /= 10;
    } while (whole);
    if (value < 0.0)
        *--d = '-';
    char* p = w.room(int(end - d));
    std::memcpy(p, d, size_t(end - d));
    w.done(p + (end - d));
    return true;
}

void putPrice(AsciiWriter& w, double value)
{
    if (std::isnan(value)) {
        w.direct() += QLatin1String("nan"); // as Qt writes it, whatever the sign bit
        return;
    }
    if (value == 0.0)
        value = 0.0; // Qt writes a negative zero without its sign
    if (putPriceFast(w, value))
        return;
    // Fixed notation of a double needs at most 309 integer digits.
    constexpr int kRoom = 330;
    char* const buf = w.room(kRoom);
    const double eighths = value * 8.0;
    if (std::isfinite(eighths) && eighths == std::floor(eighths) && std::fmod(eighths, 2.0) != 0.0) {
        // An odd number of eighths ends in 125, 375, 625 or 875: an exact tie at two decimals.
        // Qt rounds ties away from zero where to_chars rounds them to even; write what Qt writes.
        // buf[0] stays free for a carry out of the first digit (9.995 -> 10.00).
        char* begin = buf + 1;
        const auto res = std::to_chars(begin, buf + kRoom, value, std::chars_format::fixed, 3);
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
        if (begin != buf)
            std::memmove(buf, begin, size_t(end - begin));
        w.done(buf + (end - begin));
        return;
    }
    w.done(std::to_chars(buf, buf + kRoom, value, std::chars_format::fixed, 2).ptr);
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
        const ushort u = c.unicode();
        // Printable ASCII other than the separator needs no category lookup.
        if (u >= 0x20 && u < 0x7f && u != ',')
            continue;
        if (c == QLatin1Char(',') || c.category() == QChar::Other_Control)
            out[i] = QLatin1Char('_');
    }
}

} // namespace

QString formatDate(const QDateTime& when)
{
    QString out;
    if (when.isValid()) {
        AsciiWriter w(out);
        putDate(w, when.date(), '-');
    }
    return out;
}

QString formatTime(const QDateTime& when)
{
    QString out;
    if (when.isValid()) {
        AsciiWriter w(out);
        putTime(w, when.time());
    }
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
    AsciiWriter w(out);
    putPrice(w, value);
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
    {
        AsciiWriter w(line);
        putChar(w, ',');
        if (tick.timestamp.isValid())
            putDate(w, tick.timestamp.date(), '-');
        putChar(w, ',');
        if (tick.timestamp.isValid())
            putTime(w, tick.timestamp.time());
        for (double price : {open, high, low, tick.ltp}) {
            putChar(w, ',');
            putPrice(w, price);
        }
        putChar(w, ',');
        putCount(w, tick.volume);
        putChar(w, ',');
        putCount(w, tick.openInterest);
        putChar(w, '\n');
    }
    return line;
}

QString metastockLine(const QString& symbol, const TickData& tick)
{
    QString line;
    line.reserve(symbol.size() + 64);
    appendSymbol(line, symbol);
    {
        AsciiWriter w(line);
        putChar(w, ',');
        if (tick.timestamp.isValid())
            putDate(w, tick.timestamp.date(), 0);
        for (int i = 0; i < 4; ++i) {
            putChar(w, ',');
            putPrice(w, tick.ltp);
        }
        putChar(w, ',');
        putCount(w, tick.volume);
        putChar(w, '\n');
    }
    return line;
}

QString tickLine(const QString& symbol, const TickData& tick)
{
    QString line;
    line.reserve(symbol.size() + 80);
    appendSymbol(line, symbol);
    {
        AsciiWriter w(line);
        putChar(w, ',');
        // Date and time share the one Timestamp column, separated by a space.
        if (tick.timestamp.isValid()) {
            putDate(w, tick.timestamp.date(), '-');
            putChar(w, ' ');
            putTime(w, tick.timestamp.time());
        }
        for (double price : {tick.ltp, tick.open, tick.high, tick.low}) {
            putChar(w, ',');
            putPrice(w, price);
        }
        putChar(w, ',');
        putCount(w, tick.volume);
        putChar(w, '\n');
    }
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
