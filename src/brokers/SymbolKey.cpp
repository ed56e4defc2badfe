// Symbol keys and the reply-to-request match.
#include "brokers/SymbolKey.h"

#include <QStringList>

namespace {

// The exchange, the name and the series of an instrument text such as "NSE:BAJAJ-AUTO-EQ".
struct Parts {
    QString exchange;
    QString name;
    QString series;
};

// Series the exchanges trade equities in, which a quote service may append to a name. Closed on
// purpose: any other "-XYZ" is part of the name ("BAJAJ-AUTO", "NIFTY-I"), and a name that differs
// there is another instrument. No single letters: "-I" and "-II" are contract months.
bool isEquitySeries(const QString& s)
{
    static const QStringList kSeries = {
        QStringLiteral("EQ"),  // rolling settlement
        QStringLiteral("BE"),  // trade for trade
        QStringLiteral("BZ"),  // trade for trade, non-compliant companies
        QStringLiteral("BL"),  // block deals
        QStringLiteral("IL"),  // institutional lots
        QStringLiteral("SM"),  // SME platform
        QStringLiteral("ST"),  // SME platform, trade for trade
        QStringLiteral("SZ"),  // SME platform, non-compliant companies
    };
    return kSeries.contains(s);
}

Parts parts(const QString& text)
{
    QString s;
    s.reserve(text.size());
    for (const QChar c : text) {
        if (!c.isSpace())
            s.append(c.toUpper());
    }
    Parts p;
    const int colon = s.indexOf(QLatin1Char(':'));
    if (colon >= 0) {
        p.exchange = s.left(colon);
        s = s.mid(colon + 1);
    }
    const int dash = s.lastIndexOf(QLatin1Char('-'));
    if (dash > 0 && isEquitySeries(s.mid(dash + 1))) {
        p.series = s.mid(dash + 1);
        s.truncate(dash);
    }
    p.name = s;
    return p;
}

// Two parts agree unless both are named and differ.
bool agree(const QString& a, const QString& b)
{
    return a.isEmpty() || b.isEmpty() || a == b;
}

}  // namespace

namespace SymbolKey {

QString normalize(const QString& text)
{
    QString s = text.trimmed().toUpper();
    const int colon = s.indexOf(QLatin1Char(':'));
    if (colon >= 0)
        s = s.mid(colon + 1);
    const int dash = s.indexOf(QLatin1Char('-'));
    if (dash >= 0)
        s = s.left(dash);
    QString out;
    out.reserve(s.size());
    for (const QChar c : qAsConst(s)) {
        const ushort u = c.unicode();
        const bool asciiAlnum = (u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z');
        if (asciiAlnum || (u > 127 && c.isLetterOrNumber()))
            out.append(c);
    }
    return out;
}

bool answers(const QString& replied, const QString& asked)
{
    const Parts r = parts(replied);
    const Parts a = parts(asked);
    return r.name == a.name && agree(r.exchange, a.exchange) && agree(r.series, a.series);
}

}  // namespace SymbolKey
