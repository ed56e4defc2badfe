// How the watchlist shows names, prices and volumes: pure text rules, no widgets.
#pragma once

#include <QColor>
#include <QString>

class WatchlistFormat
{
public:
    // Name shown for a token given the repository's answer for it (empty when unknown).
    // Without a real name, a long all-digit token is shortened to "Token_" + its last 6 digits.
    static QString displayName(const QString& token, const QString& repositoryName);

    // True when the name is a stand-in (the token itself or a "Token_" short form): such rows
    // are painted grey with a hint to load the instrument list.
    static bool isFallbackName(const QString& name, const QString& token);

    // Prices: fixed, 2 decimals, '.' point, no grouping.
    static QString price(double value);
    // Change in percent of the open; 0 when the open is unknown (0 or below).
    static double percentChange(double ltp, double open);

    // Volume column: "-" for no volume or an index; grouped integer digits otherwise
    // ("12,345", "1,234,567"), with up to 6 significant digits below one million.
    static QString volume(double volume, bool isIndex);

    // An instrument is an index when its type mentions INDEX or its segment INDICES.
    static bool isIndex(const QString& instrumentType, const QString& segment);

    static QColor priceColor(double change);
    static QColor highlightColor();
    static QColor symbolBackground();
    static QColor fallbackForeground();
    static QString fallbackToolTip();
};
