// Backtest run loop: day and bar passes over stored candles, positions, stops, targets and the summary.
#include "backtest/BacktestAgent.h"

#include <QDebug>
#include <QElapsedTimer>

#include <algorithm>
#include <exception>
#include <limits>

namespace {

const QString kSquareOffTime = QStringLiteral("15:15:00");
const QString kFinalCloseTime = QStringLiteral("15:30:00");
const qint64 kProgressIntervalMs = 250;

}  // namespace

BacktestAgent::BacktestAgent(QObject* parent) : QThread(parent)
{
    // The signals carry these across threads whoever connects to them.
    registerBacktestTypes();
}

BacktestAgent::~BacktestAgent() = default;

void BacktestAgent::setStore(IOHLCStore* s) { store = s; }
void BacktestAgent::setStrategy(const QJsonObject& s) { strategy = s; }
void BacktestAgent::setSymbol(const QString& s) { symbol = s; }
void BacktestAgent::setDateRange(const QString& from, const QString& to)
{
    fromDate = from;
    toDate = to;
}
void BacktestAgent::setIntraday(bool on) { intraday = on; }
void BacktestAgent::setQty(int q) { qty = q; }
void BacktestAgent::setMaxBars(int m) { maxBars = m; }
void BacktestAgent::setTrailingStop(bool enabled, double triggerPct, double distancePct)
{
    trailingEnabled = enabled;
    trailTriggerPct = triggerPct;
    trailDistancePct = distancePct;
}

void BacktestAgent::cancel()
{
    cancelRequested.store(1);
}

// ---- positions ----

void BacktestAgent::openPosition(int side, double price, const QString& date, const QString& time, BacktestRunState& s)
{
    s.inPosition = true;
    s.side = side;
    s.entryDate = date;
    s.entryTime = time;
    s.barsHeld = 0;
    s.notes = evaluator.describeStrategy();
    s.bestPrice = price;
    s.trailMoved = false;
    if (side == 1)
        s.longEntry = price;
    else
        s.shortEntry = price;
    setStopsAndTarget(side, price, s);
}

void BacktestAgent::setStopsAndTarget(int side, double price, BacktestRunState& s)
{
    const bool isLong = side == 1;
    // Mode 0 is a percentage of the entry; every other mode is the level the block was fed.
    double stop = 0.0;
    if (evaluator.hasStopLoss) {
        if (evaluator.stopMode != 0)
            stop = evaluator.stopValue;
        else
            stop = price * (isLong ? 1.0 - evaluator.stopPercent / 100.0 : 1.0 + evaluator.stopPercent / 100.0);
    }
    double target = 0.0;
    if (evaluator.hasTarget) {
        if (evaluator.targetMode != 0)
            target = evaluator.targetValue;
        else
            target = price * (isLong ? 1.0 + evaluator.targetPercent / 100.0 : 1.0 - evaluator.targetPercent / 100.0);
    }
    (isLong ? s.longStop : s.shortStop) = stop;
    (isLong ? s.longTarget : s.shortTarget) = target;
}

bool BacktestAgent::checkExits(const StoredCandle& bar, const QString& time, BacktestRunState& s)
{
    const bool isLong = s.side == 1;
    double& stop = isLong ? s.longStop : s.shortStop;
    const double target = isLong ? s.longTarget : s.shortTarget;
    const double entry = isLong ? s.longEntry : s.shortEntry;

    if (trailingEnabled && stop > 0.0) {
        if (isLong && bar.high >= entry * (1.0 + trailTriggerPct / 100.0)) {
            s.bestPrice = std::max(s.bestPrice, bar.high);
            const double candidate = s.bestPrice * (1.0 - trailDistancePct / 100.0);
            if (candidate > stop) {
                stop = candidate;
                s.trailMoved = true;
            }
        } else if (!isLong && bar.low <= entry * (1.0 - trailTriggerPct / 100.0)) {
            s.bestPrice = std::min(s.bestPrice, bar.low);
            const double candidate = s.bestPrice * (1.0 + trailDistancePct / 100.0);
            if (candidate < stop) {
                stop = candidate;
                s.trailMoved = true;
            }
        }
    }
    // Fills are at the level itself; when one bar reaches both, the target wins.
    if (target > 0.0 && (isLong ? bar.high >= target : bar.low <= target)) {
        closeTrade(target, bar, time, ExitReason::TargetHit, s);
        return true;
    }
    if (stop > 0.0 && (isLong ? bar.low <= stop : bar.high >= stop)) {
        const int reason = trailingEnabled && s.trailMoved ? ExitReason::TrailingStopHit : ExitReason::StoplossHit;
        closeTrade(stop, bar, time, reason, s);
        return true;
    }
    return false;
}

void BacktestAgent::closeTrade(double exitPrice, const StoredCandle& bar, const QString& time, int reason,
                               BacktestRunState& s)
{
    const bool isLong = s.side == 1;
    TradeRecord t;
    t.symbol = symbol;
    t.side = s.side;
    t.entry_date = s.entryDate;
    t.entry_time = s.entryTime;
    t.entry_price = isLong ? s.longEntry : s.shortEntry;
    t.exit_date = bar.date;
    t.exit_time = time;
    t.exit_price = exitPrice;
    t.exit_reason = reason;
    t.sl = isLong ? s.longStop : s.shortStop;
    t.target = isLong ? s.longTarget : s.shortTarget;
    t.qty = qty;
    t.points = isLong ? exitPrice - t.entry_price : t.entry_price - exitPrice;
    t.pnl = t.points * qty;
    t.notes = s.notes;
    s.trades.append(t);

    s.cumulativePoints += t.points;
    s.tradeCount += 1;
    s.inPosition = false;
    s.side = 0;
    s.barsHeld = 0;
    s.longEntry = s.longTarget = s.longStop = 0.0;
    s.shortEntry = s.shortTarget = s.shortStop = 0.0;
    s.bestPrice = 0.0;
    s.trailMoved = false;
}

bool BacktestAgent::checkExitsIfOpen(const StoredCandle& bar, const QString& time, BacktestRunState& s)
{
    return s.inPosition && checkExits(bar, time, s);
}

void BacktestAgent::squareOff(const StoredCandle& bar, const QString& time, BacktestRunState& s)
{
    const double entry = s.side == 1 ? s.longEntry : s.shortEntry;
    const bool profit = s.side == 1 ? bar.open > entry : bar.open < entry;
    closeTrade(bar.open, bar, time, profit ? ExitReason::EodProfit : ExitReason::EodLoss, s);
}

// ---- day routines ----

void BacktestAgent::processDayExits(const QVector<StoredCandle>& minuteBars, BacktestRunState& s)
{
    if (!s.inPosition)
        return;
    for (const StoredCandle& bar : minuteBars) {
        if (bar.time > kSquareOffTime) {
            squareOff(bar, bar.time, s);
            return;
        }
        if (checkExits(bar, bar.time, s))
            return;
        evaluator.evaluateBar(bar, bar.time);
        if (evaluator.exitSignal) {
            closeTrade(bar.close, bar, bar.time, ExitReason::SignalExit, s);
            return;
        }
    }
}

void BacktestAgent::processIntradayBars(const QVector<StoredCandle>& minuteBars, BacktestRunState& s)
{
    if (!s.inPosition)
        s.side = 0;
    // Each day's bar-level blocks start afresh; the day-level values of the earlier days stay in place.
    evaluator.resetBarState();
    for (const StoredCandle& bar : minuteBars) {
        const bool wasOpen = s.inPosition;
        if (wasOpen) {
            if (bar.time >= kSquareOffTime) {
                squareOff(bar, bar.time, s);
                break;
            }
            if (checkExits(bar, bar.time, s))
                continue;
        }
        evaluator.evaluateBar(bar, bar.time);
        if (!wasOpen) {
            const double price = evaluator.entryPrice > 0.0 ? evaluator.entryPrice : bar.close;
            if (evaluator.buySignal)
                openPosition(1, price, bar.date, bar.time, s);
            else if (evaluator.sellSignal)
                openPosition(2, price, bar.date, bar.time, s);
            else
                continue;
        } else if (evaluator.exitSignal) {
            closeTrade(bar.close, bar, bar.time, ExitReason::SignalExit, s);
            continue;
        }
        s.barsHeld += 1;
        if (maxBars >= 1 && s.barsHeld >= maxBars)
            closeTrade(bar.close, bar, bar.time, ExitReason::MaxBarsExit, s);
    }
}

// ---- run ----

void BacktestAgent::run()
{
    try {
        if (!store) {
            emit error(symbol, QStringLiteral("No data store set"));
            return;
        }
        if (!evaluator.loadGraph(strategy)) {
            emit error(symbol, QStringLiteral("Failed to load strategy graph"));
            return;
        }
        // The range may be long (an untrusted job can name millions of weekdays): days are walked one
        // at a time and never listed up front.
        const QDate first = QDate::fromString(fromDate, Qt::ISODate);
        const QDate last = QDate::fromString(toDate, Qt::ISODate);
        const qint64 weekdays = weekdaysBetween(first, last);
        if (weekdays == 0) {
            emit error(symbol, QStringLiteral("No trading days in range"));
            return;
        }
        const int total = static_cast<int>(std::min<qint64>(weekdays, std::numeric_limits<int>::max()));

        BacktestRunState s;
        QVector<StoredCandle> dailyBars;
        StoredCandle lastBar;  // the last minute bar replayed
        bool anyDay = false;
        // Progress goes out for the first and the last day and otherwise at most a few times a second,
        // so that a long range cannot flood the receiving thread with queued signals.
        QElapsedTimer sinceProgress;
        int done = 0;
        auto report = [&] {
            if (!sinceProgress.isValid() || done >= total || sinceProgress.elapsed() >= kProgressIntervalMs) {
                emit progress(done, total, s.tradeCount);
                sinceProgress.start();
            }
        };
        for (QDate date = first; date <= last && done < total; date = date.addDays(1)) {
            if (date.dayOfWeek() > 5)
                continue;
            if (cancelRequested.load()) {
                emit cancelled(symbol);
                return;
            }
            ++done;
            const QString day = date.toString(Qt::ISODate);
            const QVector<StoredCandle> minuteBars = store->loadMinuteCandles(symbol, day);
            if (minuteBars.isEmpty()) {
                report();
                continue;
            }
            // Day-level values seen during this day come only from the days before it; the day's own
            // candle joins the daily bars after its minutes have been replayed.
            if (anyDay)
                evaluator.evaluateDay(dailyBars);
            else
                evaluator.primeDayLevel();
            anyDay = true;

            if (!intraday) {
                // The previous day's signals act at this day's first minute bar.
                const StoredCandle& firstBar = minuteBars.first();
                if (evaluator.dayExitSignal && s.inPosition)
                    closeTrade(firstBar.open, firstBar, firstBar.time, ExitReason::SignalExit, s);
                if (evaluator.dayBuySignal && !s.inPosition)
                    openPosition(1, firstBar.open, day, firstBar.time, s);
                processDayExits(minuteBars, s);
            } else {
                processIntradayBars(minuteBars, s);
            }
            lastBar = minuteBars.last();

            const QVector<StoredCandle> dayCandle = store->loadDayCandles(symbol, day, day);
            if (!dayCandle.isEmpty())
                dailyBars.append(dayCandle.first());
            report();
        }

        if (!anyDay) {
            emit error(symbol, QStringLiteral("No stored candles in range"));
            return;
        }
        if (s.inPosition) {
            // Close at the last price seen, never before the entry and never dropped.
            StoredCandle at = lastBar;
            if (!dailyBars.isEmpty() && dailyBars.constLast().date == lastBar.date)
                at.close = dailyBars.constLast().close;
            const double entry = s.side == 1 ? s.longEntry : s.shortEntry;
            const bool profit = s.side == 1 ? at.close > entry : at.close < entry;
            closeTrade(at.close, at, kFinalCloseTime, profit ? ExitReason::EodProfit : ExitReason::EodLoss, s);
        }
        emit finished(symbol, summarize(symbol, fromDate, toDate, s.trades), s.trades);
    } catch (const std::exception& e) {
        emit error(symbol, QStringLiteral("Backtest failed: %1").arg(QString::fromLocal8Bit(e.what())));
    }
}

BacktestSummary BacktestAgent::summarize(const QString& symbol, const QString& from, const QString& to,
                                         const QVector<TradeRecord>& trades)
{
    BacktestSummary sum;
    sum.symbol = symbol;
    sum.from = from;
    sum.to = to;
    double equity = 0.0, peak = 0.0, grossWin = 0.0, grossLoss = 0.0;
    sum.equity_curve.reserve(trades.size());
    for (const TradeRecord& t : trades) {
        equity += t.points;
        sum.equity_curve.append(equity);
        sum.total_points += t.points;
        sum.net_pnl += t.pnl;
        if (t.points < 0.0) {
            ++sum.losses;
            grossLoss += -t.points;
        } else {
            ++sum.wins;
            grossWin += t.points;
        }
        peak = std::max(peak, equity);
        sum.max_drawdown = std::max(sum.max_drawdown, peak - equity);
    }
    sum.total_trades = trades.size();
    if (sum.total_trades > 0) {
        sum.win_rate = sum.wins * 100.0 / sum.total_trades;
        sum.avg_win = sum.wins > 0 ? grossWin / sum.wins : 0.0;
        sum.avg_loss = sum.losses > 0 ? grossLoss / sum.losses : 0.0;
        sum.profit_factor = grossLoss > 0.0 ? grossWin / grossLoss : 0.0;
        sum.expectancy = (sum.win_rate / 100.0) * sum.avg_win - sum.avg_loss * ((100.0 - sum.win_rate) / 100.0);
    }
    return sum;
}
