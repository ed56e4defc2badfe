// Zerodha candle history helpers.
#include "brokers/zerodha/ZerodhaHistory.h"

#include "brokers/CandleRowParser.h"
#include "brokers/HistoryBatch.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>

namespace ZerodhaHistory {

QString intervalName(const QString& timeframe)
{
    static const QHash<QString, QString> names = {
        {"minute", "minute"},     {"1minute", "minute"},     {"1min", "minute"},     {"1", "minute"},
        {"3minute", "3minute"},   {"3min", "3minute"},       {"3", "3minute"},
        {"5minute", "5minute"},   {"5min", "5minute"},       {"5", "5minute"},
        {"10minute", "10minute"}, {"10min", "10minute"},     {"10", "10minute"},
        {"15minute", "15minute"}, {"15min", "15minute"},     {"15", "15minute"},
        {"30minute", "30minute"}, {"30min", "30minute"},     {"30", "30minute"},
        {"60minute", "60minute"}, {"60min", "60minute"},     {"60", "60minute"},
        {"1hour", "60minute"},    {"hour", "60minute"},      {"1h", "60minute"},
        {"day", "day"},           {"1day", "day"},           {"d", "day"},           {"1d", "day"},
        {"daily", "day"},
    };
    return names.value(timeframe.trimmed().toLower());
}

int maxDays(const QString& interval)
{
    static const QHash<QString, int> limits = {
        {"minute", 60},   {"3minute", 100},  {"5minute", 100},  {"10minute", 100},
        {"15minute", 200}, {"30minute", 200}, {"60minute", 400}, {"day", 2000},
    };
    return limits.value(interval, 0);
}

QList<QPair<QDate, QDate>> chunks(const QDate& from, const QDate& to, const QString& interval)
{
    const int limit = maxDays(interval);
    if (limit < 2)
        return {};
    return HistoryBatch::splitRange(from, to, limit - 1);
}

QString requestPath(quint32 token, const QString& interval, const QDate& from, const QDate& to)
{
    // Plain text, never through a local QDateTime: a zone whose clocks skip midnight must not
    // move the exchange's wall-clock range.
    const QString day = QStringLiteral("yyyy-MM-dd");
    QUrlQuery q;
    q.addQueryItem(QStringLiteral("from"), from.toString(day) + QStringLiteral(" 00:00:00"));
    q.addQueryItem(QStringLiteral("to"), to.toString(day) + QStringLiteral(" 23:59:59"));
    q.addQueryItem(QStringLiteral("continuous"), QStringLiteral("0"));
    q.addQueryItem(QStringLiteral("oi"), QStringLiteral("1"));
    return QStringLiteral("/instruments/historical/%1/%2?%3")
        .arg(token)
        .arg(interval, q.toString(QUrl::FullyEncoded));
}

namespace {

// "Message (ErrorType, HTTP n)" from whatever parts the reply has.
QString brokerError(const QJsonObject& root, int httpStatus)
{
    QString text = root.value(QLatin1String("message")).toString().left(300);
    if (text.isEmpty())
        text = QStringLiteral("no message");
    QStringList detail;
    const QString type = root.value(QLatin1String("error_type")).toString().left(60);
    if (!type.isEmpty())
        detail << type;
    if (httpStatus != 0)
        detail << QStringLiteral("HTTP %1").arg(httpStatus);
    return detail.isEmpty() ? text : QStringLiteral("%1 (%2)").arg(text, detail.join(QLatin1String(", ")));
}

bool readCandle(const QJsonArray& row, const QString& symbol, OHLCData& bar)
{
    if (row.size() < 6 || !row.at(0).isString())
        return false;
    const int columns = row.size() >= 7 ? 7 : 6;
    for (int i = 1; i < columns; ++i) {
        if (!row.at(i).isDouble())
            return false;
    }
    bar.timestamp = QDateTime::fromString(row.at(0).toString(), Qt::ISODate);
    if (!bar.timestamp.isValid())
        return false;
    bar.symbol = symbol;
    CandleRowParser::readPrices(row, bar);
    bar.adjustedClose = bar.close;
    bar.openInterest = columns == 7 ? row.at(6).toDouble() : 0.0;
    return true;
}

}  // namespace

Reply parseReply(int httpStatus, const QByteArray& body, const QString& symbol)
{
    Reply r;
    r.throttled = httpStatus == 429;
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject()) {
        // Gateways answer outages with HTML: the status says more than the body.
        r.error = httpStatus != 0 && httpStatus != 200
            ? QStringLiteral("HTTP %1, reply is not JSON").arg(httpStatus)
            : QStringLiteral("reply is not JSON");
        return r;
    }
    const QJsonObject root = doc.object();
    const QString status = root.value(QLatin1String("status")).toString();
    if (status == QLatin1String("error") || (httpStatus != 0 && httpStatus != 200)) {
        r.error = brokerError(root, httpStatus);
        r.tokenRefused = httpStatus == 403
            && root.value(QLatin1String("error_type")).toString() == QLatin1String("TokenException");
        return r;
    }
    if (status != QLatin1String("success")) {
        r.error = QStringLiteral("reply status is \"%1\"").arg(status.left(40));
        return r;
    }
    const QJsonValue candles = root.value(QLatin1String("data")).toObject().value(QLatin1String("candles"));
    if (!candles.isArray()) {
        r.error = QStringLiteral("reply has no data.candles");
        return r;
    }
    const QJsonArray rows = candles.toArray();
    r.bars.reserve(rows.size());
    for (const QJsonValue& v : rows) {
        OHLCData bar;
        if (readCandle(v.toArray(), symbol, bar))
            r.bars.append(bar);
        else
            ++r.rejected;
    }
    // Candles that all fail to read mean the layout is not the one this parser knows: an empty
    // success would hide that.
    if (r.bars.isEmpty() && r.rejected > 0) {
        r.error = QStringLiteral("none of the %1 candles could be read").arg(r.rejected);
        return r;
    }
    r.ok = true;
    return r;
}

}  // namespace ZerodhaHistory
