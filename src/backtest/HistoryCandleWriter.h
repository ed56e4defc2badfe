// Writes the bars of completed history downloads into the candle store, off the GUI thread.
#pragma once

#include "backtest/StoredCandle.h"
#include "core/MarketData.h"

#include <QList>
#include <QObject>
#include <QSemaphore>
#include <QString>
#include <QThread>
#include <QVector>

#include <atomic>

class IOHLCStore;

class HistoryCandleWriter : public QObject {
    Q_OBJECT
public:
    enum class Table { None, Minute, Day };

    explicit HistoryCandleWriter(IOHLCStore* store, QObject* parent = nullptr);
    // Finishes every write queued so far, then stops the writer thread. A store that another program
    // keeps locked is not waited for: what cannot be written then is reported as failed.
    ~HistoryCandleWriter() override;

    // How long one download's bars wait for a store another connection keeps locked (10 s).
    void setBusyWait(int ms) { busyWaitMs = ms; }

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
    // After a download's bars were handled: how many arrived, how many rows were new and how many
    // could not be written, with the reason (empty when none failed).
    void written(QString symbol, QString interval, int received, int added, int failed, QString problem);

private:
    void store(const QString& symbol, const QString& interval, const QList<OHLCData>& bars, Table table);

    IOHLCStore* target;
    QThread thread;
    QObject* worker;  // lives on `thread`; the writes run as its queued calls, in arrival order
    std::atomic<int> busyWaitMs{10000};
    std::atomic<bool> stopping{false};
    bool lastBusy = false;  // the last attempt found the store locked (writer thread only)
    QSemaphore wake;        // cuts a pause between attempts short when the writer stops
};
