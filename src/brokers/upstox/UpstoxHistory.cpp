// Upstox candle history: interval table, request path and reply rows.
#include "brokers/upstox/UpstoxHistory.h"

#include "brokers/CandleRowParser.h"
#include "brokers/HistoryBatch.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

namespace UpstoxHistory {

Interval intervalFor(const QString& interval)
{
    static const QHash<QString, Interval> table = {
        {QStringLiteral("1min"), {QStringLiteral("minutes"), 1}},
        {QStringLiteral("1minute"), {QStringLiteral("minutes"), 1}},
        {QStringLiteral("minute"), {QStringLiteral("minutes"), 1}},
        {QStringLiteral("3min"), {QStringLiteral("minutes"), 3}},
        {QStringLiteral("3minute"), {QStringLiteral("minutes"), 3}},
        {QStringLiteral("5min"), {QStringLiteral("minutes"), 5}},
        {QStringLiteral("5minute"), {QStringLiteral("minutes"), 5}},
        {QStringLiteral("10min"), {QStringLiteral("minutes"), 10}},
        {QStringLiteral("10minute"), {QStringLiteral("minutes"), 10}},
        {QStringLiteral("15min"), {QStringLiteral("minutes"), 15}},
        {QStringLiteral("15minute"), {QStringLiteral("minutes"), 15}},
        {QStringLiteral("30min"), {QStringLiteral("minutes"), 30}},
        {QStringLiteral("30minute"), {QStringLiteral("minutes"), 30}},
        {QStringLiteral("1hour"), {QStringLiteral("hours"), 1}},
        {QStringLiteral("60minute"), {QStringLiteral("hours"), 1}},
        {QStringLiteral("day"), {QStringLiteral("days"), 1}},
        {QStringLiteral("week"), {QStringLiteral("weeks"), 1}},
        {QStringLiteral("month"), {QStringLiteral("months"), 1}},
    };
    return table.value(interval, Interval{QStringLiteral("days"), 1});
}

QDate effectiveEndDate(const QDate& to, const QDate& today)
{
    return to == today ? to.addDays(1) : to;
}

int maxDaysPerRequest(const Interval& interval)
{
    // A month is never shorter than 28 days, a quarter than 89, a decade than 3652.
    if (interval.unit == QLatin1String("minutes"))
        return interval.size <= 15 ? 28 : 89;
    if (interval.unit == QLatin1String("hours"))
        return 89;
    if (interval.unit == QLatin1String("days"))
        return 3652;
    return 0;
}

bool hasIntraday(const Interval& interval)
{
    return interval.unit == QLatin1String("minutes") || interval.unit == QLatin1String("hours")
        || interval.unit == QLatin1String("days");
}

QList<Request> plan(const Interval& interval, const QDate& from, const QDate& to, const QDate& today)
{
    QList<Request> out;
    if (!hasIntraday(interval) || from > to) {
        out.append({false, from, effectiveEndDate(to, today)});
        return out;
    }
    const bool withToday = from <= today && to >= today;
    const QDate lastPast = withToday ? today.addDays(-1) : to;
    if (from <= lastPast) {
        for (const auto& r : HistoryBatch::splitRange(from, lastPast, maxDaysPerRequest(interval)))
            out.append({false, r.first, r.second});
    }
    if (withToday)
        out.append({true, today, today});
    return out;
}

QString intradayPath(const QString& instrumentKey, const Interval& interval)
{
    const QString key = QString::fromLatin1(QUrl::toPercentEncoding(instrumentKey));
    return QStringLiteral("/v3/historical-candle/intraday/%1/%2/%3").arg(key, interval.unit, QString::number(interval.size));
}

QString requestPath(const QString& instrumentKey, const Interval& interval, const QDate& from, const QDate& endDate)
{
    const QString key = QString::fromLatin1(QUrl::toPercentEncoding(instrumentKey));
    return QStringLiteral("/v3/historical-candle/%1/%2/%3/%4/%5")
        .arg(key, interval.unit, QString::number(interval.size), endDate.toString(QStringLiteral("yyyy-MM-dd")),
             from.toString(QStringLiteral("yyyy-MM-dd")));
}

ParseResult parseCandles(const QByteArray& body, const QString& symbol)
{
    ParseResult result;
    const QJsonObject obj = QJsonDocument::fromJson(body).object();
    if (obj.value(QLatin1String("status")).toString() != QLatin1String("success")) {
        result.message = obj.value(QLatin1String("message")).toString();
        return result;
    }
    result.ok = true;
    const QJsonArray rows = obj.value(QLatin1String("data")).toObject().value(QLatin1String("candles")).toArray();
    result.bars.reserve(rows.size());
    for (const QJsonValue& rowValue : rows) {
        const QJsonArray row = rowValue.toArray();
        if (row.size() < 6) {
            ++result.skippedRows;
            continue;
        }
        OHLCData bar;
        bar.timestamp = QDateTime::fromString(row.at(0).toString(), Qt::ISODate);
        // A bar without a time cannot be placed on a chart; it is dropped, not stored undated.
        if (!bar.timestamp.isValid()) {
            ++result.skippedRows;
            continue;
        }
        bar.symbol = symbol;
        CandleRowParser::readPrices(row, bar);
        bar.adjustedClose = bar.close;
        bar.openInterest = row.size() >= 7 ? row.at(6).toDouble() : 0.0;
        result.bars.append(bar);
    }
    return result;
}

}  // namespace UpstoxHistory
