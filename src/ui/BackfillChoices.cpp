// Timeframe and date-range choices of the history backfill toolbar, and the range they select.
#include "ui/BackfillChoices.h"

#include <QComboBox>

namespace {

struct Choice {
    const char* text;
    const char* interval;
};

// Broker types as the settings number them.
constexpr int TradeJini = 2;
constexpr int Dhan = 3;

const Choice generalTimeframes[] = {
    {"1 Minute", "minute"},     {"3 Minutes", "3minute"},   {"5 Minutes", "5minute"},
    {"10 Minutes", "10minute"}, {"15 Minutes", "15minute"}, {"30 Minutes", "30minute"},
    {"1 Hour", "60minute"},     {"Daily", "day"},
};

// Dhan names one-minute bars "1minute", unlike the others.
const Choice dhanTimeframes[] = {
    {"1 Minute", "1minute"},   {"5 Minutes", "5minute"}, {"15 Minutes", "15minute"},
    {"25 Minutes", "25minute"}, {"1 Hour", "60minute"},  {"Daily", "day"},
};

template <std::size_t N>
void fill(QComboBox* combo, const Choice (&choices)[N])
{
    for (const Choice& c : choices)
        combo->addItem(QString::fromLatin1(c.text), QString::fromLatin1(c.interval));
    const int daily = combo->findData(QStringLiteral("day"));
    if (daily >= 0)
        combo->setCurrentIndex(daily);
}

} // namespace

void BackfillChoices::populateTimeframeCombo(QComboBox* combo, int provider)
{
    if (!combo)
        return;
    combo->clear();
    combo->setEnabled(true);
    combo->setToolTip(QString());
    if (provider == TradeJini) {
        // Its history service serves one-minute bars only.
        combo->addItem(QStringLiteral("1 Minute"), QStringLiteral("minute"));
        combo->setCurrentIndex(0);
        combo->setEnabled(false);
        combo->setToolTip(QStringLiteral("TradeJini only supports 1-minute interval data"));
    } else if (provider == Dhan) {
        fill(combo, dhanTimeframes);
        combo->setToolTip(
            QStringLiteral("Dhan supports: 1, 5, 15, 25, 60 minute and daily intervals"));
    } else {
        fill(combo, generalTimeframes);
    }
}

void BackfillChoices::populateDateRangeCombo(QComboBox* combo)
{
    if (!combo)
        return;
    combo->clear();
    for (int days : {5, 10, 15, 30, 60, 90, 150, 180})
        combo->addItem(QStringLiteral("Last %1 Days").arg(days), days);
    combo->addItem(QStringLiteral("Custom Range"), CustomRange);
    combo->setCurrentIndex(combo->findData(180));
}

BackfillChoices::Range BackfillChoices::rangeFor(int days, const QDate& customFrom,
                                                 const QDate& customTo, const QDate& today)
{
    Range r{today.addYears(-1), today};
    if (days != CustomRange) {
        r.from = today.addDays(-days);
    } else if (customFrom.isValid() && customTo.isValid()) {
        r.from = customFrom;
        r.to = customTo;
    }
    return r;
}
