// Quick-add search rules over an instrument master: broker token filters, matching, ranking and
// the popup's cell texts. Pure functions, no widgets.
#pragma once

#include "symbols/IndianSymbolData.h"

#include <QList>
#include <QString>
#include <QStringList>

class SymbolSearch
{
public:
    static constexpr int kMaxResults = 15;

    // Tokens a broker's typing search lists: FlatTrade "101" + 11 more characters; Zerodha a
    // decimal integer of 3 to 10 characters; every other broker all tokens.
    static bool passesTypingFilter(const QString& broker, const QString& token);
    // The Enter filter adds TradeJini: a decimal integer of at most 9 characters.
    static bool passesExactFilter(const QString& broker, const QString& token);

    // The first `limit` records (repository order) of the broker's filter whose upper-cased
    // symbol contains every word of the query. `query` is trimmed and upper-cased already.
    static QList<IndianSymbolData> matches(const QList<IndianSymbolData>& records,
                                           const QString& query, const QString& broker,
                                           int limit = kMaxResults);

    // Whether `a` is listed before `b`: equities, then futures, then options, then the rest;
    // then exact symbol, "query ", prefix, other; then expiry text, strike, symbol text.
    static bool ranksBefore(const IndianSymbolData& a, const IndianSymbolData& b,
                            const QString& query);
    // Orders the results by ranksBefore. The ranking is not a strict weak order (the strike
    // tolerance and the one-sided expiry test are not transitive), which std::sort may not be
    // given; an insertion sort is well-defined for any answer and the lists are short.
    static void rank(QList<IndianSymbolData>& results, const QString& query);

    // The record Enter adds: the first exact symbol match on NSE, else the first exact match;
    // an empty record when none passes the broker's Enter filter.
    static IndianSymbolData exactMatch(const QList<IndianSymbolData>& records,
                                       const QString& query, const QString& broker);

    // Texts of the popup's seven columns for one record.
    static QStringList popupCells(const IndianSymbolData& record);
};
