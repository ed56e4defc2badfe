// One instrument of a broker's instrument master; the empty record means "not found".
#pragma once

#include <QMetaType>
#include <QString>

struct IndianSymbolData {
    QString symbol;  // the broker's trading symbol, as its master writes it
    QString exchange;
    QString segment;
    QString token;  // numeric token, security id or instrument key, as text
    QString isin;
    qint32 lotSize = 0;
    float tickSize = 0.0f;
    QString instrumentType;
    QString name;
    float strike = 0.0f;
    QString optionType;
    QString expiry;
    QString extra1;
    QString extra2;

    bool isFound() const { return !token.isEmpty(); }
    void swap(IndianSymbolData& other) noexcept;
};

inline void swap(IndianSymbolData& a, IndianSymbolData& b) noexcept { a.swap(b); }

Q_DECLARE_METATYPE(IndianSymbolData)
