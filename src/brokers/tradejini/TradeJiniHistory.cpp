// TradeJini 1-minute history helpers.
#include "brokers/tradejini/TradeJiniHistory.h"

#include "brokers/CandleRowParser.h"
#include "brokers/HistoryBatch.h"
#include "core/TickClock.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QRegularExpression>
#include <QStringList>

#include <cmath>

namespace TradeJiniHistory {

QList<QPair<QDate, QDate>> chunkRange(const QDate& from, const QDate& to)
{
    return HistoryBatch::splitRange(from, to, 31);
}

QString instrumentClass(const QString& instrumentType)
{
    const QString t = instrumentType.toUpper();
    if (t.contains(QLatin1String("FUT")))
        return QStringLiteral("FUTCOM");
    if (t.contains(QLatin1String("OPT")) || t.contains(QLatin1String("CE")) || t.contains(QLatin1String("PE")))
        return QStringLiteral("OPTCOM");
    if (t.contains(QLatin1String("IDX")))
        return QStringLiteral("INDEX");
    return QStringLiteral("EQT");
}

QDate expiryFor(const IndianSymbolData& record, const QDate& today)
{
    static const QRegularExpression dayMonth(QStringLiteral("^(\\d{1,2})([A-Z]{3})$"));
    static const QStringList months = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                       "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    const QStringList parts = record.symbol.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() >= 2) {
        const QRegularExpressionMatch m = dayMonth.match(parts.at(1));
        const int month = m.hasMatch() ? months.indexOf(m.captured(2)) + 1 : 0;
        if (month > 0) {
            const int year = month < today.month() ? today.year() + 1 : today.year();
            const QDate d(year, month, m.captured(1).toInt());
            if (d.isValid())
                return d;
        }
    }
    if (!record.expiry.isEmpty()) {
        QDate d = QDate::fromString(record.expiry, QStringLiteral("yyyy-MM-dd"));
        if (!d.isValid())
            d = QLocale::c().toDate(record.expiry, QStringLiteral("dd-MMM-yyyy"));
        return d;
    }
    return {};
}

QString instrumentId(const IndianSymbolData& record, const QDate& today)
{
    const QStringList parts = record.symbol.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString name = parts.size() >= 2 ? parts.first() : record.symbol;
    QString id = instrumentClass(record.instrumentType) + QLatin1Char('_') + name + QLatin1Char('_') + record.exchange;
    const QDate expiry = expiryFor(record, today);
    if (expiry.isValid())
        id += QLatin1Char('_') + expiry.toString(QStringLiteral("yyyy-MM-dd"));
    return id;
}

qint64 fromEpoch(const QDate& from)
{
    return QDateTime(from, QTime(0, 0)).toSecsSinceEpoch();
}

qint64 toEpoch(const QDate& to)
{
    return QDateTime(to.addDays(1), QTime(0, 0)).toSecsSinceEpoch();
}

QString requestPath(const QString& id, const QDate& from, const QDate& to)
{
    return QStringLiteral("/v2/api/mkt-data/chart/interval-data?id=%1&from=%2&to=%3&interval=1")
        .arg(id)
        .arg(fromEpoch(from))
        .arg(toEpoch(to));
}

Reply parseReply(const QByteArray& body, const QString& symbol)
{
    Reply r;
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &err);
    if (err.error != QJsonParseError::NoError) {
        r.parsed = false;
        r.error = err.errorString();
        return r;
    }
    const QJsonObject root = doc.object();
    if (!root.contains(QLatin1String("s")))
        return r;
    if (root.value(QLatin1String("s")).toString() != QLatin1String("ok")) {
        r.brokerError = true;
        r.error = root.value(QLatin1String("errmsg")).toString();
        if (r.error.isEmpty())
            r.error = QStringLiteral("Unknown error");
        return r;
    }
    const QJsonArray rows = root.value(QLatin1String("d")).toObject().value(QLatin1String("bars")).toArray();
    r.bars.reserve(rows.size());
    for (const QJsonValue& v : rows) {
        const QJsonArray row = v.toArray();
        if (row.size() < 5)
            continue;
        // Milliseconds as a double from JSON; out-of-range values would overflow the conversion.
        const double ms = row.at(0).toDouble();
        if (!std::isfinite(ms) || std::fabs(ms) > 8.64e15)
            continue;
        OHLCData b;
        b.symbol = symbol;
        b.timestamp = TickClock::fromMSecs(qint64(ms));
        CandleRowParser::readPrices(row, b);
        b.adjustedClose = b.close;
        b.openInterest = row.size() >= 7 ? row.at(6).toDouble() : 0.0;
        r.bars.append(b);
    }
    return r;
}

}  // namespace TradeJiniHistory
