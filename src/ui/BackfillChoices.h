// Timeframe and date-range choices of the history backfill toolbar, and the range they select.
#pragma once

#include <QDate>
#include <QString>

class QComboBox;

class BackfillChoices
{
public:
    // Days value of the "Custom Range" item of the date-range combo.
    static constexpr int CustomRange = -1;

    // Fills the timeframe combo for a provider (broker type): display text plus the broker's
    // interval string as Qt::UserRole data. TradeJini has one fixed interval, so its combo is
    // disabled. Ends with "Daily" selected where the list has it. A null combo is ignored.
    static void populateTimeframeCombo(QComboBox* combo, int provider);

    // Fills the date-range combo: "Last N Days" items with N as Qt::UserRole data, then
    // "Custom Range" (-1). Ends with "Last 180 Days" selected. A null combo is ignored.
    static void populateDateRangeCombo(QComboBox* combo);

    // The request range for a days value: the last N days up to today, or the custom dates
    // when days is CustomRange and both are valid; otherwise the last year.
    struct Range {
        QDate from;
        QDate to;
        bool isValid() const { return from.isValid() && to.isValid() && from <= to; }
    };
    static Range rangeFor(int days, const QDate& customFrom, const QDate& customTo,
                          const QDate& today);
};
