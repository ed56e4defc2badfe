// AmiBroker's data-plugin side: the records the host reads and the object behind the exported
// entry points, answering quotes from the tick and bar store.
#pragma once

#include "core/MarketData.h"

#include <QByteArray>
#include <QDateTime>
#include <QMutex>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstddef>
#include <cstdint>

class DataManager;

// Filled into the host's buffer by GetPluginInfo: eight 32-bit words on the 32-bit host
// (the two text pointers widen on 64-bit builds).
struct PluginInfo {
    std::int32_t structSize;
    std::int32_t type;
    std::int32_t version;
    std::int32_t idCode;
    const char* name;   // NUL-terminated Latin-1, valid while the plugin lives
    const char* vendor; // likewise
    std::int32_t reserved;
    std::int32_t minHostVersion;
};
static_assert(sizeof(void*) != 4 || sizeof(PluginInfo) == 32, "PluginInfo is 32 bytes on the host");

// One quotation in the host's buffer: ten 32-bit words, 40 bytes.
struct PluginQuote {
    float price;
    float open;
    float high;
    float low;
    float quantity; // from a tick: the last traded quantity; from a bar: its volume
    float volume;   // from a tick: its volume; from a bar: 0
    float adjustedPrice;
    std::int32_t reserved;
    std::int32_t dataDate;  // packed date of the record
    std::int32_t queryDate; // packed date of the request
};
static_assert(sizeof(PluginQuote) == 40, "PluginQuote is ten 32-bit words");
static_assert(offsetof(PluginQuote, reserved) == 28 && offsetof(PluginQuote, queryDate) == 36,
              "PluginQuote word order");

// The object behind the exported entry points. One instance is registered for the process; the
// entry points run on the host's threads and only read the store through its own locked
// operations. The registration is cleared (waiting for calls in flight) when the plugin is
// destroyed, and when the application is about to quit, before the store goes away.
class AmiBrokerPlugin : public QObject
{
    Q_OBJECT

public:
    AmiBrokerPlugin(DataManager* dataManager, QObject* parent = nullptr);
    ~AmiBrokerPlugin() override;

    static AmiBrokerPlugin* instance();
    // Registers plugin (null clears). Returns once no entry point is using the previous one.
    static void setInstance(AmiBrokerPlugin* plugin);

    void setPluginInfo(const QString& name, const QString& vendor, int version);
    int getPluginInfo(PluginInfo* info);
    int getStatus() const;
    int notify(int, int);
    int setTimeBase(int timeBase);
    int timeBase() const;
    void shutdown();
    bool isInitialized() const;

    // year * 10000 + month * 100 + day of the date-time's own calendar date; 0 when invalid.
    // A time base of 0 or less gets the same date-only form (a minute-resolution form would not
    // fit in the 32-bit word).
    std::int32_t packDate(const QDateTime& when) const;
    PluginQuote quoteFromTick(const TickData& tick) const;
    PluginQuote quoteFromBar(const OHLCData& bar) const;

    int getQuote(const char* symbol, PluginQuote* out);
    int getQuoteEx(const char* symbol, int, int, int size, PluginQuote* quotes, void*);

    // Holds the registration for the duration of one entry-point call: while a Registration
    // lives, the registered plugin cannot be cleared or destroyed.
    class Registration
    {
    public:
        Registration();
        ~Registration();
        Registration(const Registration&) = delete;
        Registration& operator=(const Registration&) = delete;
        AmiBrokerPlugin* plugin() const { return registered; }

    private:
        AmiBrokerPlugin* registered;
    };

private:
    void initialize();
    void unregister();

    DataManager* dataManager;
    mutable QMutex infoMutex; // name, vendor and version can change while the host reads them
    QString pluginName = QStringLiteral("Tickvane");
    QString pluginVendor = QStringLiteral("Tickvane Team");
    int pluginVersion = 10000;
    std::atomic<int> hostTimeBase{1};
    std::atomic<bool> initialized{false};
    QByteArray nameLatin1;
    QByteArray vendorLatin1;
};
