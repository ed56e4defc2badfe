// A downloaded instrument master cut into lines: the frame every master parser shares.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringRef>
#include <QVector>

// The text ends at the first NUL byte; lines are cut at line feeds with empty pieces dropped (a
// carriage return before the line feed stays part of its line). The first line is the header.
struct SymbolMasterText {
    QString text;
    QVector<QStringRef> lines;  // views into text

    static SymbolMasterText fromBytes(const QByteArray& data);
    bool hasRows() const { return lines.size() > 1; }

    // Masters are machine-written: numbers are C-locale decimals; anything else reads as 0.
    static qint32 toInt(const QStringRef& s);
    static float toFloat(const QStringRef& s);
};
