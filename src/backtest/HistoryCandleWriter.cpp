// Downloaded history into the candle store: interval to table, bars to candles, inserts on a worker thread.
#include "backtest/HistoryCandleWriter.h"

#include "backtest/IOHLCStore.h"

#include <QDebug>
#include <QMetaObject>

#include <algorithm>
#include <cmath>

namespace {

// Indian exchanges keep UTC+05:30 all year.
constexpr int kExchangeOffsetSeconds = 5 * 3600 + 30 * 60;

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
    : QObject(parent), store(s), worker(new QObject)
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
        // A time that names its zone is read on the exchange's clock; a plain local time is taken as
        // it reads, as the CSV export takes it.
        const QDateTime when = bar.timestamp.timeSpec() == Qt::LocalTime
            ? bar.timestamp
            : bar.timestamp.toOffsetFromUtc(kExchangeOffsetSeconds);
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
    if (table == Table::None || !store || symbol.isEmpty())
        return;
    IOHLCStore* s = store;
    QMetaObject::invokeMethod(
        worker,
        [this, s, symbol, interval, bars, table] {
            const QVector<StoredCandle> candles = toCandles(bars, table);
            const int added = table == Table::Minute ? s->insertMinuteCandles(symbol, candles)
                                                     : s->insertDayCandles(symbol, candles);
            qInfo() << "[HistoryCandleWriter] Stored" << added << "new"
                    << (table == Table::Minute ? "minute" : "day") << "candles of" << bars.size()
                    << "received for" << symbol.left(64);
            emit written(symbol, interval, bars.size(), added);
        },
        Qt::QueuedConnection);
}
