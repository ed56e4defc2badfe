// The exported data-plugin entry points: each forwards to the registered AmiBrokerPlugin while
// holding the registration, and never lets an exception reach the host.
#include "amibroker/PluginEntryPoints.h"

#include <QDebug>

#include <exception>

namespace {

template <typename Call>
int withPlugin(const char* entryPoint, Call call)
{
    try {
        const AmiBrokerPlugin::Registration registration;
        AmiBrokerPlugin* plugin = registration.plugin();
        return plugin ? call(*plugin) : 0;
    } catch (const std::exception& e) {
        qWarning() << "[AmiBrokerPlugin]" << entryPoint << "failed:" << e.what();
    } catch (...) {
        qWarning() << "[AmiBrokerPlugin]" << entryPoint << "failed";
    }
    return 0;
}

} // namespace

int GetPluginInfo(PluginInfo* info)
{
    return withPlugin("GetPluginInfo", [&](AmiBrokerPlugin& p) { return p.getPluginInfo(info); });
}

int GetStatus(void*)
{
    return withPlugin("GetStatus", [](AmiBrokerPlugin& p) { return p.getStatus(); });
}

int GetQuote(const char* symbol, PluginQuote* out)
{
    return withPlugin("GetQuote", [&](AmiBrokerPlugin& p) { return p.getQuote(symbol, out); });
}

int GetQuoteEx(const char* symbol, int periodicity, int lastValid, int size, PluginQuote* quotes,
               void* context)
{
    return withPlugin("GetQuoteEx", [&](AmiBrokerPlugin& p) {
        return p.getQuoteEx(symbol, periodicity, lastValid, size, quotes, context);
    });
}

int Notify(void*)
{
    return withPlugin("Notify", [](AmiBrokerPlugin& p) { return p.notify(0, 0); });
}

int SetTimeBase(int timeBase)
{
    return withPlugin("SetTimeBase", [&](AmiBrokerPlugin& p) { return p.setTimeBase(timeBase); });
}

void Release(void)
{
    withPlugin("Release", [](AmiBrokerPlugin& p) {
        p.shutdown();
        return 0;
    });
}
