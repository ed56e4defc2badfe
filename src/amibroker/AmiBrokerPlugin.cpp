// AmiBrokerPlugin: plugin info, status and quotes from the tick and bar store.
#include "amibroker/AmiBrokerPlugin.h"

#include "core/DataManager.h"

#include <QCoreApplication>
#include <QDebug>
#include <QMutexLocker>
#include <QReadWriteLock>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

std::atomic<AmiBrokerPlugin*> registeredPlugin{nullptr};

// Entry points hold it for reading while they use the registered plugin; clearing the
// registration takes it for writing, so it waits for calls in flight.
QReadWriteLock& registrationLock()
{
    static QReadWriteLock lock;
    return lock;
}

// Nearest 32-bit float; values beyond the float range become infinities instead of undefined
// behaviour.
float toFloat(double value)
{
    constexpr double kMax = std::numeric_limits<float>::max();
    if (value > kMax)
        return std::numeric_limits<float>::infinity();
    if (value < -kMax)
        return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

} // namespace

AmiBrokerPlugin::Registration::Registration()
{
    registrationLock().lockForRead();
    registered = registeredPlugin.load();
}

AmiBrokerPlugin::Registration::~Registration()
{
    registrationLock().unlock();
}

AmiBrokerPlugin::AmiBrokerPlugin(DataManager* dataManager, QObject* parent)
    : QObject(parent)
    , dataManager(dataManager)
{
    initialize();
    // Shutdown destroys the store before this object (both belong to the main window, the store
    // created first); the host must stop reaching it before then.
    if (QCoreApplication* app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &AmiBrokerPlugin::unregister);
}

AmiBrokerPlugin::~AmiBrokerPlugin()
{
    unregister();
}

void AmiBrokerPlugin::unregister()
{
    QWriteLocker lock(&registrationLock());
    AmiBrokerPlugin* self = this;
    registeredPlugin.compare_exchange_strong(self, nullptr);
}

AmiBrokerPlugin* AmiBrokerPlugin::instance()
{
    return registeredPlugin.load();
}

void AmiBrokerPlugin::setInstance(AmiBrokerPlugin* plugin)
{
    QWriteLocker lock(&registrationLock());
    registeredPlugin.store(plugin);
}

void AmiBrokerPlugin::initialize()
{
    if (initialized.exchange(true))
        return;
    nameLatin1 = pluginName.toLatin1();
    vendorLatin1 = pluginVendor.toLatin1();
    qDebug() << "AmiBroker plugin initialized";
}

void AmiBrokerPlugin::shutdown()
{
    initialized = false;
    qDebug() << "AmiBroker plugin shutdown";
}

bool AmiBrokerPlugin::isInitialized() const
{
    return initialized;
}

void AmiBrokerPlugin::setPluginInfo(const QString& name, const QString& vendor, int version)
{
    QMutexLocker lock(&infoMutex);
    pluginName = name;
    pluginVendor = vendor;
    pluginVersion = version;
    nameLatin1 = name.toLatin1();
    vendorLatin1 = vendor.toLatin1();
}

int AmiBrokerPlugin::getPluginInfo(PluginInfo* info)
{
    if (!info)
        return 0;
    QMutexLocker lock(&infoMutex);
    info->structSize = static_cast<std::int32_t>(sizeof(PluginInfo));
    info->type = 3;
    info->version = pluginVersion;
    info->idCode = 12345;
    info->name = nameLatin1.constData();
    info->vendor = vendorLatin1.constData();
    info->reserved = 0;
    info->minHostVersion = 5000000;
    return 1;
}

int AmiBrokerPlugin::getStatus() const
{
    if (!dataManager)
        return 0;
    return dataManager->availableSymbols().isEmpty() ? 2 : 3;
}

int AmiBrokerPlugin::notify(int, int)
{
    return 1;
}

int AmiBrokerPlugin::setTimeBase(int timeBase)
{
    hostTimeBase = timeBase;
    return 1;
}

int AmiBrokerPlugin::timeBase() const
{
    return hostTimeBase;
}

std::int32_t AmiBrokerPlugin::packDate(const QDateTime& when) const
{
    if (!when.isValid())
        return 0;
    const QDate date = when.date();
    const qint64 packed = qint64(date.year()) * 10000 + date.month() * 100 + date.day();
    // Only years far outside any market's history could leave the 32-bit word.
    if (packed > std::numeric_limits<std::int32_t>::max() || packed < std::numeric_limits<std::int32_t>::min())
        return 0;
    return static_cast<std::int32_t>(packed);
}

PluginQuote AmiBrokerPlugin::quoteFromTick(const TickData& tick) const
{
    PluginQuote q{};
    q.price = toFloat(tick.ltp);
    q.open = toFloat(tick.open);
    q.high = toFloat(tick.high);
    q.low = toFloat(tick.low);
    q.quantity = static_cast<float>(static_cast<std::uint32_t>(tick.lastTradedQty));
    q.volume = toFloat(tick.volume);
    q.adjustedPrice = toFloat(tick.ltp);
    q.reserved = 0;
    q.dataDate = packDate(tick.timestamp);
    q.queryDate = packDate(QDateTime::currentDateTime());
    return q;
}

PluginQuote AmiBrokerPlugin::quoteFromBar(const OHLCData& bar) const
{
    PluginQuote q{};
    q.price = toFloat(bar.close);
    q.open = toFloat(bar.open);
    q.high = toFloat(bar.high);
    q.low = toFloat(bar.low);
    q.quantity = toFloat(bar.volume);
    q.volume = 0.0f;
    q.adjustedPrice = toFloat(bar.adjustedClose);
    q.reserved = 0;
    q.dataDate = packDate(bar.timestamp);
    q.queryDate = packDate(QDateTime::currentDateTime());
    return q;
}

int AmiBrokerPlugin::getQuote(const char* symbol, PluginQuote* out)
{
    if (!symbol || !out || !dataManager)
        return 0;
    const QString name = QString::fromLatin1(symbol);
    const TickData tick = dataManager->latestTick(name);
    if (tick.isValid()) {
        *out = quoteFromTick(tick);
        return 1;
    }
    const OHLCData bar = dataManager->barForDate(name, QDateTime::currentDateTime());
    if (bar.isValid()) {
        *out = quoteFromBar(bar);
        return 1;
    }
    return 0;
}

int AmiBrokerPlugin::getQuoteEx(const char* symbol, int, int, int size, PluginQuote* quotes, void*)
{
    if (!symbol || !quotes || !dataManager || size < 1)
        return 0;
    const QList<OHLCData> bars =
        dataManager->historicalData(QString::fromLatin1(symbol), QDateTime(), QDateTime());
    const int n = qMin(size, bars.size());
    for (int i = 0; i < n; ++i)
        quotes[i] = quoteFromBar(bars.at(i)); // the n oldest bars, oldest first
    return n;
}
