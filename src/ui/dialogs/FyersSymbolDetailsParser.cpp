// Fyers symbol-details lines.
#include "ui/dialogs/FyersSymbolDetailsParser.h"

#include "ui/dialogs/SymbolMasterText.h"

namespace {

const int kRegistered = qRegisterMetaType<SymbolData>("SymbolData");

}  // namespace

QList<SymbolData> FyersSymbolDetailsParser::parse(const QByteArray& data)
{
    Q_UNUSED(kRegistered);
    QList<SymbolData> out;
    const SymbolMasterText master = SymbolMasterText::fromBytes(data);
    const QVector<QStringRef>& lines = master.lines;
    for (int i = 1; i < lines.size(); ++i) {
        const QVector<QStringRef> f = lines.at(i).split(QLatin1Char(','));
        if (f.size() < 15)
            continue;
        SymbolData s;
        s.fyersToken = f.at(0).toString();
        s.symbolName = f.at(1).toString();
        s.instrumentType = SymbolMasterText::toInt(f.at(2));
        s.lotSize = SymbolMasterText::toInt(f.at(3));
        s.tickSize = SymbolMasterText::toFloat(f.at(4));
        s.isin = f.at(5).toString();
        s.tradingSession = f.at(6).toString();
        s.lastUpdate = f.at(7).toString();
        s.expiry = f.at(8).toString();
        s.symbolTicker = f.at(9).toString();
        s.exchange = SymbolMasterText::toInt(f.at(10));
        s.segment = SymbolMasterText::toInt(f.at(11));
        s.scripCode = SymbolMasterText::toInt(f.at(12));
        s.underlyingSymbol = f.at(13).toString();
        s.underlyingScripCode = SymbolMasterText::toInt(f.at(14));
        if (f.size() >= 16)
            s.strikePrice = SymbolMasterText::toFloat(f.at(15));
        if (f.size() >= 17)
            s.optionType = f.at(16).toString();
        if (f.size() >= 18)
            s.underlyingFyersToken = f.at(17).toString();
        out.append(s);
    }
    return out;
}
