// Quick-add search rules over an instrument master: broker token filters, matching, ranking and
// the popup's cell texts. Pure functions, no widgets.
#include "ui/SymbolSearch.h"

#include <QRegularExpression>

#include <cmath>

namespace {

bool isDecimalInteger(const QString& text)
{
    bool ok = false;
    text.toLongLong(&ok, 10);
    return ok;
}

bool isFlatTradeToken(const QString& token)
{
    return token.startsWith(QLatin1String("101")) && token.size() == 14;
}

bool isZerodhaToken(const QString& token)
{
    return token.size() >= 3 && token.size() <= 10 && isDecimalInteger(token);
}

int typeGroup(const IndianSymbolData& r)
{
    const QString t = r.instrumentType.toUpper();
    if (t.isEmpty() || t == QLatin1String("EQ") || t == QLatin1String("EQUITY"))
        return 0;
    if (t == QLatin1String("FUT") || t == QLatin1String("FUTIDX") || t == QLatin1String("FUTCOM")
        || t == QLatin1String("FUTSTK"))
        return 1;
    if (t == QLatin1String("CE") || t == QLatin1String("PE") || t == QLatin1String("OPTIDX")
        || t == QLatin1String("OPTSTK"))
        return 2;
    return 3;
}

int symbolMatch(const IndianSymbolData& r, const QString& query)
{
    const QString s = r.symbol.toUpper();
    if (s == query)
        return 0;
    if (s.startsWith(query + QLatin1Char(' ')))
        return 1;
    if (s.startsWith(query))
        return 2;
    return 3;
}

} // namespace

bool SymbolSearch::passesTypingFilter(const QString& broker, const QString& token)
{
    if (broker == QLatin1String("FlatTrade"))
        return isFlatTradeToken(token);
    if (broker == QLatin1String("Zerodha"))
        return isZerodhaToken(token);
    return true;
}

bool SymbolSearch::passesExactFilter(const QString& broker, const QString& token)
{
    if (broker == QLatin1String("TradeJini"))
        return token.size() <= 9 && isDecimalInteger(token);
    return passesTypingFilter(broker, token);
}

QList<IndianSymbolData> SymbolSearch::matches(const QList<IndianSymbolData>& records,
                                              const QString& query, const QString& broker,
                                              int limit)
{
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    const QStringList words = query.split(blanks, Qt::SkipEmptyParts);
    QList<IndianSymbolData> found;
    if (words.isEmpty() || limit <= 0)
        return found;
    for (const IndianSymbolData& r : records) {
        if (!passesTypingFilter(broker, r.token))
            continue;
        const QString symbol = r.symbol.toUpper();
        bool hit = true;
        if (words.size() > 1) {
            for (const QString& w : words) {
                if (!symbol.contains(w)) {
                    hit = false;
                    break;
                }
            }
        } else {
            hit = symbol.contains(query);
        }
        if (!hit)
            continue;
        found.append(r);
        if (found.size() >= limit)
            break;
    }
    return found;
}

bool SymbolSearch::ranksBefore(const IndianSymbolData& a, const IndianSymbolData& b,
                               const QString& query)
{
    const int ga = typeGroup(a), gb = typeGroup(b);
    if (ga != gb)
        return ga < gb;
    const int ma = symbolMatch(a, query), mb = symbolMatch(b, query);
    if (ma != mb)
        return ma < mb;
    if (!a.expiry.isEmpty() && !b.expiry.isEmpty() && a.expiry != b.expiry)
        return a.expiry < b.expiry;
    if (std::fabs(double(a.strike) - double(b.strike)) > 0.01)
        return a.strike < b.strike;
    return a.symbol < b.symbol;
}

void SymbolSearch::rank(QList<IndianSymbolData>& results, const QString& query)
{
    for (int i = 1; i < results.size(); ++i) {
        int j = i;
        while (j > 0 && ranksBefore(results.at(j), results.at(j - 1), query)) {
            results.swapItemsAt(j, j - 1);
            --j;
        }
    }
}

IndianSymbolData SymbolSearch::exactMatch(const QList<IndianSymbolData>& records,
                                          const QString& query, const QString& broker)
{
    const IndianSymbolData* firstExact = nullptr;
    for (const IndianSymbolData& r : records) {
        if (!passesExactFilter(broker, r.token) || r.symbol.toUpper() != query)
            continue;
        if (r.exchange.toUpper() == QLatin1String("NSE"))
            return r;
        if (!firstExact)
            firstExact = &r;
    }
    return firstExact ? *firstExact : IndianSymbolData();
}

QStringList SymbolSearch::popupCells(const IndianSymbolData& r)
{
    const QString dash = QStringLiteral("-");
    return {r.symbol,
            r.exchange,
            r.token,
            r.instrumentType.isEmpty() ? QStringLiteral("EQUITY") : r.instrumentType,
            r.expiry.isEmpty() ? dash : r.expiry,
            r.strike > 0.01f ? QString::number(double(r.strike), 'f', 2) : dash,
            r.isin.isEmpty() ? dash : r.isin};
}
