// Strategy graph loading and ordering, the day and bar passes, period bars and the trade notes.
#include "backtest/StrategyEvaluator.h"

#include "backtest/Indicators.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonValue>
#include <QVariant>

#include <algorithm>
#include <cmath>
#include <limits>
#include <queue>

namespace {

const int kDayHistoryCap = 600;
const int kWeekHistoryCap = 200;
const int kMonthHistoryCap = 120;


// Integer fields of the graph JSON: a number that is not a whole value in the int range gives the
// default, as Qt 5's QJsonValue::toInt does, without its undefined out-of-range cast.
int jsonInt(const QJsonValue& v, int fallback)
{
    if (!v.isDouble())
        return fallback;
    const double d = v.toDouble();
    if (!(d >= std::numeric_limits<int>::min() && d <= std::numeric_limits<int>::max()) || std::trunc(d) != d)
        return fallback;
    return static_cast<int>(d);
}

static_assert(kDayHistoryCap == BlockHistory::kCapacity, "day-level and bar-level histories keep 600 values");

QString weekKeyOf(const QString& date)
{
    const QDate d(date.mid(0, 4).toInt(), date.mid(5, 2).toInt(), date.mid(8, 2).toInt());
    int year = 0;
    const int week = d.weekNumber(&year);
    return QStringLiteral("%1-%2").arg(year, 4, 10, QLatin1Char('0')).arg(week, 2, 10, QLatin1Char('0'));
}

QString timeframeName(int code)
{
    static const char* const names[] = {"D", "1M", "3M", "5M", "15M", "30M", "60M", "4H", "W", "Mo"};
    if (code >= 1 && code <= 10)
        return QString::fromLatin1(names[code - 1]);
    return QString::number(code);
}

bool isDayTimeframe(int tf)
{
    return tf == Timeframe::Day || tf == Timeframe::Week || tf == Timeframe::Month;
}

}  // namespace

int StrategyEvaluator::paramInt(const StrategyBlock& block, const QString& name, int fallback)
{
    const auto it = block.params.constFind(name);
    if (it == block.params.constEnd())
        return fallback;
    double d = it.value().toDouble();
    if (std::isnan(d))
        return 0;
    d = std::clamp(d, static_cast<double>(std::numeric_limits<int>::min()),
                   static_cast<double>(std::numeric_limits<int>::max()));
    return QVariant(d).toInt();
}

double StrategyEvaluator::paramDouble(const StrategyBlock& block, const QString& name, double fallback)
{
    const auto it = block.params.constFind(name);
    return it == block.params.constEnd() ? fallback : it.value().toDouble();
}

StrategyEvaluator::Kind StrategyEvaluator::kindOf(const QString& type)
{
    static const QHash<QString, Kind> kinds = {
        {QStringLiteral("CandleOpen"), Kind::CandleOpen}, {QStringLiteral("CandleHigh"), Kind::CandleHigh},
        {QStringLiteral("CandleLow"), Kind::CandleLow}, {QStringLiteral("CandleClose"), Kind::CandleClose},
        {QStringLiteral("CandleVolume"), Kind::CandleVolume}, {QStringLiteral("Number"), Kind::Number},
        {QStringLiteral("NDaysAgo"), Kind::NDaysAgo}, {QStringLiteral("EMA"), Kind::Ema},
        {QStringLiteral("SMA"), Kind::Sma}, {QStringLiteral("RSI"), Kind::Rsi}, {QStringLiteral("ATR"), Kind::Atr},
        {QStringLiteral("ADX"), Kind::Adx}, {QStringLiteral("Multiply"), Kind::Multiply},
        {QStringLiteral("Add"), Kind::Add}, {QStringLiteral("Subtract"), Kind::Subtract},
        {QStringLiteral("MaxOf"), Kind::MaxOf}, {QStringLiteral("Percent"), Kind::Percent},
        {QStringLiteral("PreviousNth"), Kind::PreviousNth}, {QStringLiteral("GreaterThan"), Kind::GreaterThan},
        {QStringLiteral("LessThan"), Kind::LessThan}, {QStringLiteral("CrossedAbove"), Kind::CrossedAbove},
        {QStringLiteral("CrossedBelow"), Kind::CrossedBelow}, {QStringLiteral("WithinPct"), Kind::WithinPct},
        {QStringLiteral("AND"), Kind::And}, {QStringLiteral("OR"), Kind::Or}, {QStringLiteral("NOT"), Kind::Not},
        {QStringLiteral("BuyEntry"), Kind::BuyEntry}, {QStringLiteral("SellEntry"), Kind::SellEntry},
        {QStringLiteral("StopLoss"), Kind::StopLoss}, {QStringLiteral("Target"), Kind::Target},
        {QStringLiteral("ExitRule"), Kind::ExitRule},
    };
    return kinds.value(type, Kind::None);
}

// ---- loading and ordering ----

bool StrategyEvaluator::loadGraph(const QJsonObject& strategy)
{
    blocks.clear();
    connections.clear();
    evaluationOrder.clear();
    inputIndex.clear();
    dailyBars.clear();
    m_cache.clear();
    m_cacheBlocks = -1;

    strategyTimeframe = std::max(1, jsonInt(strategy.value(QStringLiteral("strategyTimeframe")), 1));

    const QJsonArray blockArray = strategy.value(QStringLiteral("blocks")).toArray();
    for (const QJsonValue& v : blockArray) {
        const QJsonObject o = v.toObject();
        StrategyBlock b;
        b.id = jsonInt(o.value(QStringLiteral("id")), 0);
        b.type = o.value(QStringLiteral("type")).toString();
        const QJsonObject params = o.value(QStringLiteral("params")).toObject();
        for (auto it = params.constBegin(); it != params.constEnd(); ++it)
            b.params.insert(it.key(), it.value().toDouble(0.0));
        blocks.insert(b.id, b);
    }
    const QJsonArray connArray = strategy.value(QStringLiteral("connections")).toArray();
    connections.reserve(connArray.size());
    for (const QJsonValue& v : connArray) {
        const QJsonObject o = v.toObject();
        StrategyConnection c;
        c.fromBlock = jsonInt(o.value(QStringLiteral("fromBlock")), 0);
        c.fromPort = jsonInt(o.value(QStringLiteral("fromPort")), 0);
        c.toBlock = jsonInt(o.value(QStringLiteral("toBlock")), 0);
        c.toPort = jsonInt(o.value(QStringLiteral("toPort")), 0);
        connections.append(c);
    }
    buildInputMap();
    buildEvaluationOrder();
    return true;
}

void StrategyEvaluator::buildInputMap()
{
    inputIndex.clear();
    for (const StrategyConnection& c : connections)
        inputIndex[c.toBlock][c.toPort] = qMakePair(c.fromBlock, c.fromPort);
    m_cacheBlocks = -1;
}

void StrategyEvaluator::buildEvaluationOrder()
{
    // Kahn's algorithm over adjacency lists that keep the connection array's order, so the order is
    // the same as scanning every connection per block, in time linear in the graph's size.
    QMap<int, int> inDegree;
    for (auto it = blocks.constBegin(); it != blocks.constEnd(); ++it)
        inDegree.insert(it.key(), 0);
    QHash<int, QVector<int>> outgoing;
    for (const StrategyConnection& c : connections) {
        ++inDegree[c.toBlock];
        outgoing[c.fromBlock].append(c.toBlock);
    }
    std::queue<int> ready;
    for (auto it = inDegree.constBegin(); it != inDegree.constEnd(); ++it) {
        if (it.value() == 0)
            ready.push(it.key());
    }
    evaluationOrder.clear();
    while (!ready.empty()) {
        const int id = ready.front();
        ready.pop();
        evaluationOrder.append(id);
        const auto out = outgoing.constFind(id);
        if (out == outgoing.constEnd())
            continue;
        for (int to : out.value()) {
            if (--inDegree[to] == 0)
                ready.push(to);
        }
    }

    for (auto& b : blocks)
        b.dayLevel = false;
    for (int id : evaluationOrder) {
        auto it = blocks.find(id);
        if (it == blocks.end()) {
            // An id that only a connection names: an empty block that produces nothing.
            StrategyBlock empty;
            empty.id = id;
            it = blocks.insert(id, empty);
        }
        StrategyBlock& b = it.value();
        const Kind kind = kindOf(b.type);
        if (hasTimeframe(kind)) {
            int tf = paramInt(b, QStringLiteral("timeframe"), 0);
            if (tf == 0)
                tf = strategyTimeframe;
            b.dayLevel = isDayTimeframe(tf);
        } else if (kind == Kind::Number) {
            b.dayLevel = true;
        } else {
            bool day = true;
            const auto inputs = inputIndex.constFind(id);
            if (inputs != inputIndex.constEnd()) {
                for (const auto& src : inputs.value()) {
                    const auto s = blocks.constFind(src.first);
                    if (s != blocks.constEnd() && !s.value().dayLevel) {
                        day = false;
                        break;
                    }
                }
            }
            b.dayLevel = day;
        }
    }
    hasBarLevelBlocks = false;
    for (const auto& b : qAsConst(blocks)) {
        if (!b.dayLevel) {
            hasBarLevelBlocks = true;
            break;
        }
    }
    m_cacheBlocks = -1;
}

// ---- lookups ----

double StrategyEvaluator::inputValue(int block, int port) const
{
    const auto ports = inputIndex.constFind(block);
    if (ports == inputIndex.constEnd())
        return 0.0;
    const auto src = ports.value().constFind(port);
    if (src == ports.value().constEnd())
        return 0.0;
    const auto b = blocks.constFind(src.value().first);
    return b == blocks.constEnd() ? 0.0 : b.value().value;
}

bool StrategyEvaluator::inputSignal(int block, int port) const
{
    const auto ports = inputIndex.constFind(block);
    if (ports == inputIndex.constEnd())
        return false;
    const auto src = ports.value().constFind(port);
    if (src == ports.value().constEnd())
        return false;
    const auto b = blocks.constFind(src.value().first);
    return b != blocks.constEnd() && b.value().signal;
}

const BlockHistory& StrategyEvaluator::inputHistory(int block, int port) const
{
    static const BlockHistory empty;
    const auto ports = inputIndex.constFind(block);
    if (ports == inputIndex.constEnd())
        return empty;
    const auto src = ports.value().constFind(port);
    if (src == ports.value().constEnd())
        return empty;
    const auto b = blocks.constFind(src.value().first);
    return b == blocks.constEnd() ? empty : b.value().history;
}

bool StrategyEvaluator::isInputConnected(int block, int port) const
{
    const auto ports = inputIndex.constFind(block);
    return ports != inputIndex.constEnd() && ports.value().contains(port);
}

double StrategyEvaluator::blockValue(int id) const
{
    const auto b = blocks.constFind(id);
    return b == blocks.constEnd() ? 0.0 : b.value().value;
}

int StrategyEvaluator::blockHistorySize(int id) const
{
    const auto b = blocks.constFind(id);
    return b == blocks.constEnd() ? 0 : b.value().history.size();
}

double StrategyEvaluator::blockHistoryAt(int id, int index) const
{
    const auto b = blocks.constFind(id);
    if (b == blocks.constEnd() || index < 0 || index >= b.value().history.size())
        return 0.0;
    return b.value().history.at(index);
}

// ---- resolved blocks ----

StrategyEvaluator::Resolved StrategyEvaluator::resolve(StrategyBlock& block) const
{
    Resolved r;
    r.block = &block;
    r.kind = kindOf(block.type);
    const int tf = paramInt(block, QStringLiteral("timeframe"), 0);
    r.tf = tf == 0 ? strategyTimeframe : tf;
    switch (r.kind) {
    case Kind::Ema: r.period = paramInt(block, QStringLiteral("period"), 9); break;
    case Kind::Sma: r.period = paramInt(block, QStringLiteral("period"), 20); break;
    case Kind::Rsi:
    case Kind::Atr:
    case Kind::Adx: r.period = paramInt(block, QStringLiteral("period"), 14); break;
    case Kind::NDaysAgo: r.count = paramInt(block, QStringLiteral("N"), 1); break;
    case Kind::PreviousNth: r.count = paramInt(block, QStringLiteral("n"), 1); break;
    case Kind::And:
    case Kind::Or: r.count = paramInt(block, QStringLiteral("portCount"), 2); break;
    case Kind::BuyEntry:
    case Kind::SellEntry: r.mode = paramInt(block, QStringLiteral("priceSource"), 0); break;
    case Kind::StopLoss:
        r.mode = paramInt(block, QStringLiteral("mode"), 0);
        r.number = paramDouble(block, QStringLiteral("percent"), 3.0);
        break;
    case Kind::Target:
        r.mode = paramInt(block, QStringLiteral("mode"), 0);
        r.number = paramDouble(block, QStringLiteral("percent"), 10.0);
        break;
    case Kind::Number: r.number = paramDouble(block, QStringLiteral("value"), 0.0); break;
    case Kind::Percent:
    case Kind::WithinPct: r.number = paramDouble(block, QStringLiteral("percent"), 1.0); break;
    default: break;
    }
    const auto ports = inputIndex.constFind(block.id);
    if (ports != inputIndex.constEnd()) {
        r.inputs.reserve(ports.value().size());
        for (auto it = ports.value().constBegin(); it != ports.value().constEnd(); ++it) {
            const auto src = blocks.constFind(it.value().first);
            r.inputs.append({it.key(), src == blocks.constEnd() ? nullptr : &src.value()});
        }
        std::sort(r.inputs.begin(), r.inputs.end(), [](const Input& a, const Input& b) { return a.port < b.port; });
    }
    return r;
}

void StrategyEvaluator::rebuildCache()
{
    // The cache points into `blocks`; a shared map would move its nodes on the next write.
    blocks.detach();
    m_cache.clear();
    m_cache.reserve(size_t(evaluationOrder.size()));
    for (int id : qAsConst(evaluationOrder)) {
        auto it = blocks.find(id);
        if (it == blocks.end()) {
            StrategyBlock empty;
            empty.id = id;
            it = blocks.insert(id, empty);
        }
        m_cache.push_back(resolve(it.value()));
        link(m_cache.back());
    }
    m_cacheBlocks = blocks.size();
}

void StrategyEvaluator::link(Resolved& r)
{
    r.in0 = r.in1 = nullptr;
    for (const Input& in : qAsConst(r.inputs)) {
        if (in.port == 0 && !r.in0)
            r.in0 = &in;
        else if (in.port == 1 && !r.in1)
            r.in1 = &in;
    }
    const bool average = r.kind == Kind::Ema || r.kind == Kind::Sma || r.kind == Kind::Rsi;
    r.sliding.reset();
    if (average && r.period >= 1) {
        const SlidingIndicator::Kind k = r.kind == Kind::Ema ? SlidingIndicator::Kind::Ema
            : r.kind == Kind::Sma                            ? SlidingIndicator::Kind::Sma
                                                             : SlidingIndicator::Kind::Rsi;
        r.sliding = std::make_unique<SlidingIndicator>(k, r.period);
    }
}

void StrategyEvaluator::ensureCache()
{
    if (m_cacheBlocks != blocks.size() || !blocks.isDetached())
        rebuildCache();
}

// ---- passes ----

void StrategyEvaluator::evaluateDay(const QVector<StoredCandle>& bars)
{
    dailyBars = bars;
    m_dailyIndicatorBars = -1;
    updatePeriodBars();
    const int previousMonths = lastMonthCount;
    const int previousWeeks = lastWeekCount;
    lastMonthCount = monthlyBars.size();
    lastWeekCount = weeklyBars.size();
    hasStopLoss = false;
    hasTarget = false;
    dayBuySignal = false;
    daySellSignal = false;
    dayExitSignal = false;

    ensureCache();
    for (Resolved& r : m_cache) {
        if (r.block->dayLevel)
            evaluateResolved(r, nullptr);
    }
    // A weekly or monthly strategy enters only on the day pass that completes a week or month.
    if ((strategyTimeframe == Timeframe::Month && lastMonthCount == previousMonths)
        || (strategyTimeframe == Timeframe::Week && lastWeekCount == previousWeeks)) {
        dayBuySignal = false;
        daySellSignal = false;
    }
}

void StrategyEvaluator::evaluateBar(const StoredCandle& bar, const QString& time)
{
    currentTime = time;
    m_minutes = minutesOf(time);
    buySignal = false;
    sellSignal = false;
    exitSignal = false;
    entryPrice = 0.0;
    if (!hasBarLevelBlocks)
        return;
    ensureCache();
    for (Resolved& r : m_cache) {
        if (!r.block->dayLevel)
            evaluateResolved(r, &bar);
    }
}

void StrategyEvaluator::resetState()
{
    for (auto& b : blocks) {
        b.value = 0.0;
        b.signal = false;
        b.history.clear();
        b.state = {};
    }
    dailyBars.clear();
    m_dailyIndicatorBars = -1;
    weeklyBars.clear();
    monthlyBars.clear();
    aggregatedCount = 0;
    monthStarted = false;
    weekStarted = false;
    monthKey.clear();
    weekKey.clear();
    m_weekVolume = 0;
    m_monthVolume = 0;
    buySignal = sellSignal = exitSignal = false;
    dayBuySignal = daySellSignal = dayExitSignal = false;
    entryPrice = 0.0;
    stopValue = 0.0;
    targetValue = 0.0;
    lastMonthCount = -1;
    lastWeekCount = -1;
}

void StrategyEvaluator::resetBarState()
{
    for (auto& b : blocks) {
        if (b.dayLevel)
            continue;
        b.value = 0.0;
        b.signal = false;
        b.history.clear();
        b.state = {};
    }
    buySignal = sellSignal = exitSignal = false;
    entryPrice = 0.0;
}

void StrategyEvaluator::primeDayLevel()
{
    evaluateDay({});
    for (auto& b : blocks) {
        if (!b.dayLevel)
            continue;
        b.history.clear();
        b.state = {};
    }
    lastMonthCount = -1;
    lastWeekCount = -1;
    dayBuySignal = daySellSignal = dayExitSignal = false;
}

void StrategyEvaluator::evaluateBlock(StrategyBlock& block, const StoredCandle* bar)
{
    Resolved r = resolve(block);
    link(r);
    m_minutes = minutesOf(currentTime);
    evaluateResolved(r, bar);
}

double StrategyEvaluator::currentAtr(int period) const
{
    if (dailyBars.isEmpty())
        return 0.0;
    return atrSeries(dailyBars, period).constLast();
}

double StrategyEvaluator::dailyIndicator(bool adx, int period)
{
    const QString lastDate = dailyBars.isEmpty() ? QString() : dailyBars.constLast().date;
    if (m_dailyIndicatorBars != dailyBars.size() || m_dailyIndicatorDate != lastDate) {
        m_atrByPeriod.clear();
        m_adxByPeriod.clear();
        m_dailyIndicatorBars = dailyBars.size();
        m_dailyIndicatorDate = lastDate;
    }
    QHash<int, double>& cache = adx ? m_adxByPeriod : m_atrByPeriod;
    const auto it = cache.constFind(period);
    if (it != cache.constEnd())
        return it.value();
    double v = 0.0;
    if (adx)
        v = dailyBars.size() > 1 ? adxSeries(dailyBars, period).constLast() : 0.0;
    else
        v = currentAtr(period);
    cache.insert(period, v);
    return v;
}

double StrategyEvaluator::candleField(const QString& type, const StoredCandle& bar)
{
    return fieldOf(kindOf(type), bar);
}

double StrategyEvaluator::fieldOf(Kind k, const StoredCandle& bar)
{
    switch (k) {
    case Kind::CandleOpen: return bar.open;
    case Kind::CandleHigh: return bar.high;
    case Kind::CandleLow: return bar.low;
    case Kind::CandleClose: return bar.close;
    default: return static_cast<double>(bar.volume);
    }
}

void StrategyEvaluator::evaluateCandle(Resolved& r, const StoredCandle* bar)
{
    StrategyBlock& b = *r.block;
    if (b.dayLevel) {
        const bool week = r.tf == Timeframe::Week;
        if (week || r.tf == Timeframe::Month) {
            const bool started = week ? weekStarted : monthStarted;
            const StoredCandle& current = week ? currentWeekBar : currentMonthBar;
            const QVector<StoredCandle>& done = week ? weeklyBars : monthlyBars;
            if (started)
                b.value = fieldOf(r.kind, current);
            else if (!done.isEmpty())
                b.value = fieldOf(r.kind, done.constLast());
            else
                return;  // nothing to read yet: keep the previous value
            const int cap = week ? kWeekHistoryCap : kMonthHistoryCap;
            b.history.clear();
            if (started)
                b.history.append(fieldOf(r.kind, current));
            for (int i = done.size() - 1; i >= 0 && b.history.size() < cap; --i)
                b.history.append(fieldOf(r.kind, done[i]));
            return;
        }
        b.value = dailyBars.isEmpty() ? 0.0 : fieldOf(r.kind, dailyBars.constLast());
        b.history.prepend(b.value);
        return;
    }
    if (!bar)
        return;
    // A minute bucket of the block's timeframe, anchored at 09:15.
    auto& st = b.state;
    if (!st.periodStarted) {
        st.periodHigh = bar->high;
        st.periodLow = bar->low;
        st.periodOpen = bar->open;
        st.periodVol = static_cast<double>(bar->volume);
        st.periodStarted = true;
    } else {
        if (bar->high > st.periodHigh)
            st.periodHigh = bar->high;
        if (bar->low < st.periodLow)
            st.periodLow = bar->low;
        st.periodVol += static_cast<double>(bar->volume);
    }
    switch (r.kind) {
    case Kind::CandleOpen: b.value = st.periodOpen; break;
    case Kind::CandleHigh: b.value = st.periodHigh; break;
    case Kind::CandleLow: b.value = st.periodLow; break;
    case Kind::CandleClose: b.value = bar->close; break;
    default: b.value = st.periodVol; break;
    }
    if (bucketCloses(m_minutes, r.tf)) {
        b.history.prepend(b.value);
        st.periodStarted = false;
    }
}

void StrategyEvaluator::evaluateAverage(Resolved& r, bool dayLevel)
{
    StrategyBlock& b = *r.block;
    auto compute = [&](const BlockHistory& series) {
        switch (r.kind) {
        case Kind::Ema: return emaLatest(series.data(), series.size(), r.period);
        case Kind::Sma: return smaLatest(series.data(), series.size(), r.period);
        default: return r.period < series.size() ? computeRsi(series.data(), series.size(), r.period) : 50.0;
        }
    };
    const Input* in0 = r.in0;
    if (dayLevel) {
        static const BlockHistory none;
        b.value = compute(in0 && in0->source ? in0->source->history : none);
        return;
    }
    const double input = in0 && in0->source ? in0->source->value : 0.0;
    const bool bucketed = r.tf >= Timeframe::M3 && r.tf <= Timeframe::H4;
    if (!r.sliding) {
        // A period below 1: neutral values (0 or 50) whatever the series.
        if (!bucketed || bucketCloses(m_minutes, r.tf))
            b.history.prepend(input);
        b.value = compute(b.history);
        return;
    }
    if (bucketed) {
        // Only completed buckets enter the history, so a 5-minute EMA(9) spans nine 5-minute bars;
        // the current value also takes in the bucket that is still developing.
        b.value = r.sliding->peek(b.history, input);
        if (bucketCloses(m_minutes, r.tf))
            r.sliding->push(b.history, input);
        return;
    }
    b.value = r.sliding->push(b.history, input);
}

void StrategyEvaluator::evaluateResolved(Resolved& r, const StoredCandle* bar)
{
    StrategyBlock& b = *r.block;
    // Only ports 0 and 1 carry values; AND and OR walk their inputs themselves.
    auto input = [&r](int port) -> const Input* { return port == 0 ? r.in0 : r.in1; };
    auto value = [&input](int port) {
        const Input* in = input(port);
        return in && in->source ? in->source->value : 0.0;
    };
    auto signal = [&input](int port) {
        const Input* in = input(port);
        return in && in->source && in->source->signal;
    };
    static const BlockHistory noHistory;
    auto history = [&input](int port) -> const BlockHistory& {
        const Input* in = input(port);
        return in && in->source ? in->source->history : noHistory;
    };

    switch (r.kind) {
    case Kind::CandleOpen:
    case Kind::CandleHigh:
    case Kind::CandleLow:
    case Kind::CandleClose:
    case Kind::CandleVolume: evaluateCandle(r, bar); break;
    case Kind::Number: b.value = r.number; break;
    case Kind::NDaysAgo: {
        const BlockHistory& h = history(0);
        b.value = r.count >= 0 && r.count < h.size() ? h[r.count] : 0.0;
        break;
    }
    case Kind::Ema:
    case Kind::Sma:
    case Kind::Rsi: evaluateAverage(r, b.dayLevel); break;
    case Kind::Atr: b.value = dailyIndicator(false, r.period); break;
    case Kind::Adx: b.value = dailyIndicator(true, r.period); break;
    case Kind::Multiply: b.value = value(0) * value(1); break;
    case Kind::Add: b.value = value(0) + value(1); break;
    case Kind::Subtract: b.value = value(0) - value(1); break;
    case Kind::MaxOf: b.value = std::max(value(0), value(1)); break;
    case Kind::Percent: b.value = r.number / 100.0 * value(0); break;
    case Kind::PreviousNth: {
        const int n = std::max(1, r.count);
        const BlockHistory& h = history(0);  // may be this block's own (assign copes with that)
        if (n < h.size()) {
            b.value = h[n];
            b.history.assign(h.data() + n, h.size() - n);
        } else {
            b.value = h.isEmpty() ? 0.0 : h.constLast();
            if (&h != &b.history)
                b.history.assign(h.data(), h.size());
        }
        break;
    }
    case Kind::GreaterThan: b.signal = value(0) > value(1); break;
    case Kind::LessThan: b.signal = value(0) < value(1); break;
    case Kind::CrossedAbove:
    case Kind::CrossedBelow: {
        const double a = value(0);
        const double c = value(1);
        const double prevA = b.state.crossSeen ? b.state.crossA : a;
        const double prevC = b.state.crossSeen ? b.state.crossB : c;
        b.signal = r.kind == Kind::CrossedAbove ? (prevA < prevC && a >= c) : (prevA > prevC && a <= c);
        b.state.crossSeen = true;
        b.state.crossA = a;
        b.state.crossB = c;
        break;
    }
    case Kind::WithinPct: {
        const double a = value(0);
        const double c = value(1);
        b.signal = c > 0.0 && std::fabs(a - c) / c <= r.number / 100.0;
        break;
    }
    case Kind::And:
    case Kind::Or: {
        // Only connected ports count, so walking them (not every port below portCount) is the same.
        const bool isAnd = r.kind == Kind::And;
        bool result = isAnd;
        for (const Input& in : r.inputs) {
            if (in.port < 0)
                continue;
            if (in.port >= r.count || result != isAnd)
                break;
            result = in.source && in.source->signal;
        }
        b.signal = result;
        break;
    }
    case Kind::Not: b.signal = !signal(0); break;
    case Kind::BuyEntry:
    case Kind::SellEntry: {
        if (!input(0) || !signal(0)) {
            b.signal = false;
            break;
        }
        b.signal = true;
        const bool buy = r.kind == Kind::BuyEntry;
        const double inputPrice = input(1) ? value(1) : 0.0;
        if (b.dayLevel) {
            (buy ? dayBuySignal : daySellSignal) = true;
            entryPrice = r.mode == 8 ? inputPrice : 0.0;
            break;
        }
        if (r.mode >= 1 && r.mode <= 3)
            break;  // deferred entries are not carried out
        double price = 0.0;
        if (bar) {
            switch (r.mode) {
            case 4: price = bar->open; break;
            case 5: price = bar->close; break;
            case 6: price = bar->high; break;
            case 7: price = bar->low; break;
            default: break;
            }
        }
        if (r.mode == 8)
            price = inputPrice;
        (buy ? buySignal : sellSignal) = true;
        entryPrice = price;
        break;
    }
    case Kind::StopLoss:
        hasStopLoss = true;
        stopMode = r.mode;
        stopPercent = r.number;
        stopValue = input(0) ? value(0) : 0.0;
        break;
    case Kind::Target:
        hasTarget = true;
        targetMode = r.mode;
        targetPercent = r.number;
        targetValue = input(0) ? value(0) : 0.0;
        break;
    case Kind::ExitRule:
        if (input(0) && signal(0))
            (b.dayLevel ? dayExitSignal : exitSignal) = true;
        break;
    case Kind::None: break;
    }
}

// ---- timeframes, period bars, notes ----

int StrategyEvaluator::minutesOf(const QString& time)
{
    const QChar* t = time.constData();
    auto digit = [t](int i) { return t[i].unicode() >= '0' && t[i].unicode() <= '9'; };
    if (time.size() >= 5 && digit(0) && digit(1) && digit(3) && digit(4))
        return ((t[0].unicode() - '0') * 10 + (t[1].unicode() - '0')) * 60 + (t[3].unicode() - '0') * 10
            + (t[4].unicode() - '0');
    return time.mid(0, 2).toInt() * 60 + time.mid(3, 2).toInt();
}

bool StrategyEvaluator::bucketCloses(int minutes, int code)
{
    if (code < Timeframe::M3)
        return true;
    int width = 1;
    switch (code) {
    case Timeframe::M3: width = 3; break;
    case Timeframe::M5: width = 5; break;
    case Timeframe::M15: width = 15; break;
    case Timeframe::M30: width = 30; break;
    case Timeframe::M60: width = 60; break;
    case Timeframe::H4: width = 240; break;
    default: break;
    }
    if (minutes < 555)  // before 09:15, the market open the buckets are anchored at
        return false;
    return (minutes - 554) % width == 0;
}

bool StrategyEvaluator::isBucketClose(const QString& time, int code)
{
    return bucketCloses(minutesOf(time), code);
}

void StrategyEvaluator::updatePeriodBars()
{
    for (int i = std::max(0, aggregatedCount); i < dailyBars.size(); ++i) {
        const StoredCandle& d = dailyBars[i];
        const QString keys[2] = {d.date.left(7), weekKeyOf(d.date)};
        for (int which = 0; which < 2; ++which) {
            const bool month = which == 0;
            bool& started = month ? monthStarted : weekStarted;
            QString& key = month ? monthKey : weekKey;
            StoredCandle& bar = month ? currentMonthBar : currentWeekBar;
            qint64& volume = month ? m_monthVolume : m_weekVolume;
            if (!started) {
                key = keys[which];
                bar = d;
                volume = d.volume;
                started = true;
            } else if (keys[which] == key) {
                bar.high = std::max(bar.high, d.high);
                bar.low = std::min(bar.low, d.low);
                volume += d.volume;
                bar.volume = saturateVolume(volume);
                bar.close = d.close;
                bar.date = d.date;
            } else {
                (month ? monthlyBars : weeklyBars).append(bar);
                key = keys[which];
                bar = d;
                volume = d.volume;
            }
        }
    }
    aggregatedCount = dailyBars.size();
}

QString StrategyEvaluator::describeStrategy() const
{
    QStringList parts;
    for (int id : evaluationOrder) {
        const auto it = blocks.constFind(id);
        if (it == blocks.constEnd())
            continue;
        const StrategyBlock& b = it.value();
        const Kind kind = kindOf(b.type);
        if (kind != Kind::Rsi && kind != Kind::Ema && kind != Kind::Sma && kind != Kind::Adx && kind != Kind::Atr)
            continue;
        int tf = strategyTimeframe;
        const auto ports = inputIndex.constFind(id);
        if (ports != inputIndex.constEnd()) {
            const auto src = ports.value().constFind(0);
            if (src != ports.value().constEnd()) {
                const auto s = blocks.constFind(src.value().first);
                if (s != blocks.constEnd()) {
                    const int own = paramInt(s.value(), QStringLiteral("timeframe"), 0);
                    tf = own == 0 ? strategyTimeframe : own;
                }
            }
        }
        QString text = timeframeName(tf) + QLatin1Char('-') + b.type;
        const int period = paramInt(b, QStringLiteral("period"), 0);
        if (period > 0)
            text += QStringLiteral("(%1)").arg(period);
        text += QLatin1Char(':') + QString::number(b.value, 'f', 1);
        parts.append(text);
    }
    return parts.join(QLatin1Char(' '));
}
