// Loads a block-graph strategy, orders it, and evaluates it once per trading day and once per minute bar.
#pragma once

#include "backtest/Indicators.h"
#include "backtest/SlidingIndicator.h"
#include "backtest/StoredCandle.h"
#include "backtest/StrategyBlock.h"

#include <QHash>
#include <QJsonObject>
#include <QPair>
#include <QString>
#include <QVector>

#include <memory>
#include <vector>

// Timeframe codes of blocks and of "strategyTimeframe".
namespace Timeframe {
enum : int { Day = 1, M1 = 2, M3 = 3, M5 = 4, M15 = 5, M30 = 6, M60 = 7, H4 = 8, Week = 9, Month = 10 };
}

// The agent reads the output fields after each pass. The evaluator belongs to one worker thread and
// takes no locks. The graph is untrusted input: malformed parts become defaults, unorderable blocks
// are skipped, and nothing in it can make a pass divide by zero or loop beyond its size.
class StrategyEvaluator {
public:
    StrategyEvaluator() = default;
    StrategyEvaluator(const StrategyEvaluator&) = delete;
    StrategyEvaluator& operator=(const StrategyEvaluator&) = delete;

    // Bar-level outputs.
    bool buySignal = false;
    bool sellSignal = false;
    bool exitSignal = false;
    double entryPrice = 0.0;  // 0 or below: the entry block names no price
    qint32 stopMode = 0;      // 0: percent of the entry price; otherwise the level given by stopValue
    double stopPercent = 3.0;
    double stopValue = 0.0;
    qint32 targetMode = 0;
    double targetPercent = 10.0;
    double targetValue = 0.0;
    bool hasStopLoss = false;
    bool hasTarget = false;
    // Day-level outputs.
    bool dayBuySignal = false;
    bool daySellSignal = false;
    bool dayExitSignal = false;

    QMap<int, StrategyBlock> blocks;
    QVector<StrategyConnection> connections;
    QVector<int> evaluationOrder;
    QVector<StoredCandle> dailyBars;  // oldest first, the latest day last
    QHash<int, QHash<int, QPair<int, int>>> inputIndex;  // toBlock -> toPort -> (fromBlock, fromPort)
    QString currentTime;
    qint32 strategyTimeframe = 1;
    QVector<StoredCandle> weeklyBars;   // completed weeks, oldest first
    QVector<StoredCandle> monthlyBars;  // completed months, oldest first
    qint32 aggregatedCount = 0;
    QString monthKey;
    QString weekKey;
    StoredCandle currentMonthBar;
    StoredCandle currentWeekBar;
    bool monthStarted = false;
    bool weekStarted = false;
    bool hasBarLevelBlocks = false;
    qint32 lastMonthCount = -1;
    qint32 lastWeekCount = -1;

    // Replaces the graph; never fails.
    bool loadGraph(const QJsonObject& strategy);
    void buildInputMap();
    void buildEvaluationOrder();

    double inputValue(int block, int port) const;
    bool inputSignal(int block, int port) const;
    const BlockHistory& inputHistory(int block, int port) const;
    bool isInputConnected(int block, int port) const;
    double blockValue(int id) const;
    int blockHistorySize(int id) const;
    double blockHistoryAt(int id, int index) const;

    void evaluateDay(const QVector<StoredCandle>& bars);
    void evaluateBar(const StoredCandle& bar, const QString& time);
    void resetState();
    // Clears only what the bar pass builds (bar-level blocks and the bar outputs); day-level values,
    // daily bars and the week and month aggregation stay.
    void resetBarState();
    // Gives day-level blocks their values for a first day that has no earlier day to look at: the day
    // pass over no bars sets the constants, then every day-level history, cross memory, week/month gate
    // count and day signal is cleared again, so the first real day pass behaves as the first one.
    void primeDayLevel();
    void evaluateBlock(StrategyBlock& block, const StoredCandle* bar);
    double currentAtr(int period) const;
    static double candleField(const QString& type, const StoredCandle& bar);

    static bool isBucketClose(const QString& time, int code);
    void updatePeriodBars();
    QString describeStrategy() const;

    // Integer parameter as the graph gives it (a double), rounded the way Qt 5 converts doubles,
    // clamped to the int range first.
    static int paramInt(const StrategyBlock& block, const QString& name, int fallback);
    static double paramDouble(const StrategyBlock& block, const QString& name, double fallback);

private:
    enum class Kind {
        None, CandleOpen, CandleHigh, CandleLow, CandleClose, CandleVolume, Number, NDaysAgo, Ema, Sma, Rsi,
        Atr, Adx, Multiply, Add, Subtract, MaxOf, Percent, PreviousNth, GreaterThan, LessThan, CrossedAbove,
        CrossedBelow, WithinPct, And, Or, Not, BuyEntry, SellEntry, StopLoss, Target, ExitRule
    };
    struct Input {
        int port = 0;
        const StrategyBlock* source = nullptr;  // null when the id names no block
    };
    // A block resolved for evaluation: its kind, parameters and connected inputs (ascending ports).
    struct Resolved {
        StrategyBlock* block = nullptr;
        Kind kind = Kind::None;
        int tf = 1;  // own timeframe, 0 replaced by the strategy timeframe
        int period = 0;
        int count = 0;  // "N", "n" or "portCount" by kind
        int mode = 0;   // "priceSource" or "mode"
        double number = 0.0;  // "value" or "percent"
        QVector<Input> inputs;
        const Input* in0 = nullptr;  // the inputs on ports 0 and 1, when connected
        const Input* in1 = nullptr;
        // A bar-level EMA, SMA or RSI with a period of 1 or more: its value over its own history.
        std::unique_ptr<SlidingIndicator> sliding;
    };

    static Kind kindOf(const QString& type);
    static bool isCandle(Kind k) { return k >= Kind::CandleOpen && k <= Kind::CandleVolume; }
    static bool hasTimeframe(Kind k) { return isCandle(k) || (k >= Kind::Ema && k <= Kind::Adx); }
    Resolved resolve(StrategyBlock& block) const;
    void rebuildCache();
    void link(Resolved& r);
    void ensureCache();
    void evaluateResolved(Resolved& r, const StoredCandle* bar);
    void evaluateCandle(Resolved& r, const StoredCandle* bar);
    void evaluateAverage(Resolved& r, bool dayLevel);
    static double fieldOf(Kind k, const StoredCandle& bar);
    // Minutes since midnight of a bar time, read the way the bucket rule reads it.
    static int minutesOf(const QString& time);
    static bool bucketCloses(int minutes, int code);

    std::vector<Resolved> m_cache;  // evaluationOrder resolved; rebuilt when the graph changes
    int m_cacheBlocks = -1;
    int m_minutes = 0;  // of currentTime
    qint64 m_weekVolume = 0;
    qint64 m_monthVolume = 0;
    // ATR and ADX of the daily bars by period: they change only with the daily bars, while a bar-level
    // block (or many blocks) would otherwise rescan every day on every minute.
    QHash<int, double> m_atrByPeriod;
    QHash<int, double> m_adxByPeriod;
    int m_dailyIndicatorBars = -1;  // size and last date of the dailyBars the two maps were filled for
    QString m_dailyIndicatorDate;
    double dailyIndicator(bool adx, int period);
};
