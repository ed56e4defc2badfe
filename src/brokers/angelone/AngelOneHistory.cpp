// AngelOne candle history: names, bodies, reply parsing and the open-interest merge.
#include "brokers/angelone/AngelOneHistory.h"

#include "brokers/CandleRowParser.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace AngelOneHistory {

QString mapInterval(const QString& interval, bool* known)
{
    static const QMap<QString, QString> names{
        {QStringLiteral("1min"), QStringLiteral("ONE_MINUTE")},
        {QStringLiteral("minute"), QStringLiteral("ONE_MINUTE")},
        {QStringLiteral("1minute"), QStringLiteral("ONE_MINUTE")},
        {QStringLiteral("3min"), QStringLiteral("THREE_MINUTE")},
        {QStringLiteral("3minute"), QStringLiteral("THREE_MINUTE")},
        {QStringLiteral("5min"), QStringLiteral("FIVE_MINUTE")},
        {QStringLiteral("5minute"), QStringLiteral("FIVE_MINUTE")},
        {QStringLiteral("10min"), QStringLiteral("TEN_MINUTE")},
        {QStringLiteral("10minute"), QStringLiteral("TEN_MINUTE")},
        {QStringLiteral("15min"), QStringLiteral("FIFTEEN_MINUTE")},
        {QStringLiteral("15minute"), QStringLiteral("FIFTEEN_MINUTE")},
        {QStringLiteral("30min"), QStringLiteral("THIRTY_MINUTE")},
        {QStringLiteral("30minute"), QStringLiteral("THIRTY_MINUTE")},
        {QStringLiteral("1hour"), QStringLiteral("ONE_HOUR")},
        {QStringLiteral("60min"), QStringLiteral("ONE_HOUR")},
        {QStringLiteral("60minute"), QStringLiteral("ONE_HOUR")},
        {QStringLiteral("day"), QStringLiteral("ONE_DAY")},
    };
    const auto it = names.constFind(interval.toLower());
    if (known)
        *known = it != names.constEnd();
    return it != names.constEnd() ? *it : QStringLiteral("ONE_MINUTE");
}

QString exchangeSegmentName(const QString& e)
{
    if (e == QLatin1String("NSE") || e == QLatin1String("NSE_EQ"))
        return QStringLiteral("NSE");
    if (e == QLatin1String("NFO") || e == QLatin1String("NSE_FNO"))
        return QStringLiteral("NFO");
    if (e == QLatin1String("BSE") || e == QLatin1String("BSE_EQ"))
        return QStringLiteral("BSE");
    if (e == QLatin1String("MCX"))
        return QStringLiteral("MCX");
    // Tokens are per exchange: asking NSE for a BSE-derivative, currency or commodity token
    // returns another instrument's candles or nothing.
    if (e == QLatin1String("BFO"))
        return QStringLiteral("BFO");
    if (e == QLatin1String("CDS"))
        return QStringLiteral("CDS");
    if (e == QLatin1String("BCD"))
        return QStringLiteral("BCD");
    if (e == QLatin1String("NCX") || e == QLatin1String("NCDEX"))
        return QStringLiteral("NCDEX");
    return QStringLiteral("NSE");
}

bool hasOpenInterest(const QString& e)
{
    return e == QLatin1String("NFO") || e == QLatin1String("BFO") || e == QLatin1String("MCX")
        || e == QLatin1String("NCX") || e == QLatin1String("CDS") || e == QLatin1String("BCD");
}

QString fromDateText(const QDate& from)
{
    return QDateTime(from, QTime(0, 0)).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString toDateText(const QDate& to)
{
    return QDateTime(to, QTime(23, 59, 59)).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QByteArray requestBody(const QString& exchange, const QString& token, const QString& interval,
                       const QString& fromDate, const QString& toDate)
{
    const QJsonObject body{{QStringLiteral("exchange"), exchange},
                           {QStringLiteral("symboltoken"), token},
                           {QStringLiteral("interval"), interval},
                           {QStringLiteral("fromdate"), fromDate},
                           {QStringLiteral("todate"), toDate}};
    return QJsonDocument(body).toJson(QJsonDocument::Indented);
}

namespace {

QJsonObject replyObject(const QByteArray& body, bool& ok, QString& message)
{
    const QJsonObject o = QJsonDocument::fromJson(body).object();
    ok = o.value(QLatin1String("status")).toBool(false);
    message = o.value(QLatin1String("message")).toString();
    return o;
}

QString describe(const QString& message, const QString& code)
{
    if (message.isEmpty())
        return code;
    return code.isEmpty() ? message : QStringLiteral("%1 (%2)").arg(message, code);
}

}  // namespace

QString refusalText(const QByteArray& body, const QString& fallback)
{
    const QJsonObject o = QJsonDocument::fromJson(body).object();
    // The text goes to a status line and a message box: a runaway body is cut short.
    const QString text = describe(o.value(QLatin1String("message")).toString().left(200),
                                  o.value(QLatin1String("errorcode")).toString().left(32));
    return text.isEmpty() ? fallback : text;
}

Candles parseCandles(const QByteArray& body, const QString& displaySymbol)
{
    Candles c;
    const QJsonObject o = replyObject(body, c.ok, c.message);
    if (!c.ok)
        return c;
    const QJsonArray rows = o.value(QLatin1String("data")).toArray();
    if (!rows.isEmpty()) {
        for (const QJsonValue& v : rows.at(0).toArray())
            c.firstRow.append(v.isString() ? v.toString() : QString::number(v.toDouble()));
    }
    for (const QJsonValue& v : rows) {
        const QJsonArray row = v.toArray();
        if (row.size() < 6)
            continue;
        const QDateTime time = QDateTime::fromString(row.at(0).toString(), Qt::ISODate);
        // A bar without a time cannot be placed on a chart; it would reach the store and the
        // AmiBroker files as a line with an empty date.
        if (!time.isValid()) {
            ++c.badTimes;
            continue;
        }
        OHLCData bar;
        bar.symbol = displaySymbol;
        bar.timestamp = time;
        CandleRowParser::readPrices(row, bar);
        c.bars.append(bar);
    }
    return c;
}

OpenInterest parseOpenInterest(const QByteArray& body)
{
    OpenInterest oi;
    const QJsonObject o = replyObject(body, oi.ok, oi.message);
    if (!oi.ok)
        return oi;
    for (const QJsonValue& v : o.value(QLatin1String("data")).toArray()) {
        const QJsonObject rec = v.toObject();
        const QDateTime time = QDateTime::fromString(rec.value(QLatin1String("time")).toString(), Qt::ISODate);
        if (!time.isValid())
            continue;  // could match no bar
        oi.byTime.insert(time, rec.value(QLatin1String("oi")).toDouble(0.0));
    }
    return oi;
}

int mergeOpenInterest(QList<OHLCData>& bars, const QMap<QDateTime, double>& byTime)
{
    int matched = 0;
    for (OHLCData& bar : bars) {
        const auto it = byTime.constFind(bar.timestamp);
        if (it == byTime.constEnd())
            continue;
        bar.openInterest = *it;
        ++matched;
    }
    return matched;
}

}  // namespace AngelOneHistory
