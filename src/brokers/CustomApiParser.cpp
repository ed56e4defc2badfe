// Pure readers of the "Custom API" reply bodies.
#include "brokers/CustomApiParser.h"

#include "brokers/CandleRowParser.h"
#include "core/TickClock.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

namespace {

// Numbers count only as JSON numbers; a numeric string reads as 0.
double num(const QJsonObject& o, const char* key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isDouble() ? v.toDouble() : 0.0;
}

QString text(const QJsonObject& o, const char* key)
{
    return o.value(QLatin1String(key)).toString();
}

// Epoch seconds beyond this overflow the millisecond arithmetic of QDateTime.
constexpr qint64 kMaxEpochSeconds = 253402300799LL;  // 9999-12-31T23:59:59Z

QDateTime fromEpochSeconds(qint64 secs)
{
    if (secs < -kMaxEpochSeconds || secs > kMaxEpochSeconds)
        return {};
    return QDateTime::fromSecsSinceEpoch(secs);
}

bool rowBar(const QJsonArray& row, bool epochTime, const QString& symbol, OHLCData& bar)
{
    if (row.size() < 6)
        return false;
    bar = OHLCData();
    bar.symbol = symbol;
    const QJsonValue t = row.at(0);
    if (epochTime) {
        const double secs = t.toDouble(qQNaN());
        // An instant, on the local clock as ticks are stamped (not Qt::LocalTime, which would read as
        // a zone-less wall-clock time).
        if (secs == secs && secs >= double(-kMaxEpochSeconds) && secs <= double(kMaxEpochSeconds))
            bar.timestamp = TickClock::fromSecs(qint64(secs));
    } else {
        const QString s = t.toString();
        bar.timestamp = QDateTime::fromString(s, QStringLiteral("yyyy-MM-dd'T'hh:mm:ss'Z'"));
        if (bar.timestamp.isValid())
            bar.timestamp.setTimeSpec(Qt::UTC);  // the pattern reads the Z as a letter, not as the zone
        else
            bar.timestamp = QDateTime::fromString(s, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    }
    CandleRowParser::readPrices(row, bar);
    bar.adjustedClose = bar.close;
    return true;
}

}  // namespace

namespace CustomApiParser {

TickData tickFromJson(const QJsonObject& o, const QDateTime& now)
{
    TickData t;
    t.symbol = text(o, "symbol");
    t.ltp = num(o, "price");
    t.open = num(o, "open");
    t.high = num(o, "high");
    t.low = num(o, "low");
    t.volume = num(o, "volume");
    const QString ts = text(o, "timestamp");
    if (!ts.isEmpty()) {
        t.timestamp = QDateTime::fromString(ts, Qt::ISODate);
        if (!t.timestamp.isValid()) {
            bool ok = false;
            const qint64 secs = ts.toLongLong(&ok);
            if (ok)
                t.timestamp = fromEpochSeconds(secs);
        }
    }
    if (!t.timestamp.isValid())
        t.timestamp = now.isValid() ? now : QDateTime::currentDateTime();
    return t;
}

OHLCData barFromJson(const QJsonObject& o)
{
    OHLCData b;
    b.symbol = text(o, "symbol");
    b.open = num(o, "open");
    b.high = num(o, "high");
    b.low = num(o, "low");
    b.close = num(o, "close");
    b.volume = num(o, "volume");
    b.adjustedClose = num(o, "adjusted_close");
    if (b.adjustedClose == 0.0)
        b.adjustedClose = b.close;
    const QString date = text(o, "date");
    if (!date.isEmpty()) {
        b.timestamp = QDateTime::fromString(date, Qt::ISODate);
        if (!b.timestamp.isValid())
            b.timestamp = QDateTime(QDate::fromString(date, QStringLiteral("yyyy-MM-dd")), QTime(0, 0));
    }
    return b;
}

QuoteResult parseQuote(const QByteArray& body, bool fyersShape)
{
    QuoteResult r;
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &err);
    if (err.error != QJsonParseError::NoError) {
        r.error = err.errorString();
        return r;
    }
    r.parsed = true;
    // Keys of last price, open, high, low and volume in each shape.
    static const char* const kFyers[] = {"lp", "o", "h", "l", "v"};
    static const char* const kFlat[] = {"price", "open", "high", "low", "volume"};
    QJsonObject q = doc.object();
    if (fyersShape) {
        const QJsonArray quotes = q.value(QLatin1String("d")).toObject().value(QLatin1String("quotes")).toArray();
        q = quotes.isEmpty() ? QJsonObject() : quotes.at(0).toObject();
    }
    const char* const* keys = fyersShape ? kFyers : kFlat;
    if (!fyersShape)
        r.symbol = text(q, "symbol");
    r.tick.ltp = num(q, keys[0]);
    r.tick.open = num(q, keys[1]);
    r.tick.high = num(q, keys[2]);
    r.tick.low = num(q, keys[3]);
    r.tick.volume = num(q, keys[4]);
    return r;
}

}  // namespace CustomApiParser

QList<OHLCData> parseHistoricalResponse(const QByteArray& body, const QString& rowSymbol, QString* notJson)
{
    QList<OHLCData> bars;
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &err);
    if (notJson)
        *notJson = err.error != QJsonParseError::NoError ? err.errorString() : QString();
    if (err.error != QJsonParseError::NoError)
        return bars;
    const QJsonObject root = doc.object();

    QJsonArray items;
    bool rowsAllowed = false;
    bool epochRows = false;
    if (root.contains(QLatin1String("data"))) {
        items = root.value(QLatin1String("data")).toArray();
        // A {"status":"success","data":[[time, o, h, l, c, v], ...]} reply holds rows with text times.
        rowsAllowed = root.value(QLatin1String("status")).toString() == QLatin1String("success");
    } else if (root.contains(QLatin1String("results"))) {
        items = root.value(QLatin1String("results")).toArray();
    } else if (root.contains(QLatin1String("candles"))) {
        items = root.value(QLatin1String("candles")).toArray();
        rowsAllowed = true;
        epochRows = true;
    } else if (doc.isArray()) {
        items = doc.array();
    }

    bars.reserve(items.size());
    for (const QJsonValue& v : items) {
        OHLCData bar;
        if (v.isObject() && !epochRows) {
            bar = CustomApiParser::barFromJson(v.toObject());
            // A bar that names no symbol is one of the symbol asked for.
            if (bar.symbol.isEmpty())
                bar.symbol = rowSymbol;
        } else if (!(v.isArray() && rowsAllowed && rowBar(v.toArray(), epochRows, rowSymbol, bar)))
            continue;
        if (bar.isValid())
            bars.append(bar);
    }
    return bars;
}
