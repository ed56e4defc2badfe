// The per-tick logging category.
#include "core/TickLog.h"

Q_LOGGING_CATEGORY(tickLog, "tickvane.ticks")
