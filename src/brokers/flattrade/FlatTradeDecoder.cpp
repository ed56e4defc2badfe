// FlatTrade stream frames to ticks: the flat-object scanner, value parsing and the instrument cache.
#include "brokers/flattrade/FlatTradeDecoder.h"

#include "core/TickClock.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QVarLengthArray>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

// Plain data, left uninitialised in the per-frame field table; an absent slot is {nullptr, 0}.
struct Span {
    const char* p;
    int n;
    bool equals(const char* text, int len) const { return n == len && std::memcmp(p, text, size_t(len)) == 0; }
};

struct Field {
    Span key;
    Span value;
    bool quoted;  // the value was a JSON string
};

// Depth frames hold about seventy fields; a frame with more goes the QJsonDocument road.
constexpr int kMaxFields = 128;
constexpr int kMaxExchangeBytes = 16;
constexpr int kMaxTokenBytes = 40;
// Feed times outside 2000..2100 are not epoch seconds (milliseconds, say): the receipt time is used.
constexpr qint64 kEarliestFeedTime = 946684800;
constexpr qint64 kLatestFeedTime = 4102444800;

enum class Scan { Flat, Complex, Invalid };

inline bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// A string from the opening quote at `p`. Escapes and raw control bytes are left to QJsonDocument.
Scan readString(const char*& p, const char* end, Span& out)
{
    const char* start = ++p;
    while (p < end) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"') {
            out = Span{start, int(p - start)};
            ++p;
            return Scan::Flat;
        }
        if (c == '\\' || c < 0x20)
            return Scan::Complex;
        ++p;
    }
    return Scan::Invalid;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// A bare value as JSON allows it: a number, true, false or null.
bool validScalar(const Span& s)
{
    if (s.equals("true", 4) || s.equals("false", 5) || s.equals("null", 4))
        return true;
    const char* p = s.p;
    const char* end = s.p + s.n;
    if (p < end && *p == '-')
        ++p;
    if (p == end || !isDigit(*p))
        return false;
    if (*p == '0')
        ++p;
    else
        while (p < end && isDigit(*p))
            ++p;
    if (p < end && *p == '.') {
        ++p;
        if (p == end || !isDigit(*p))
            return false;
        while (p < end && isDigit(*p))
            ++p;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < end && (*p == '+' || *p == '-'))
            ++p;
        if (p == end || !isDigit(*p))
            return false;
        while (p < end && isDigit(*p))
            ++p;
    }
    return p == end;
}

// The fields of a flat JSON object, in frame order. Complex: valid as far as read, but holding
// something this reader leaves to QJsonDocument.
Scan scanFlat(const char* p, const char* end, Field* out, int& count)
{
    count = 0;
    while (p < end && isSpace(*p))
        ++p;
    if (p == end || *p != '{')
        return Scan::Invalid;
    ++p;
    while (p < end && isSpace(*p))
        ++p;
    if (p < end && *p == '}') {
        ++p;
    } else {
        for (;;) {
            Field f{};
            if (p == end || *p != '"')
                return Scan::Invalid;
            Scan r = readString(p, end, f.key);
            if (r != Scan::Flat)
                return r;
            while (p < end && isSpace(*p))
                ++p;
            if (p == end || *p != ':')
                return Scan::Invalid;
            ++p;
            while (p < end && isSpace(*p))
                ++p;
            if (p == end)
                return Scan::Invalid;
            if (*p == '"') {
                r = readString(p, end, f.value);
                if (r != Scan::Flat)
                    return r;
                f.quoted = true;
            } else if (*p == '{' || *p == '[') {
                return Scan::Complex;
            } else {
                const char* start = p;
                while (p < end && !isSpace(*p) && *p != ',' && *p != '}')
                    ++p;
                f.value = Span{start, int(p - start)};
                if (!validScalar(f.value))
                    return Scan::Invalid;
            }
            if (count == kMaxFields)
                return Scan::Complex;
            out[count++] = f;
            while (p < end && isSpace(*p))
                ++p;
            if (p == end)
                return Scan::Invalid;
            if (*p == ',') {
                ++p;
                while (p < end && isSpace(*p))
                    ++p;
                continue;
            }
            if (*p != '}')
                return Scan::Invalid;
            ++p;
            break;
        }
    }
    while (p < end && isSpace(*p))
        ++p;
    return p == end ? Scan::Flat : Scan::Invalid;
}

constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// A decimal as written. Up to 15 significant digits the integer and the power of ten are both
// exact, so one division gives the correctly rounded value, the same double strtod would; other
// forms go through Qt's locale-free conversion.
bool parseNumber(const Span& s, double& out)
{
    if (s.n <= 0 || s.n > 64)
        return false;
    int i = 0;
    const bool negative = s.p[0] == '-';
    if (negative)
        i = 1;
    quint64 mantissa = 0;
    int significant = 0;
    int fraction = 0;
    bool dot = false;
    bool digits = false;
    bool simple = true;
    for (; i < s.n && simple; ++i) {
        const char c = s.p[i];
        if (isDigit(c)) {
            digits = true;
            if (dot)
                ++fraction;
            if (mantissa != 0 || c != '0')
                ++significant;
            mantissa = mantissa * 10 + quint64(c - '0');
            if (significant > 15 || fraction > 22)
                simple = false;
        } else if (c == '.' && !dot) {
            dot = true;
        } else {
            simple = false;
        }
    }
    double v = 0.0;
    if (simple) {
        if (!digits)
            return false;
        v = double(mantissa) / kPow10[fraction];
        if (negative)
            v = -v;
    } else {
        bool ok = false;
        v = QByteArray::fromRawData(s.p, s.n).toDouble(&ok);
        if (!ok)
            return false;
    }
    if (!std::isfinite(v))
        return false;
    out = v;
    return true;
}

// A price field: positive, finite, and not the pre-open placeholder.
bool readPrice(const Span& s, double& out)
{
    double v = 0.0;
    if (!s.p || !parseNumber(s, v) || v < 0.0 || v == FlatTradeDecoder::kPlaceholderPrice)
        return false;
    out = v;
    return true;
}

bool readQuantity(const Span& s, double& out)
{
    double v = 0.0;
    if (!s.p || !parseNumber(s, v) || v < 0.0)
        return false;
    out = v;
    return true;
}

enum Slot { T, E, Tk, Lp, O, H, L, V, Oi, Ltq, Ft, S, Emsg, SlotCount };

int slotOf(const Span& k)
{
    switch (k.n) {
    case 1:
        switch (k.p[0]) {
        case 't': return T;
        case 'e': return E;
        case 'o': return O;
        case 'h': return H;
        case 'l': return L;
        case 'v': return V;
        case 's': return S;
        default: return -1;
        }
    case 2:
        if (k.equals("tk", 2))
            return Tk;
        if (k.equals("lp", 2))
            return Lp;
        if (k.equals("oi", 2))
            return Oi;
        if (k.equals("ft", 2))
            return Ft;
        return -1;
    case 3:
        return k.equals("ltq", 3) ? Ltq : -1;
    case 4:
        return k.equals("emsg", 4) ? Emsg : -1;
    default:
        return -1;
    }
}

bool isTextSlot(int s)
{
    return s == T || s == E || s == Tk || s == S || s == Emsg;
}

// The fields the decoder reads, by slot. False when one of them appears twice.
bool fillSlots(const Field* fields, int count, Span* slot)
{
    unsigned seen = 0;
    for (int i = 0; i < SlotCount; ++i)
        slot[i] = Span{nullptr, 0};
    for (int i = 0; i < count; ++i) {
        const int s = slotOf(fields[i].key);
        if (s < 0)
            continue;
        if (seen & (1u << s))
            return false;
        seen |= 1u << s;
        // Names and texts count only as strings; numbers may come bare.
        if (fields[i].quoted || !isTextSlot(s))
            slot[s] = fields[i].value;
    }
    return true;
}

QString text(const Span& s)
{
    return s.p ? QString::fromUtf8(s.p, s.n) : QString();
}

}  // namespace

FlatTradeDecoder::FlatTradeDecoder()
{
    keyBuffer.reserve(kMaxExchangeBytes + kMaxTokenBytes + 1);
}

void FlatTradeDecoder::reset()
{
    cache.clear();
}

DecodedFrame FlatTradeDecoder::decode(const QByteArray& frame, qint64 receivedMSecs)
{
    DecodedFrame out;
    Field fields[kMaxFields];
    int count = 0;
    // Storage for the QJsonDocument road: the spans point into these.
    QVarLengthArray<QByteArray, 1> held;
    Span slot[SlotCount] = {};
    Scan scan = scanFlat(frame.constData(), frame.constData() + frame.size(), fields, count);
    // A field named twice is left to QJsonDocument too, which picks the one that counts.
    if (scan == Scan::Flat && !fillSlots(fields, count, slot))
        scan = Scan::Complex;
    // What the scanner does not take goes to QJsonDocument, which also has the last word on what
    // the scanner thinks invalid: both roads accept the same frames.
    if (scan != Scan::Flat) {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(frame, &error);
        if (!doc.isObject()) {
            out.addEvent(DecoderEvent::Malformed, 0,
                         error.error != QJsonParseError::NoError ? error.errorString()
                                                                 : QStringLiteral("not a JSON object"));
            return out;
        }
        const QJsonObject object = doc.object();
        count = 0;
        for (auto it = object.begin(); it != object.end(); ++it) {
            const QByteArray key = it.key().toUtf8();
            if (slotOf(Span{key.constData(), key.size()}) < 0)
                continue;
            const QJsonValue v = it.value();
            QByteArray value;
            if (v.isString())
                value = v.toString().toUtf8();
            else if (v.isDouble())
                value = QByteArray::number(v.toDouble(), 'g', QLocale::FloatingPointShortest);
            else
                continue;
            held.append(key);
            held.append(value);
            fields[count].key = Span{held[held.size() - 2].constData(), key.size()};
            fields[count].value = Span{held[held.size() - 1].constData(), value.size()};
            fields[count].quoted = v.isString();
            ++count;
        }
        fillSlots(fields, count, slot);
    }

    const Span& type = slot[T];
    const bool snapshot = type.equals("tk", 2) || type.equals("dk", 2);
    if (!snapshot && !type.equals("tf", 2) && !type.equals("df", 2)) {
        if (type.equals("ak", 2) || type.equals("ck", 2)) {
            const Span& status = slot[S];
            if (status.n == 2 && (status.p[0] | 0x20) == 'o' && (status.p[1] | 0x20) == 'k') {
                out.addEvent(DecoderEvent::Acknowledged, SessionAnswer);
            } else {
                QString why = text(slot[Emsg]);
                if (why.isEmpty())
                    why = text(status);
                out.addEvent(DecoderEvent::ServerError, SessionAnswer, why);
            }
        } else if (type.equals("uk", 2) || type.equals("udk", 3)) {
            out.addEvent(DecoderEvent::Acknowledged, UnsubscribeAnswer);
        } else if (type.equals("hk", 2)) {
            out.addEvent(DecoderEvent::Heartbeat);
        } else {
            out.addEvent(DecoderEvent::UnknownPacket, 0, text(type).left(16));
        }
        return out;
    }

    const Span& exchange = slot[E];
    const Span& token = slot[Tk];
    if (exchange.n <= 0 || token.n <= 0 || exchange.n > kMaxExchangeBytes || token.n > kMaxTokenBytes) {
        out.addEvent(DecoderEvent::Skipped, NoInstrumentKey, QStringLiteral("quote without a usable exchange and token"));
        return out;
    }
    keyBuffer.resize(exchange.n + 1 + token.n);
    char* k = keyBuffer.data();
    std::memcpy(k, exchange.p, size_t(exchange.n));
    k[exchange.n] = '|';
    std::memcpy(k + exchange.n + 1, token.p, size_t(token.n));

    auto it = cache.find(keyBuffer);
    if (it == cache.end()) {
        if (cache.size() >= kMaxInstruments) {
            out.addEvent(DecoderEvent::Skipped, TooManyInstruments, QStringLiteral("too many instruments"));
            return out;
        }
        Instrument fresh;
        fresh.exchange = text(exchange);
        fresh.token = text(token);
        // A deep copy: the buffer is rewritten by the next frame.
        it = cache.insert(QByteArray(keyBuffer.constData(), keyBuffer.size()), fresh);
    } else if (snapshot) {
        Instrument fresh;
        fresh.exchange = it->exchange;
        fresh.token = it->token;
        *it = fresh;
    }
    Instrument& inst = *it;

    double v = 0.0;
    if (readPrice(slot[Lp], v) && v > 0.0)
        inst.ltp = v;
    if (readPrice(slot[O], v))
        inst.open = v;
    if (readPrice(slot[H], v))
        inst.high = v;
    if (readPrice(slot[L], v))
        inst.low = v;
    if (readQuantity(slot[V], v))
        inst.volume = v;
    if (readQuantity(slot[Oi], v))
        inst.openInterest = v;
    if (readQuantity(slot[Ltq], v) && v <= double(std::numeric_limits<qint32>::max()))
        inst.lastTradedQty = qint32(v);

    if (inst.ltp <= 0.0) {
        out.addEvent(DecoderEvent::Skipped, NoLastPrice, QStringLiteral("no last price yet"));
        return out;
    }
    qint64 stampMs = receivedMSecs;
    if (slot[Ft].p && parseNumber(slot[Ft], v) && v >= double(kEarliestFeedTime) && v < double(kLatestFeedTime))
        stampMs = qint64(v) * 1000;

    TickData tick;
    tick.exchange = inst.exchange;
    tick.token = inst.token;
    tick.ltp = inst.ltp;
    tick.open = inst.open;
    tick.high = inst.high;
    tick.low = inst.low;
    tick.volume = inst.volume;
    tick.openInterest = inst.openInterest;
    tick.lastTradedQty = inst.lastTradedQty;
    tick.timestamp = TickClock::fromMSecs(stampMs);
    out.ticks.append(tick);
    return out;
}
