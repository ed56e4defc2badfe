// Tick and bar store: per-symbol latest tick, ring of recent ticks, sorted bars, periodic cleanup.
#include "core/DataManager.h"

#include <QMutexLocker>
#include <QTimeZone>

#include <algorithm>
#include <limits>

namespace {

constexpr int kCleanupIntervalMs = 300000;
constexpr int kRecentStrings = 8;          // interned token/exchange pairs compared per store
constexpr size_t kMaxStrings = 0xFFFF;      // index fits in 16 bits

qint64 sortKey(const QDateTime& dt)
{
    // Invalid times sort first, as QDateTime's own ordering puts them before valid ones.
    return dt.isValid() ? dt.toMSecsSinceEpoch() : std::numeric_limits<qint64>::min();
}

} // namespace

void DataManager::TickRing::push(const StoredTick& t, int cap)
{
    const int capacity = static_cast<int>(m_buf.size());
    if (m_size < capacity) {
        m_buf[(m_head + m_size) % capacity] = t;
        ++m_size;
        return;
    }
    if (capacity < cap) {
        // Grow by doubling (capped), unrolling the ring so that the oldest tick is at index 0.
        std::vector<StoredTick> grown;
        grown.reserve(static_cast<size_t>(std::min(cap, std::max(16, capacity * 2))));
        for (int i = 0; i < m_size; ++i)
            grown.push_back(at(i));
        grown.push_back(t);
        grown.resize(grown.capacity());
        m_buf.swap(grown);
        m_head = 0;
        ++m_size;
        return;
    }
    // Full: the newest tick takes the oldest one's place.
    m_buf[m_head] = t;
    m_head = (m_head + 1) % capacity;
}

template <typename Pred>
void DataManager::TickRing::removeIf(Pred pred)
{
    const int capacity = static_cast<int>(m_buf.size());
    int kept = 0;
    for (int i = 0; i < m_size; ++i) {
        StoredTick& t = m_buf[(m_head + i) % capacity];
        if (!pred(t)) {
            if (kept != i)
                m_buf[(m_head + kept) % capacity] = t;
            ++kept;
        }
    }
    m_size = kept;
}

void DataManager::TickRing::clear()
{
    std::vector<StoredTick>().swap(m_buf);
    m_head = 0;
    m_size = 0;
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
    connect(m_cleanupTimer, &QTimer::timeout, this, &DataManager::cleanupOldData);
    m_cleanupTimer->setInterval(kCleanupIntervalMs);
    m_cleanupTimer->start();
}

QDateTime DataManager::toDateTime(const StoredTick& t)
{
    switch (static_cast<Qt::TimeSpec>(t.timeSpec)) {
    case Qt::UTC:
        return QDateTime::fromMSecsSinceEpoch(t.msecs, Qt::UTC);
    case Qt::OffsetFromUTC:
    case Qt::TimeZone:
        return QDateTime::fromMSecsSinceEpoch(t.msecs, Qt::OffsetFromUTC, t.offsetSecs);
    case Qt::LocalTime:
    default:
        return QDateTime::fromMSecsSinceEpoch(t.msecs, Qt::LocalTime);
    }
}

quint16 DataManager::internStrings(Slot& slot, const TickData& tick)
{
    auto& table = slot.strings;
    // Connectors send the same token and exchange for a symbol on every tick; look at the newest
    // entries only, a repeat further back just costs one more entry.
    const int n = static_cast<int>(table.size());
    for (int i = n - 1; i >= 0 && i >= n - kRecentStrings; --i) {
        if (table[i].token == tick.token && table[i].exchange == tick.exchange)
            return static_cast<quint16>(i);
    }
    if (table.size() >= kMaxStrings) {
        // Keep only the pairs still referenced by the ring and renumber them.
        std::vector<TokenExchange> kept;
        std::vector<int> remap(table.size(), -1);
        for (int i = 0; i < slot.ticks.size(); ++i) {
            const quint16 old = slot.ticks.at(i).stringsIndex;
            if (remap[old] < 0) {
                remap[old] = static_cast<int>(kept.size());
                kept.push_back(table[old]);
            }
        }
        slot.ticks.removeIf([&remap](StoredTick& t) {
            t.stringsIndex = static_cast<quint16>(remap[t.stringsIndex]);
            return false;
        });
        table.swap(kept);
    }
    table.push_back(TokenExchange{tick.token, tick.exchange});
    return static_cast<quint16>(table.size() - 1);
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
    st.msecs = tick.timestamp.toMSecsSinceEpoch();
    st.ltp = tick.ltp;
    st.open = tick.open;
    st.high = tick.high;
    st.low = tick.low;
    st.volume = tick.volume;
    st.openInterest = tick.openInterest;
    st.lastTradedQty = tick.lastTradedQty;
    st.timeSpec = static_cast<quint8>(tick.timestamp.timeSpec());
    st.offsetSecs = st.timeSpec == Qt::LocalTime || st.timeSpec == Qt::UTC ? 0 : tick.timestamp.offsetFromUtc();
    st.stringsIndex = internStrings(slot, tick);
    slot.ticks.push(st, m_maxTicksPerSymbol);

    emit newTickStored(tick.symbol, tick);
}

void DataManager::storeHistoricalData(const QString& symbol, const QList<OHLCData>& bars)
{
    if (bars.isEmpty())
        return;

    // Sort on precomputed keys: comparing QDateTime directly converts both sides on every call.
    std::vector<std::pair<qint64, int>> order;
    order.reserve(static_cast<size_t>(bars.size()));
    for (int i = 0; i < bars.size(); ++i)
        order.emplace_back(sortKey(bars.at(i).timestamp), i);
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    QList<OHLCData> sorted;
    sorted.reserve(bars.size());
    for (const auto& o : order)
        sorted.append(bars.at(o.second));

    QMutexLocker lock(&m_mutex);
    Slot& slot = m_slots[symbol];
    slot.hasBars = true;
    slot.bars = sorted;
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
    const QDateTime tick = it->ticks.isEmpty() ? QDateTime() : toDateTime(it->ticks.at(it->ticks.size() - 1));
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
    const QDateTime tick = it->ticks.isEmpty() ? QDateTime() : toDateTime(it->ticks.at(0));
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

void DataManager::cleanupOldData()
{
    QMutexLocker lock(&m_mutex);
    const QDateTime cutoff = QDateTime::currentDateTime().addDays(-m_retentionDays);
    const qint64 cutoffMs = cutoff.toMSecsSinceEpoch();
    for (auto it = m_slots.begin(); it != m_slots.end(); ++it) {
        Slot& slot = it.value();
        // A tick exactly at the cutoff stays; keys and the latest tick are never removed.
        slot.ticks.removeIf([cutoffMs](StoredTick& t) { return t.msecs < cutoffMs; });
        auto& bars = slot.bars;
        bars.erase(std::remove_if(bars.begin(), bars.end(),
                                  [&cutoff](const OHLCData& b) { return b.timestamp < cutoff; }),
                   bars.end());
    }
}
