// Writes the bars of completed history downloads into the candle store, off the GUI thread.
#pragma once

#include "backtest/StoredCandle.h"
#include "core/MarketData.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QThread>
#include <QVector>

class IOHLCStore;

class HistoryCandleWriter : public QObject {
    Q_OBJECT
public:
    enum class Table { None, Minute, Day };

    explicit HistoryCandleWriter(IOHLCStore* store, QObject* parent = nullptr);
    // Finishes every write queued so far, then stops the writer thread.
    ~HistoryCandleWriter() override;

    // The table a download's interval fills: 1-minute bars the minute table, daily bars the day
    // table; other timeframes are not stored.
    static Table tableFor(const QString& interval);
    // The valid bars as candles on the exchange's clock; a bar with an invalid time or a price that
    // is not a positive finite number is left out.
    static QVector<StoredCandle> toCandles(const QList<OHLCData>& bars, Table table);

public slots:
    // Queues the bars of one completed download under `symbol`; returns at once.
    void write(const QString& symbol, const QString& interval, const QList<OHLCData>& bars);

signals:
    // After a download's bars were written: how many arrived and how many rows were new.
    void written(QString symbol, QString interval, int received, int added);

private:
    IOHLCStore* store;
    QThread thread;
    QObject* worker;  // lives on `thread`; the writes run as its queued calls, in arrival order
};
