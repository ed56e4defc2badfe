// The AmiBroker data-plugin entry points exported from the executable (C linkage, cdecl).
#pragma once

#include "amibroker/AmiBrokerPlugin.h"

#if defined(_WIN32)
#define TICKVANE_PLUGIN_API extern "C" __declspec(dllexport)
#define TICKVANE_PLUGIN_CALL __cdecl
#else
#define TICKVANE_PLUGIN_API extern "C" __attribute__((visibility("default")))
#define TICKVANE_PLUGIN_CALL
#endif

// Each answers 0 (Release: nothing) without a registered plugin. Arguments the host passes but
// the plugin does not read are declared as plain pointers; the caller removes them.
TICKVANE_PLUGIN_API int TICKVANE_PLUGIN_CALL GetPluginInfo(PluginInfo* info);
TICKVANE_PLUGIN_API int TICKVANE_PLUGIN_CALL GetStatus(void* status);
TICKVANE_PLUGIN_API int TICKVANE_PLUGIN_CALL GetQuote(const char* symbol, PluginQuote* out);
TICKVANE_PLUGIN_API int TICKVANE_PLUGIN_CALL GetQuoteEx(const char* symbol, int periodicity, int lastValid,
                                                        int size, PluginQuote* quotes, void* context);
TICKVANE_PLUGIN_API int TICKVANE_PLUGIN_CALL Notify(void* notification);
TICKVANE_PLUGIN_API int TICKVANE_PLUGIN_CALL SetTimeBase(int timeBase);
TICKVANE_PLUGIN_API void TICKVANE_PLUGIN_CALL Release(void);
