// TradeJini and Zerodha master rows.
#include "ui/dialogs/PositionalMasterParser.h"

#include "ui/dialogs/SymbolMasterText.h"

#include <QRegularExpression>

QList<IndianSymbolData> PositionalMasterParser::parseTradeJini(const QByteArray& data)
{
    return parseTradeJini(SymbolMasterText::fromBytes(data));
}

QList<IndianSymbolData> PositionalMasterParser::parseTradeJini(const SymbolMasterText& master)
{
    QList<IndianSymbolData> out;
    for (int i = 1; i < master.lines.size(); ++i) {
        const QVector<QStringRef> f = master.lines.at(i).split(QLatin1Char(','));
        if (f.size() < 3)
            continue;
        const QStringRef kind = f.at(0).trimmed();
        const QStringRef symbol = f.at(1).trimmed();
        const QStringRef token = f.at(2).trimmed();
        if (kind.isEmpty() || symbol.isEmpty() || token.isEmpty())
            continue;
        IndianSymbolData rec;
        const QVector<QStringRef> pieces = kind.split(QLatin1Char('_'));
        rec.exchange = pieces.last().toString().toUpper();
        rec.instrumentType = pieces.first().toString();
        rec.symbol = symbol.toString();
        rec.token = token.toString();
        rec.lotSize = f.size() >= 4 ? SymbolMasterText::toInt(f.at(3)) : 1;
        rec.tickSize = f.size() >= 5 ? SymbolMasterText::toFloat(f.at(4)) : 0.05f;
        if (f.size() >= 8)
            rec.isin = f.at(7).trimmed().toString();
        out.append(rec);
    }
    return out;
}

QList<IndianSymbolData> PositionalMasterParser::parseZerodha(const QByteArray& data)
{
    return parseZerodha(SymbolMasterText::fromBytes(data));
}

QList<IndianSymbolData> PositionalMasterParser::parseZerodha(const SymbolMasterText& master)
{
    static const QRegularExpression leadingLetters(QStringLiteral("^([A-Z]+)\\d+"));
    QList<IndianSymbolData> out;
    for (int i = 1; i < master.lines.size(); ++i) {
        const QVector<QStringRef> f = master.lines.at(i).split(QLatin1Char(','));
        if (f.size() < 12)
            continue;
        IndianSymbolData rec;
        rec.token = f.at(0).toString();
        rec.symbol = f.at(2).toString();
        rec.expiry = f.at(5).toString();
        rec.strike = SymbolMasterText::toFloat(f.at(6));
        rec.tickSize = SymbolMasterText::toFloat(f.at(7));
        rec.lotSize = SymbolMasterText::toInt(f.at(8));
        rec.instrumentType = f.at(9).toString();
        rec.segment = f.at(10).toString();
        rec.exchange = f.at(11).toString();
        if (rec.instrumentType != QLatin1String("EQ")) {
            const bool put = rec.symbol.contains(QLatin1String("PE"));
            if (put || rec.symbol.contains(QLatin1String("CE"))) {
                const QRegularExpressionMatch m = leadingLetters.match(rec.symbol);
                if (m.hasMatch())
                    rec.name = m.captured(1);
                rec.optionType = put ? QStringLiteral("PE") : QStringLiteral("CE");
            }
        }
        out.append(rec);
    }
    return out;
}
