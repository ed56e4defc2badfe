// Symbol keys: the exchange prefix and series suffix dropped, punctuation ignored.
#include "brokers/SymbolKey.h"

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

bool same(const QString& replied, const QString& asked)
{
    const QString a = normalize(replied);
    const QString b = normalize(asked);
    if (a.isEmpty() || b.isEmpty())
        return replied.trimmed().compare(asked.trimmed(), Qt::CaseInsensitive) == 0;
    return a == b;
}

}  // namespace SymbolKey
