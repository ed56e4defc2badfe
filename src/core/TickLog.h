// The logging category of the lines written per tick and per feed packet on the tick path.
#pragma once

#include <QLoggingCategory>

// "tickvane.ticks", on by default. QT_LOGGING_RULES="tickvane.ticks.debug=false" switches the
// lines off; code that puts together more than one line per tick (or asks a decoder to trace)
// tests tickLog().isDebugEnabled() first, so the tick path pays nothing while they are off.
Q_DECLARE_LOGGING_CATEGORY(tickLog)
