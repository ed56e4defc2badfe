// Dhan chart history requests and replies.
#include "brokers/dhan/DhanHistory.h"

#include "core/TickClock.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <cmath>

namespace DhanHistory {

Instrument instrumentFor(const QString& symbol)
{
    Instrument r{QStringLiteral("NSE_EQ"), QStringLiteral("EQUITY")};
    if (symbol.startsWith(QLatin1String("NSE:"))) {
        // An option is "-OPT" or a CE/PE suffix right after the strike digits or a hyphen; a
        // plain "CE" or "PE" inside a name (RELIANCE, SPENCERS) is an equity.
        static const QRegularExpression optionSuffix(QStringLiteral("(\\d|-)(CE|PE)$"));
        if (symbol.contains(QLatin1String("-FUT")))
            r = {QStringLiteral("NSE_FNO"), QStringLiteral("FUTIDX")};
        else if (symbol.contains(QLatin1String("-OPT")) || optionSuffix.match(symbol).hasMatch())
            r = {QStringLiteral("NSE_FNO"), QStringLiteral("OPTIDX")};
        else if (symbol.contains(QLatin1String("NIFTY")))
            r.instrument = QStringLiteral("INDEX");
    } else if (symbol.startsWith(QLatin1String("BSE:"))) {
        r = {QStringLiteral("BSE_EQ"), QStringLiteral("EQUITY")};
    } else if (symbol.startsWith(QLatin1String("MCX:"))) {
        r = {QStringLiteral("MCX_COMM"), QStringLiteral("FUTCOM")};
    }
    return r;
}

QString segmentOf(const IndianSymbolData& record)
{
    return record.segment.isEmpty() ? instrumentFor(record.symbol).segment : record.segment;
}

Instrument instrumentOf(const IndianSymbolData& record)
{
    if (record.segment.isEmpty() || record.instrumentType.isEmpty())
        return instrumentFor(record.symbol);
    return {record.segment, record.instrumentType};
}

QString exchangeOfSymbol(const QString& symbol)
{
    const int colon = symbol.indexOf(QLatin1Char(':'));
    return colon < 0 ? symbol : symbol.left(colon);
}

QString exchangeOfSegment(const QString& segment)
{
    for (const char* e : {"NSE", "BSE", "MCX"}) {
        if (segment.startsWith(QLatin1String(e) + QLatin1Char('_')))
            return QLatin1String(e);
    }
    return segment;
}

QString intervalCode(const QString& interval)
{
    if (interval == QLatin1String("1min") || interval == QLatin1String("1minute"))
        return QStringLiteral("1");
    if (interval == QLatin1String("5min") || interval == QLatin1String("5minute"))
        return QStringLiteral("5");
    if (interval == QLatin1String("15min") || interval == QLatin1String("15minute"))
        return QStringLiteral("15");
    if (interval == QLatin1String("25min") || interval == QLatin1String("25minute"))
        return QStringLiteral("25");
    if (interval == QLatin1String("1hour") || interval == QLatin1String("60minute") || interval == QLatin1String("60min"))
        return QStringLiteral("60");
    return QString();
}

QString endpointPath(bool intraday)
{
    return intraday ? QStringLiteral("/v2/charts/intraday") : QStringLiteral("/v2/charts/historical");
}

QByteArray requestBody(const QString& securityId, const Instrument& target, const QString& code, const QDate& from,
                       const QDate& to)
{
    QJsonObject body;
    body.insert(QStringLiteral("securityId"), securityId);
    body.insert(QStringLiteral("exchangeSegment"), target.segment);
    body.insert(QStringLiteral("instrument"), target.instrument);
    body.insert(QStringLiteral("expiryCode"), 0);
    const QString f = from.toString(QStringLiteral("yyyy-MM-dd"));
    const QString t = (code.isEmpty() ? to.addDays(1) : to).toString(QStringLiteral("yyyy-MM-dd"));
    if (!code.isEmpty()) {
        body.insert(QStringLiteral("interval"), code);
        body.insert(QStringLiteral("fromDate"), f + QStringLiteral(" 09:15:00"));
        body.insert(QStringLiteral("toDate"), t + QStringLiteral(" 15:30:00"));
    } else {
        body.insert(QStringLiteral("fromDate"), f);
        body.insert(QStringLiteral("toDate"), t);
    }
    body.insert(QStringLiteral("oi"), false);
    return QJsonDocument(body).toJson(QJsonDocument::Indented);
}

Reply parseReply(const QByteArray& body, const QString& symbol)
{
    Reply out;
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &err);
    if (err.error != QJsonParseError::NoError) {
        out.parsed = false;
        out.error = err.errorString();
        return out;
    }
    const QJsonObject o = doc.object();
    const QJsonArray open = o.value(QStringLiteral("open")).toArray();
    const QJsonArray high = o.value(QStringLiteral("high")).toArray();
    const QJsonArray low = o.value(QStringLiteral("low")).toArray();
    const QJsonArray close = o.value(QStringLiteral("close")).toArray();
    const QJsonArray volume = o.value(QStringLiteral("volume")).toArray();
    const QJsonArray stamps = o.value(QStringLiteral("timestamp")).toArray();
    const QJsonArray oi = o.value(QStringLiteral("open_interest")).toArray();
    const QJsonArray* all[7] = {&open, &high, &low, &close, &volume, &stamps, &oi};
    for (int i = 0; i < 7; ++i)
        out.lengths[i] = all[i]->size();

    // QDateTime covers far more than any exchange has traded; anything outside is garbage and must
    // not overflow the millisecond conversion.
    constexpr double kMaxEpochSeconds = 1e11;
    const int count = std::min(stamps.size(), open.size());
    out.bars.reserve(count);
    for (int i = 0; i < count; ++i) {
        const double secs = stamps.at(i).toDouble();
        if (!std::isfinite(secs) || std::fabs(secs) > kMaxEpochSeconds)
            continue;
        OHLCData bar;
        bar.symbol = symbol;
        bar.timestamp = TickClock::fromSecs(qint64(secs));
        bar.open = open.at(i).toDouble();
        bar.high = high.at(i).toDouble();
        bar.low = low.at(i).toDouble();
        bar.close = close.at(i).toDouble();
        bar.volume = i < volume.size() ? volume.at(i).toDouble() : 0.0;
        bar.adjustedClose = bar.close;
        bar.openInterest = i < oi.size() ? oi.at(i).toDouble() : 0.0;
        out.bars.append(bar);
    }
    return out;
}

}  // namespace DhanHistory
