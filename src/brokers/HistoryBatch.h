// One user history request that goes out as several broker requests (a long range split into the
// broker's per-request limit): the bars of every part are gathered and handed on once, oldest
// first without repeated times, so a receiver that replaces a symbol's bars keeps the whole range.
// A part that fails does not hide the bars of the parts that answered: those are handed on, then
// the first failure is reported.
#pragma once

#include "core/MarketData.h"

#include <QDate>
#include <QList>
#include <QPair>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>

class HistoryBatch {
public:
    using BarsHandler = std::function<void(const QString& symbol, const QList<OHLCData>& bars)>;
    using ErrorHandler = std::function<void(const QString& message)>;

    // `parts` requests make up the batch; every one must end in partArrived or partFailed. The
    // handlers run once, from the call that ends the last part.
    static std::shared_ptr<HistoryBatch> create(int parts, const QString& symbol, BarsHandler onBars,
                                                ErrorHandler onError);

    void partArrived(int part, const QList<OHLCData>& bars);
    void partFailed(int part, const QString& message);

    int size() const { return parts.size(); }
    bool isFinished() const { return outstanding == 0; }
    QString symbol() const { return name; }

    // Bars of all parts in one list, sorted by time; of two bars with one time the one from the
    // earlier part stays.
    static QList<OHLCData> merge(const QVector<QList<OHLCData>>& parts);

    // [from, to] split into consecutive ranges of at most `maxDays` calendar days each (both ends
    // counted). One range when it fits; none when `to` is before `from` or `maxDays` < 1.
    static QList<QPair<QDate, QDate>> splitRange(const QDate& from, const QDate& to, int maxDays);

private:
    HistoryBatch() = default;
    void partDone(int part);

    QVector<QList<OHLCData>> parts;
    QVector<bool> done;
    int outstanding = 0;
    bool arrived = false;  // at least one part answered with a usable reply
    bool failed = false;
    QString firstError;
    QString name;
    BarsHandler barsHandler;
    ErrorHandler errorHandler;
};
