// Worker thread that replays one symbol's stored candles through a strategy graph and keeps its trades.
#pragma once

#include "backtest/BacktestRecords.h"
#include "backtest/IOHLCStore.h"
#include "backtest/StrategyEvaluator.h"

#include <QJsonObject>
#include <QThread>

#include <atomic>

// What one run keeps: closed trades and the one open position with its levels (0.0: no such level).
struct BacktestRunState {
    qint32 tradeCount = 0;
    double cumulativePoints = 0.0;
    QVector<TradeRecord> trades;
    bool inPosition = false;
    qint32 side = 0;  // 1 long, 2 short, 0 flat
    double longEntry = 0.0;
    double longTarget = 0.0;
    double longStop = 0.0;
    double shortEntry = 0.0;
    double shortTarget = 0.0;
    double shortStop = 0.0;
    double bestPrice = 0.0;  // highest high of a long, lowest low of a short, since entry
    bool trailMoved = false;
    QString entryDate;
    QString entryTime;
    qint32 barsHeld = 0;
    QString notes;
};

class BacktestAgent : public QThread {
    Q_OBJECT
public:
    explicit BacktestAgent(QObject* parent = nullptr);
    ~BacktestAgent() override;

    void setStore(IOHLCStore* store);
    void setStrategy(const QJsonObject& strategy);
    void setSymbol(const QString& symbol);
    void setDateRange(const QString& from, const QString& to);
    void setIntraday(bool intraday);
    void setQty(int qty);
    void setMaxBars(int maxBars);
    void setTrailingStop(bool enabled, double triggerPct, double distancePct);

    // Thread-safe; the run stops at its next trading day with `cancelled`.
    void cancel();

    // Statistics over closed trades, in points except net_pnl.
    static BacktestSummary summarize(const QString& symbol, const QString& from, const QString& to,
                                     const QVector<TradeRecord>& trades);

signals:
    void progress(int daysDone, int daysTotal, int tradesTotal);
    void finished(QString symbol, BacktestSummary summary, QVector<TradeRecord> trades);
    void cancelled(QString symbol);
    void error(QString symbol, QString message);

protected:
    void run() override;

private:
    void openPosition(int side, double price, const QString& date, const QString& time, BacktestRunState& s);
    void setStopsAndTarget(int side, double price, BacktestRunState& s);
    bool checkExits(const StoredCandle& bar, const QString& time, BacktestRunState& s);
    void closeTrade(double exitPrice, const StoredCandle& bar, const QString& time, int reason, BacktestRunState& s);
    bool checkExitsIfOpen(const StoredCandle& bar, const QString& time, BacktestRunState& s);
    void squareOff(const StoredCandle& bar, const QString& time, BacktestRunState& s);
    void processDayExits(const QVector<StoredCandle>& minuteBars, BacktestRunState& s);
    void processIntradayBars(const QVector<StoredCandle>& minuteBars, BacktestRunState& s);

    IOHLCStore* store = nullptr;
    QJsonObject strategy;
    QString symbol;
    QString fromDate;
    QString toDate;
    bool intraday = false;
    qint32 qty = 1;
    qint32 maxBars = 0;  // 0 or less: no holding limit
    bool trailingEnabled = false;
    double trailTriggerPct = 1.0;
    double trailDistancePct = 0.5;
    std::atomic<qint32> cancelRequested{0};
    StrategyEvaluator evaluator;
};
