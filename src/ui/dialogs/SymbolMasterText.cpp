// Splitting of an instrument master into lines.
#include "ui/dialogs/SymbolMasterText.h"

SymbolMasterText SymbolMasterText::fromBytes(const QByteArray& data)
{
    SymbolMasterText out;
    const int nul = data.indexOf('\0');
    const int length = nul < 0 ? data.size() : nul;
    out.text = QString::fromUtf8(data.constData(), length);
    out.lines = out.text.splitRef(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return out;
}

qint32 SymbolMasterText::toInt(const QStringRef& s)
{
    bool ok = false;
    const int v = s.toInt(&ok);
    return ok ? v : 0;
}

float SymbolMasterText::toFloat(const QStringRef& s)
{
    bool ok = false;
    const float v = s.toFloat(&ok);
    return ok ? v : 0.0f;
}
