// Every field of a bar on one line, so a table row or a list states whole bars and a value taken
// from the wrong column fails the test that made it.
#pragma once

#include "core/MarketData.h"

#include <QLocale>
#include <QStringList>

namespace BarText {

// "symbol epoch-seconds open high low close adjusted volume oi", numbers written shortest.
inline QString of(const OHLCData& b)
{
    auto n = [](double v) { return QString::number(v, 'g', QLocale::FloatingPointShortest); };
    return QStringList{b.symbol, QString::number(b.timestamp.toSecsSinceEpoch()), n(b.open), n(b.high), n(b.low),
                       n(b.close), n(b.adjustedClose), n(b.volume), n(b.openInterest)}
        .join(' ');
}

inline QStringList of(const QList<OHLCData>& bars)
{
    QStringList out;
    for (const OHLCData& b : bars)
        out << of(b);
    return out;
}

}  // namespace BarText
