#include "brokers/HistoryBatch.h"

#include <algorithm>

std::shared_ptr<HistoryBatch> HistoryBatch::create(int parts, const QString& symbol, BarsHandler onBars,
                                                   ErrorHandler onError)
{
    std::shared_ptr<HistoryBatch> batch(new HistoryBatch);
    const int n = std::max(parts, 1);
    batch->parts.resize(n);
    batch->done.fill(false, n);
    batch->outstanding = n;
    batch->name = symbol;
    batch->barsHandler = std::move(onBars);
    batch->errorHandler = std::move(onError);
    return batch;
}

void HistoryBatch::partArrived(int part, const QList<OHLCData>& bars)
{
    if (part < 0 || part >= parts.size() || done[part])
        return;
    parts[part] = bars;
    arrived = true;
    partDone(part);
}

void HistoryBatch::partFailed(int part, const QString& message)
{
    if (part < 0 || part >= parts.size() || done[part])
        return;
    if (!failed) {
        failed = true;
        firstError = message;
    }
    partDone(part);
}

void HistoryBatch::partDone(int part)
{
    done[part] = true;
    if (--outstanding > 0)
        return;
    const QList<OHLCData> bars = merge(parts);
    // An empty success after a failure would only look like a complete answer with nothing in it.
    if (arrived && (!failed || !bars.isEmpty()) && barsHandler)
        barsHandler(name, bars);
    if (failed && errorHandler)
        errorHandler(firstError);
}

QList<OHLCData> HistoryBatch::merge(const QVector<QList<OHLCData>>& parts)
{
    QList<OHLCData> bars;
    for (const QList<OHLCData>& p : parts)
        bars += p;
    std::stable_sort(bars.begin(), bars.end(),
                     [](const OHLCData& a, const OHLCData& b) { return a.timestamp < b.timestamp; });
    bars.erase(std::unique(bars.begin(), bars.end(),
                           [](const OHLCData& a, const OHLCData& b) { return a.timestamp == b.timestamp; }),
               bars.end());
    return bars;
}

QList<QPair<QDate, QDate>> HistoryBatch::splitRange(const QDate& from, const QDate& to, int maxDays)
{
    QList<QPair<QDate, QDate>> ranges;
    if (!from.isValid() || !to.isValid() || to < from || maxDays < 1)
        return ranges;
    for (QDate cur = from; cur <= to; cur = cur.addDays(maxDays))
        ranges.append({cur, std::min(cur.addDays(maxDays - 1), to)});
    return ranges;
}
