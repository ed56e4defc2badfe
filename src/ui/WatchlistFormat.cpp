// How the watchlist shows names, prices and volumes: pure text rules, no widgets.
#include "ui/WatchlistFormat.h"

#include <QLocale>

#include <cmath>

QString WatchlistFormat::displayName(const QString& token, const QString& repositoryName)
{
    if (!repositoryName.isEmpty() && repositoryName != token)
        return repositoryName;
    if (token.size() > 10) {
        bool numeric = false;
        token.toLongLong(&numeric, 10);
        if (numeric)
            return QStringLiteral("Token_%1").arg(token.right(6));
    }
    return token;
}

bool WatchlistFormat::isFallbackName(const QString& name, const QString& token)
{
    return name.startsWith(QLatin1String("Token_")) || name == token;
}

QString WatchlistFormat::price(double value)
{
    return QString::number(value, 'f', 2);
}

double WatchlistFormat::percentChange(double ltp, double open)
{
    return open > 0.0 ? (ltp - open) / open * 100.0 : 0.0;
}

QString WatchlistFormat::volume(double volume, bool isIndex)
{
    // NaN fails the first test as well, so it shows as "-".
    if (!(volume > 0.0) || isIndex)
        return QStringLiteral("-");
    const QLocale english(QLocale::English);
    // Six significant digits would turn a million into "1e+06", losing digits a trader reads;
    // from there on the whole number is shown, grouped.
    const QString sixDigits = english.toString(volume, 'g', 6);
    if (!sixDigits.contains(QLatin1Char('e')))
        return sixDigits;
    if (!std::isfinite(volume) || volume >= 9.0e18)
        return sixDigits;
    return english.toString(static_cast<qlonglong>(std::llround(volume)));
}

bool WatchlistFormat::isIndex(const QString& instrumentType, const QString& segment)
{
    return instrumentType.contains(QLatin1String("INDEX"), Qt::CaseInsensitive)
        || segment.contains(QLatin1String("INDICES"), Qt::CaseInsensitive);
}

QColor WatchlistFormat::priceColor(double change)
{
    return change < 0.0 ? QColor(200, 0, 0) : QColor(0, 150, 0);
}

QColor WatchlistFormat::highlightColor()
{
    return QColor(255, 255, 200, 100);
}

QColor WatchlistFormat::symbolBackground()
{
    return QColor(240, 248, 255);
}

QColor WatchlistFormat::fallbackForeground()
{
    return QColor(128, 128, 128);
}

QString WatchlistFormat::fallbackToolTip()
{
    return QStringLiteral(
        "Symbol data not loaded. Use Symbol Manager > Load Symbols to see actual names.");
}
