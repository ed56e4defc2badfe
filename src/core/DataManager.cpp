// Tick and bar store: per-symbol latest tick, ring of recent ticks, sorted bars, periodic cleanup.
#include "core/DataManager.h"

#include <QElapsedTimer>
#include <QMutexLocker>
#include <QTimeZone>

#include <algorithm>

namespace {

constexpr int kCleanupIntervalMs = 300000;

// Orders by instant, invalid times first. QDateTime compares two local times of the same daylight
// status without a time-zone lookup, which keeps sorting large downloads cheap.
bool earlier(const QDateTime& a, const QDateTime& b)
{
    if (!a.isValid() || !b.isValid())
        return !a.isValid() && b.isValid();
    return a < b;
}

} // namespace

void DataManager::TickRing::push(const StoredTick& t, int cap)
{
    if (m_size == m_length && m_length < cap) {
        // Only a ring that never filled grows, so its ticks start at slot 0 and stay where they are.
        m_blocks.emplace_back(new StoredTick[kBlockTicks]);
        m_length = std::min(cap, int(m_blocks.size()) * kBlockTicks);
    }
    if (m_size < m_length) {
        slot(wrap(m_head + m_size)) = t;
        ++m_size;
        return;
    }
    // Full: the newest tick takes the oldest one's place.
    slot(m_head) = t;
    m_head = wrap(m_head + 1);
}

DataManager::TickRing& DataManager::TickRing::operator=(const TickRing& other)
{
    if (this == &other)
        return *this;
    m_blocks.clear();
    for (const auto& block : other.m_blocks) {
        m_blocks.emplace_back(new StoredTick[kBlockTicks]);
        std::copy(block.get(), block.get() + kBlockTicks, m_blocks.back().get());
    }
    m_length = other.m_length;
    m_head = other.m_head;
    m_size = other.m_size;
    return *this;
}

template <typename Pred>
void DataManager::TickRing::removeIf(Pred pred)
{
    int kept = 0;
    for (int i = 0; i < m_size; ++i) {
        const int from = wrap(m_head + i);
        if (!pred(slot(from))) {
            if (kept != i)
                slot(wrap(m_head + kept)) = slot(from);
            ++kept;
        }
    }
    for (int i = kept; i < m_size; ++i)
        slot(wrap(m_head + i)) = StoredTick();  // release what the dropped stamps hold
    m_size = kept;
}

DataManager::DataManager(QObject* parent)
    : QObject(parent)
    , m_cleanupTimer(new QTimer(this))
{
    startCleanupTimer();
}

DataManager::~DataManager() = default;

void DataManager::startCleanupTimer()
{
    connect(m_cleanupTimer, &QTimer::timeout, this, &DataManager::startCleanupPass);
    m_cleanupTimer->setInterval(kCleanupIntervalMs);
    m_cleanupTimer->start();
}

void DataManager::storeTick(const TickData& tick)
{
    if (!tick.isValid())
        return;

    QMutexLocker lock(&m_mutex);
    Slot& slot = m_slots[tick.symbol];
    slot.hasTick = true;
    slot.latest = tick;

    StoredTick st;
    st.timestamp = tick.timestamp;
    st.ltp = tick.ltp;
    st.open = tick.open;
    st.high = tick.high;
    st.low = tick.low;
    st.volume = tick.volume;
    st.openInterest = tick.openInterest;
    st.lastTradedQty = tick.lastTradedQty;
    slot.ticks.push(st, m_maxTicksPerSymbol);

    emit newTickStored(tick.symbol, tick);
}

void DataManager::storeHistoricalData(const QString& symbol, const QList<OHLCData>& bars)
{
    if (bars.isEmpty())
        return;

    // Stable, so bars with equal timestamps keep the order they were given in.
    QList<OHLCData> sorted = bars;
    std::stable_sort(sorted.begin(), sorted.end(), [](const OHLCData& a, const OHLCData& b) {
        return earlier(a.timestamp, b.timestamp);
    });

    QMutexLocker lock(&m_mutex);
    Slot& slot = m_slots[symbol];
    slot.hasBars = true;
    slot.bars = std::move(sorted);
    emit historicalDataStored(symbol, bars.size());
}

TickData DataManager::latestTick(const QString& symbol) const
{
    QMutexLocker lock(&m_mutex);
    auto it = m_slots.constFind(symbol);
    if (it == m_slots.constEnd() || !it->hasTick)
        return TickData();
    return it->latest;
}

QStringList DataManager::availableSymbols() const
{
    QStringList symbols;
    {
        QMutexLocker lock(&m_mutex);
        symbols.reserve(m_slots.size());
        for (auto it = m_slots.constBegin(); it != m_slots.constEnd(); ++it)
            if (it->hasTick || it->hasBars)
                symbols.append(it.key());
    }
    // QString's operator< compares UTF-16 code units, so "Ab" sorts before "ab".
    std::sort(symbols.begin(), symbols.end());
    return symbols;
}

OHLCData DataManager::barForDate(const QString& symbol, const QDateTime& when) const
{
    QList<OHLCData> bars;
    {
        QMutexLocker lock(&m_mutex);
        auto it = m_slots.constFind(symbol);
        if (it == m_slots.constEnd() || !it->hasBars)
            return OHLCData();
        bars = it->bars;
    }

    const QDate day = when.date();
    for (const OHLCData& bar : qAsConst(bars))
        if (bar.timestamp.date() == day)
            return bar;

    const OHLCData* best = nullptr;
    for (const OHLCData& bar : qAsConst(bars)) {
        if (when < bar.timestamp)
            continue;
        if (!best || bar.timestamp > best->timestamp)
            best = &bar;
    }
    return best ? *best : OHLCData();
}

QList<OHLCData> DataManager::historicalData(const QString& symbol, const QDateTime& from,
                                            const QDateTime& to) const
{
    QMutexLocker lock(&m_mutex);
    auto it = m_slots.constFind(symbol);
    if (it == m_slots.constEnd() || !it->hasBars)
        return {};
    if (!from.isValid() && !to.isValid())
        return it->bars;

    QList<OHLCData> result;
    for (const OHLCData& bar : it->bars) {
        if (from.isValid() && bar.timestamp < from)
            continue;
        if (to.isValid() && bar.timestamp > to)
            continue;
        result.append(bar);
    }
    return result;
}

bool DataManager::hasSymbol(const QString& symbol) const
{
    QMutexLocker lock(&m_mutex);
    auto it = m_slots.constFind(symbol);
    return it != m_slots.constEnd() && (it->hasTick || it->hasBars);
}

int DataManager::barCount(const QString& symbol) const
{
    QMutexLocker lock(&m_mutex);
    auto it = m_slots.constFind(symbol);
    return it == m_slots.constEnd() ? 0 : it->bars.size();
}

int DataManager::tickCount(const QString& symbol) const
{
    QMutexLocker lock(&m_mutex);
    auto it = m_slots.constFind(symbol);
    return it == m_slots.constEnd() ? 0 : it->ticks.size();
}

QDateTime DataManager::lastUpdateTime(const QString& symbol) const
{
    QMutexLocker lock(&m_mutex);
    auto it = m_slots.constFind(symbol);
    if (it == m_slots.constEnd())
        return QDateTime();
    const QDateTime bar = it->bars.isEmpty() ? QDateTime() : it->bars.constLast().timestamp;
    const QDateTime tick = it->ticks.isEmpty() ? QDateTime() : it->ticks.at(it->ticks.size() - 1).timestamp;
    if (!bar.isValid())
        return tick;
    if (!tick.isValid())
        return bar;
    return tick > bar ? tick : bar;
}

QDateTime DataManager::firstUpdateTime(const QString& symbol) const
{
    QMutexLocker lock(&m_mutex);
    auto it = m_slots.constFind(symbol);
    if (it == m_slots.constEnd())
        return QDateTime();
    const QDateTime bar = it->bars.isEmpty() ? QDateTime() : it->bars.constFirst().timestamp;
    const QDateTime tick = it->ticks.isEmpty() ? QDateTime() : it->ticks.at(0).timestamp;
    if (!bar.isValid())
        return tick;
    if (!tick.isValid())
        return bar;
    return tick < bar ? tick : bar;
}

void DataManager::removeSymbol(const QString& symbol)
{
    QMutexLocker lock(&m_mutex);
    m_slots.remove(symbol);
}

void DataManager::clearAll()
{
    QMutexLocker lock(&m_mutex);
    m_slots.clear();
}

DataManager::Cutoff DataManager::retentionCutoff(int days)
{
    // The cutoff in local time and in UTC: each stamp is compared with the one in its own zone,
    // which QDateTime does without converting (the values are the same instant).
    Cutoff c;
    c.local = QDateTime::currentDateTime().addDays(-days);
    c.utc = c.local.toUTC();
    return c;
}

void DataManager::dropOlderThan(Slot& slot, const Cutoff& cutoff)
{
    auto tooOld = [&](const QDateTime& t) { return t < (t.timeSpec() == Qt::UTC ? cutoff.utc : cutoff.local); };
    // A tick exactly at the cutoff stays; keys and the latest tick are never removed.
    slot.ticks.removeIf([&](const StoredTick& t) { return tooOld(t.timestamp); });
    auto& bars = slot.bars;
    bars.erase(std::remove_if(bars.begin(), bars.end(), [&](const OHLCData& b) { return tooOld(b.timestamp); }),
               bars.end());
}

void DataManager::cleanupOldData()
{
    QMutexLocker lock(&m_mutex);
    const Cutoff cutoff = retentionCutoff(m_retentionDays);
    for (auto it = m_slots.begin(); it != m_slots.end(); ++it)
        dropOlderThan(it.value(), cutoff);
}

void DataManager::startCleanupPass()
{
    // A pass still running when the next is due carries on with the symbols it has left.
    if (!m_cleanupQueue.isEmpty())
        return;
    {
        QMutexLocker lock(&m_mutex);
        m_cleanupQueue = m_slots.keys();
    }
    m_cleanupCutoff = retentionCutoff(m_retentionDays);
    cleanupSome();
}

void DataManager::cleanupSome()
{
    constexpr qint64 kStepNs = 3 * 1000 * 1000;
    QElapsedTimer step;
    step.start();
    QMutexLocker lock(&m_mutex);
    while (!m_cleanupQueue.isEmpty() && step.nsecsElapsed() < kStepNs) {
        // A symbol removed since the pass began is simply gone.
        auto it = m_slots.find(m_cleanupQueue.takeLast());
        if (it != m_slots.end())
            dropOlderThan(it.value(), m_cleanupCutoff);
    }
    if (!m_cleanupQueue.isEmpty())
        QTimer::singleShot(0, this, &DataManager::cleanupSome);
}
