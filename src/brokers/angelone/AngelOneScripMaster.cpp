// AngelOne scrip master: JSON array -> repository entries.
#include "brokers/angelone/AngelOneScripMaster.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace AngelOneScripMaster {

QString exchangeForSegment(const QString& s)
{
    if (s == QLatin1String("nse_cm"))
        return QStringLiteral("NSE");
    if (s == QLatin1String("bse_cm"))
        return QStringLiteral("BSE");
    if (s == QLatin1String("nse_fo"))
        return QStringLiteral("NFO");
    if (s == QLatin1String("bse_fo"))
        return QStringLiteral("BFO");
    if (s == QLatin1String("mcx_fo"))
        return QStringLiteral("MCX");
    // The file names NCDEX contracts "NCDEX"; ticks and requests know the exchange as NCX.
    if (s == QLatin1String("ncx_fo") || s.compare(QLatin1String("NCDEX"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("NCX");
    return s.toUpper();
}

Result parse(const QByteArray& body)
{
    Result r;
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &err);
    if (err.error != QJsonParseError::NoError) {
        r.error = QStringLiteral("Failed to parse instrument list: %1").arg(err.errorString());
        return r;
    }
    if (!doc.isArray()) {
        r.error = QStringLiteral("Instrument list response is not an array");
        return r;
    }
    const QJsonArray items = doc.array();
    r.elements = items.size();
    r.entries.reserve(items.size());
    const QLatin1String tokenKey("token"), symbolKey("symbol"), segKey("exch_seg"), typeKey("instrumenttype");
    for (const QJsonValue& v : items) {
        if (!v.isObject())
            continue;
        const QJsonObject o = v.toObject();
        const QString token = o.value(tokenKey).toString();
        const QString symbol = o.value(symbolKey).toString();
        if (token.isEmpty() || symbol.isEmpty())
            continue;
        Entry e;
        e.exchange = exchangeForSegment(o.value(segKey).toString());
        e.key = e.exchange == QLatin1String("NSE") ? symbol : e.exchange + QLatin1Char(':') + symbol;
        e.token = token;
        e.instrumentType = o.value(typeKey).toString();
        r.entries.append(e);
    }
    return r;
}

}  // namespace AngelOneScripMaster
