// Instrument masters read by header names: FlatTrade's scrip masters and Fyers' symbol-details files.
#pragma once

#include "symbols/IndianSymbolData.h"

#include "ui/dialogs/SymbolMasterText.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QStringRef>
#include <QVector>

// Pure text to records. Each column is found by a list of accepted header names, tried in order,
// with a fixed column to fall back on when the header has none of them.
class HeaderMasterParser {
public:
    using HeaderMap = QHash<QString, int>;  // normalised header name -> column

    // Names trimmed, lower-cased and stripped of double quotes; a later duplicate column wins.
    static HeaderMap headerMap(const QStringRef& headerLine);
    // Column of the first accepted name the header holds, else fallback (which may be -1).
    static int columnIndex(const HeaderMap& header, const QStringList& names, int fallback);
    // Field `column` trimmed, without one enclosing pair of double quotes; empty outside the line.
    static QString unquotedField(const QVector<QStringRef>& fields, int column);

    static QList<IndianSymbolData> parseFlatTrade(const SymbolMasterText& master);
    static QList<IndianSymbolData> parseFlatTrade(const QByteArray& data);
    // Fyers files name no exchange: every record gets `exchange`, the one the file was fetched for.
    static QList<IndianSymbolData> parseFyers(const SymbolMasterText& master, const QString& exchange);
    static QList<IndianSymbolData> parseFyers(const QByteArray& data, const QString& exchange);
};
