// FlatTrade history request bodies and reply parsing.
#include "brokers/flattrade/FlatTradeHistory.h"

#include "core/TickClock.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

// '&', '+', '%' and '=' inside a value would split or alter the form body; the service's own
// guidance is to percent-encode them (trading symbols such as "M&M-EQ").
QString formSafe(QString value)
{
    value.replace(QLatin1Char('%'), QLatin1String("%25"));
    value.replace(QLatin1Char('&'), QLatin1String("%26"));
    value.replace(QLatin1Char('+'), QLatin1String("%2B"));
    value.replace(QLatin1Char('='), QLatin1String("%3D"));
    return value;
}

// One "key":"value" pair with the value escaped for JSON and for the form.
QString pair(const char* key, const QString& value)
{
    QString escaped = formSafe(value);
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    escaped.replace(QLatin1Char('"'), QLatin1String("\\\""));
    QString out;
    for (const QChar c : qAsConst(escaped)) {
        if (c.unicode() < 0x20)
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return QStringLiteral("\"%1\":\"%2\"").arg(QLatin1String(key), out);
}

QByteArray body(const QStringList& pairs, const QString& sessionToken)
{
    return "jData={" + pairs.join(QLatin1Char(',')).toUtf8() + "}&jKey=" + formSafe(sessionToken).toUtf8();
}

int twoDigits(const QString& s, int at)
{
    if (at + 2 > s.size() || !s.at(at).isDigit() || !s.at(at + 1).isDigit())
        return -1;
    return s.at(at).digitValue() * 10 + s.at(at + 1).digitValue();
}

// "dd-mm-yyyy HH:MM:SS" (or with '/' between the date parts) as India wall-clock time.
bool readCandleTime(const QString& s, qint64& epoch)
{
    if (s.size() != 19 || s.at(10) != QLatin1Char(' '))
        return false;
    const QChar sep = s.at(2);
    if ((sep != QLatin1Char('-') && sep != QLatin1Char('/')) || s.at(5) != sep || s.at(13) != QLatin1Char(':')
        || s.at(16) != QLatin1Char(':'))
        return false;
    bool ok = false;
    const int year = s.midRef(6, 4).toInt(&ok);
    const QDate date(year, twoDigits(s, 3), twoDigits(s, 0));
    const QTime time(twoDigits(s, 11), twoDigits(s, 14), twoDigits(s, 17));
    if (!ok || !date.isValid() || !time.isValid())
        return false;
    epoch = QDateTime(date, time, Qt::OffsetFromUTC, FlatTradeHistory::kIndiaOffset).toSecsSinceEpoch();
    return true;
}

// "01-SEP-2026": the month in English, in any letter case.
QDate readTradingDate(const QString& s)
{
    static const char* const months[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                         "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    if (s.size() != 11 || s.at(2) != QLatin1Char('-') || s.at(6) != QLatin1Char('-'))
        return {};
    const QString month = s.mid(3, 3).toUpper();
    int m = 0;
    for (int i = 0; i < 12 && !m; ++i) {
        if (month == QLatin1String(months[i]))
            m = i + 1;
    }
    bool ok = false;
    const int year = s.midRef(7, 4).toInt(&ok);
    return ok && m ? QDate(year, m, twoDigits(s, 0)) : QDate();
}

double number(const QJsonObject& row, const char* key)
{
    const QJsonValue v = row.value(QLatin1String(key));
    const double d = v.isString() ? v.toString().toDouble() : v.toDouble();
    return std::isfinite(d) ? d : 0.0;
}

// A row is an object, or (daily replies) a string holding one.
QJsonObject rowObject(const QJsonValue& v)
{
    if (v.isObject())
        return v.toObject();
    if (v.isString())
        return QJsonDocument::fromJson(v.toString().toUtf8()).object();
    return {};
}

}  // namespace

namespace FlatTradeHistory {

int intervalMinutes(const QString& interval)
{
    const QString name = interval.trimmed().toLower();
    if (name == QLatin1String("day") || name == QLatin1String("1day"))
        return 0;
    if (!name.endsWith(QLatin1String("minute")))
        return -1;
    const QString count = name.left(name.size() - 6);
    if (count.isEmpty())
        return 1;
    bool ok = false;
    const int minutes = count.toInt(&ok);
    static const int offered[] = {1, 3, 5, 10, 15, 30, 60, 120};
    return ok && std::find(std::begin(offered), std::end(offered), minutes) != std::end(offered) ? minutes : -1;
}

qint64 dayStart(const QDate& from)
{
    return QDateTime(from, QTime(0, 0), Qt::OffsetFromUTC, kIndiaOffset).toSecsSinceEpoch();
}

qint64 dayEnd(const QDate& to)
{
    return dayStart(to.addDays(1)) - 1;
}

QByteArray tpSeriesBody(const QString& clientId, const QString& exchange, const QString& token, const QDate& from,
                        const QDate& to, int minutes, const QString& sessionToken)
{
    return body({pair("uid", clientId), pair("exch", exchange), pair("token", token),
                 pair("st", QString::number(dayStart(from))), pair("et", QString::number(dayEnd(to))),
                 pair("intrv", QString::number(minutes))},
                sessionToken);
}

QByteArray eodBody(const QString& clientId, const QString& exchange, const QString& tradingSymbol, const QDate& from,
                   const QDate& to, const QString& sessionToken)
{
    return body({pair("uid", clientId), pair("sym", exchange + QLatin1Char(':') + tradingSymbol),
                 pair("from", QString::number(dayStart(from))), pair("to", QString::number(dayEnd(to)))},
                sessionToken);
}

Reply parse(const QByteArray& body, bool daily, const QString& symbol)
{
    Reply r;
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &err);
    if (doc.isObject()) {
        const QJsonObject root = doc.object();
        const QString emsg = root.value(QLatin1String("emsg")).toString();
        if (emsg.contains(QLatin1String("no data"), Qt::CaseInsensitive)) {
            r.status = Reply::NoData;
            return r;
        }
        r.error = emsg.isEmpty() ? QStringLiteral("FlatTrade answered %1 without a message")
                                       .arg(root.value(QLatin1String("stat")).toString(QStringLiteral("an object")))
                                 : emsg.left(300);
        return r;
    }
    if (!doc.isArray()) {
        r.error = err.error != QJsonParseError::NoError
            ? QStringLiteral("FlatTrade history reply is not JSON: %1").arg(err.errorString())
            : QStringLiteral("FlatTrade history reply is not a list of candles");
        return r;
    }
    const QJsonArray rows = doc.array();
    r.bars.reserve(rows.size());
    for (const QJsonValue& v : rows) {
        const QJsonObject row = rowObject(v);
        OHLCData bar;
        bar.symbol = symbol;
        bar.open = number(row, "into");
        bar.high = number(row, "inth");
        bar.low = number(row, "intl");
        bar.close = number(row, "intc");
        const QString time = row.value(QLatin1String("time")).toString();
        const QJsonValue ssboeValue = row.value(QLatin1String("ssboe"));
        // Epoch seconds; a value past any real date is dropped before it is made an integer.
        const double ssboeNumber = number(row, "ssboe");
        const qint64 ssboe = ssboeNumber > 0 && ssboeNumber < 253402300799.0 ? qint64(ssboeNumber) : 0;
        if (daily) {
            QDate date = readTradingDate(time);
            // "ssboe" is 00:00 UTC of the trading date.
            if (!date.isValid() && ssboe > 0)
                date = QDateTime::fromSecsSinceEpoch(ssboe, Qt::UTC).date();
            if (date.isValid())
                bar.timestamp = QDateTime(date, QTime(0, 0));
        } else {
            qint64 epoch = 0;
            if (readCandleTime(time, epoch)) {
                if (!ssboeValue.isUndefined() && ssboe != epoch)
                    ++r.timeMismatches;
            } else if (ssboe > 0) {
                epoch = ssboe;
            }
            if (epoch > 0)
                bar.timestamp = TickClock::fromSecs(epoch);
            bar.openInterest = number(row, "oi");
        }
        // Buckets without trades come as rows of zeros; some carry a zero in one price only.
        if (!bar.timestamp.isValid() || !(bar.open > 0 && bar.high > 0 && bar.low > 0 && bar.close > 0)) {
            ++r.dropped;
            continue;
        }
        // "intv" is the volume of this candle ("v" is the running day total); daily volumes come
        // with decimals.
        bar.volume = std::round(number(row, "intv"));
        bar.adjustedClose = bar.close;
        r.bars.append(bar);
    }
    std::stable_sort(r.bars.begin(), r.bars.end(),
                     [](const OHLCData& a, const OHLCData& b) { return a.timestamp < b.timestamp; });
    r.status = r.bars.isEmpty() ? Reply::NoData : Reply::Bars;
    return r;
}

}  // namespace FlatTradeHistory
