// Downloaded history into the candle store: interval to table, bars to candles, inserts on a worker thread.
#include "backtest/HistoryCandleWriter.h"

#include "backtest/IOHLCStore.h"
#include "core/BarClock.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QMetaObject>

#include <algorithm>
#include <cmath>

namespace {

bool usablePrice(double v)
{
    return std::isfinite(v) && v > 0.0;
}

// Clamped in double first: a cast of a value outside qint64 would be undefined.
qint32 volumeOf(double v)
{
    if (!std::isfinite(v))
        return 0;
    return saturateVolume(static_cast<qint64>(std::max(-1e18, std::min(v, 1e18))));
}

}  // namespace

HistoryCandleWriter::HistoryCandleWriter(IOHLCStore* s, QObject* parent)
    : QObject(parent), target(s), worker(new QObject)
{
    registerMarketDataTypes();
    thread.setObjectName(QStringLiteral("HistoryCandleWriter"));
    worker->moveToThread(&thread);
    connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    thread.start();
}

HistoryCandleWriter::~HistoryCandleWriter()
{
    // Queued behind the writes already waiting, so none of them is dropped.
    stopping.store(true);
    wake.release();
    QThread* t = &thread;
    QMetaObject::invokeMethod(worker, [t] { t->quit(); }, Qt::QueuedConnection);
    thread.wait();
}

HistoryCandleWriter::Table HistoryCandleWriter::tableFor(const QString& interval)
{
    if (interval == QLatin1String("minute") || interval == QLatin1String("1minute"))
        return Table::Minute;
    if (interval == QLatin1String("day"))
        return Table::Day;
    return Table::None;
}

QVector<StoredCandle> HistoryCandleWriter::toCandles(const QList<OHLCData>& bars, Table table)
{
    QVector<StoredCandle> out;
    if (table == Table::None)
        return out;
    out.reserve(bars.size());
    const QString midnight = QStringLiteral("00:00:00");
    for (const OHLCData& bar : bars) {
        if (!bar.timestamp.isValid() || !usablePrice(bar.open) || !usablePrice(bar.high) || !usablePrice(bar.low)
            || !usablePrice(bar.close))
            continue;
        // One row per exchange minute whichever source the bar came from and wherever the machine is.
        const QDateTime when = BarClock::onExchangeClock(bar.timestamp);
        StoredCandle c;
        c.date = when.date().toString(Qt::ISODate);
        c.time = table == Table::Minute ? when.time().toString(QStringLiteral("HH:mm:ss")) : midnight;
        c.open = bar.open;
        c.high = bar.high;
        c.low = bar.low;
        c.close = bar.close;
        c.volume = volumeOf(bar.volume);
        out.append(c);
    }
    return out;
}

void HistoryCandleWriter::write(const QString& symbol, const QString& interval, const QList<OHLCData>& bars)
{
    const Table table = tableFor(interval);
    if (table == Table::None || !target || symbol.isEmpty())
        return;
    QMetaObject::invokeMethod(
        worker, [this, symbol, interval, bars, table] { store(symbol, interval, bars, table); }, Qt::QueuedConnection);
}

void HistoryCandleWriter::store(const QString& symbol, const QString& interval, const QList<OHLCData>& bars,
                                Table table)
{
    const bool minute = table == Table::Minute;
    const QVector<StoredCandle> candles = toCandles(bars, table);
    IOHLCStore::InsertReport r;
    QElapsedTimer waited;
    waited.start();
    // While another program holds the store's write lock the whole batch is tried again (never a
    // part of it) for a bounded time; once the writer is stopping, a store found locked is given up.
    bool done = false;
    for (int attempt = 0; !(stopping.load() && lastBusy); ++attempt) {
        if (attempt > 0) {
            if (waited.elapsed() >= busyWaitMs.load())
                break;
            wake.tryAcquire(1, 100);  // a pause that leaves the store to its readers
            if (stopping.load())
                break;
        }
        r = target->insertCandles(minute, symbol, candles);
        lastBusy = r.busy;
        if (!r.busy) {
            done = true;
            break;
        }
    }
    if (!done) {
        r = IOHLCStore::InsertReport();
        r.failed = candles.size();
        r.problem = QStringLiteral("the candle store stayed locked by another connection");
    }
    const char* kind = minute ? "minute" : "day";
    qInfo() << "[HistoryCandleWriter] Stored" << r.added << "new" << kind << "candles of" << bars.size()
            << "received for" << symbol.left(64) << "-" << r.duplicates << "already stored,"
            << bars.size() - candles.size() << "unusable";
    if (r.failed > 0) {
        qWarning() << "[HistoryCandleWriter] Could not store" << r.failed << "of" << bars.size() << kind
                   << "candles for" << symbol.left(64) << ":" << r.problem;
    }
    emit written(symbol, interval, bars.size(), r.added, r.failed, r.problem);
}
