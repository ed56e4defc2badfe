// Value records a backtest hands from its worker thread to the controller: closed trades and statistics.
#pragma once

#include <QMetaType>
#include <QString>
#include <QVector>

struct TradeRecord {
    QString symbol;
    qint32 side = 0;  // 1 buy (long), 2 sell (short)
    QString entry_date;
    QString entry_time;
    double entry_price = 0.0;
    QString exit_date;
    QString exit_time;
    double exit_price = 0.0;
    qint32 exit_reason = 0;  // ExitReason
    double sl = 0.0;         // stop as last moved; 0 when the trade had none
    double target = 0.0;     // 0 when the trade had none
    qint32 qty = 0;
    double points = 0.0;  // result in price points
    double pnl = 0.0;     // points times qty
    QString notes;        // indicator readings when the position opened
};

struct BacktestSummary {
    QString symbol;
    QString from;
    QString to;
    qint32 total_trades = 0;
    qint32 wins = 0;  // points of 0 count as a win
    qint32 losses = 0;
    double win_rate = 0.0;  // percent
    double total_points = 0.0;
    double net_pnl = 0.0;
    double max_drawdown = 0.0;  // in points, from the running peak of cumulative points
    double avg_win = 0.0;
    double avg_loss = 0.0;  // positive
    double profit_factor = 0.0;
    double expectancy = 0.0;
    QVector<double> equity_curve;  // cumulative points after each trade
};

namespace ExitReason {
enum : qint32 {
    TargetHit = 0,
    StoplossHit = 1,
    TrailingStopHit = 2,
    EodProfit = 3,
    EodLoss = 4,
    SignalExit = 5,
    MaxBarsExit = 6,
};
}

Q_DECLARE_METATYPE(TradeRecord)
Q_DECLARE_METATYPE(BacktestSummary)

// Registers "BacktestSummary" and "QVector<TradeRecord>", the types the agent's signals carry across
// threads. Idempotent and cheap after the first call.
inline void registerBacktestTypes()
{
    static const bool registered = [] {
        qRegisterMetaType<BacktestSummary>("BacktestSummary");
        qRegisterMetaType<QVector<TradeRecord>>("QVector<TradeRecord>");
        return true;
    }();
    Q_UNUSED(registered);
}
