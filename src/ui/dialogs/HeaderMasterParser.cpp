// FlatTrade and Fyers master rows.
#include "ui/dialogs/HeaderMasterParser.h"

#include "ui/dialogs/SymbolMasterText.h"

namespace {

QString fieldAt(const QStringList& fields, int column)
{
    return column >= 0 && column < fields.size() ? fields.at(column) : QString();
}

}  // namespace

HeaderMasterParser::HeaderMap HeaderMasterParser::headerMap(const QStringRef& headerLine)
{
    HeaderMap map;
    const QVector<QStringRef> names = headerLine.split(QLatin1Char(','));
    for (int i = 0; i < names.size(); ++i)
        map.insert(names.at(i).trimmed().toString().toLower().remove(QLatin1Char('"')), i);
    return map;
}

int HeaderMasterParser::columnIndex(const HeaderMap& header, const QStringList& names, int fallback)
{
    for (const QString& name : names) {
        const auto it = header.constFind(name.toLower());
        if (it != header.constEnd())
            return it.value();
    }
    return fallback;
}

QString HeaderMasterParser::unquotedField(const QVector<QStringRef>& fields, int column)
{
    if (column < 0 || column >= fields.size())
        return QString();
    QStringRef v = fields.at(column).trimmed();
    if (v.size() >= 2 && v.startsWith(QLatin1Char('"')) && v.endsWith(QLatin1Char('"')))
        v = v.mid(1, v.size() - 2);
    return v.toString();
}

QList<IndianSymbolData> HeaderMasterParser::parseFlatTrade(const QByteArray& data)
{
    return parseFlatTrade(SymbolMasterText::fromBytes(data));
}

QList<IndianSymbolData> HeaderMasterParser::parseFlatTrade(const SymbolMasterText& master)
{
    QList<IndianSymbolData> out;
    if (master.lines.isEmpty())
        return out;
    const HeaderMap h = headerMap(master.lines.first());
    const int exchangeCol = columnIndex(h, {"exchange", "exch"}, 0);
    const int tokenCol = columnIndex(h, {"token", "instrumenttoken", "tokenid"}, 1);
    const int lotCol = columnIndex(h, {"lotsize", "lot_size", "lot"}, 2);
    const int symbolCol = columnIndex(h, {"tradingsymbol", "tradingsym", "symbol", "ts"}, 3);
    const int symbolCol2 = columnIndex(h, {"symbol", "displayname"}, 4);
    const int typeCol = columnIndex(h, {"instrument", "instrumenttype", "segment"}, 5);
    const int expiryCol = columnIndex(h, {"expiry", "exp", "expiration"}, 6);
    const int strikeCol = columnIndex(h, {"strike", "strikeprice"}, 7);
    const int optionCol = columnIndex(h, {"optiontype", "opt_type", "cp", "type"}, 8);
    const int isinCol = columnIndex(h, {"isin"}, 9);

    for (int i = 1; i < master.lines.size(); ++i) {
        const QStringRef line = master.lines.at(i).trimmed();
        if (line.isEmpty())
            continue;
        const QVector<QStringRef> raw = line.split(QLatin1Char(','));
        QStringList f;
        f.reserve(raw.size());
        for (const QStringRef& r : raw)
            f.append(r.trimmed().toString().remove(QLatin1Char('"')));

        IndianSymbolData rec;
        rec.exchange = fieldAt(f, exchangeCol).trimmed().toUpper();
        rec.token = fieldAt(f, tokenCol);
        rec.lotSize = fieldAt(f, lotCol).toInt();
        rec.symbol = fieldAt(f, symbolCol);
        if (rec.symbol.isEmpty())
            rec.symbol = fieldAt(f, symbolCol2);
        rec.instrumentType = fieldAt(f, typeCol);
        rec.expiry = fieldAt(f, expiryCol);
        rec.strike = fieldAt(f, strikeCol).toFloat();
        rec.optionType = fieldAt(f, optionCol);
        rec.isin = fieldAt(f, isinCol);
        if (!rec.token.isEmpty() && !rec.symbol.isEmpty())
            out.append(rec);
    }
    return out;
}

QList<IndianSymbolData> HeaderMasterParser::parseFyers(const QByteArray& data, const QString& exchange)
{
    return parseFyers(SymbolMasterText::fromBytes(data), exchange);
}

QList<IndianSymbolData> HeaderMasterParser::parseFyers(const SymbolMasterText& master, const QString& exchange)
{
    QList<IndianSymbolData> out;
    if (master.lines.isEmpty())
        return out;
    const QStringRef headerLine = master.lines.first();
    const HeaderMap h = headerMap(headerLine);
    const int headerFields = headerLine.count(QLatin1Char(',')) + 1;
    const int tokenCol =
        columnIndex(h, {"token", "fyers_token", "instrument_token", "instrumenttoken", "tokenid", "id"}, 0);
    const int symbolCol =
        columnIndex(h, {"symbol", "scrip", "scripcode", "tradingsymbol", "name", "symbolname", "scrip name"},
                    headerFields > 13 ? 13 : 1);
    const int isinCol = columnIndex(h, {"isin"}, headerFields > 5 ? 5 : -1);

    for (int i = 1; i < master.lines.size(); ++i) {
        const QVector<QStringRef> f = master.lines.at(i).split(QLatin1Char(','));
        IndianSymbolData rec;
        rec.token = unquotedField(f, tokenCol).trimmed();
        if (rec.token.isEmpty())
            rec.token = unquotedField(f, 0).trimmed();
        rec.symbol = unquotedField(f, symbolCol).trimmed();
        if (rec.symbol.isEmpty())
            rec.symbol = unquotedField(f, 1).trimmed();
        if (rec.token.isEmpty() && rec.symbol.isEmpty())
            continue;
        rec.exchange = exchange;
        rec.isin = unquotedField(f, isinCol).trimmed();
        rec.extra1 = rec.token;
        out.append(rec);
    }
    return out;
}
