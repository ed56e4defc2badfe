// The local-time stamp of every log line, made without a time-zone lookup per line.
#pragma once

#include <QString>
#include <QtGlobal>

// Formats "yyyy-MM-dd HH:mm:ss.zzz" in the process's local time. The C library's local time
// re-reads the zone (tzset) on every call Qt makes, which at a log line per tick costs more than
// the rest of the tick. Zone offsets change only on whole seconds, so the date and time of the
// current second are worked out once per second and each line adds its milliseconds. A zone
// change (daylight saving, or TZ changed while running) shows from the next second on.
// Not thread-safe: the log handler calls it under its lock.
class LogTimeStamp
{
public:
    static constexpr int kLength = 23;

    // Writes the stamp of the instant `msecsSinceEpoch` (milliseconds since 1970-01-01 UTC) to
    // `out`: kLength characters, no terminating zero.
    void format(qint64 msecsSinceEpoch, char* out);

    QString text(qint64 msecsSinceEpoch);

private:
    void refresh(qint64 second);

    qint64 m_second = 0;
    bool m_valid = false;
    char m_dateTime[20] = {};  // "yyyy-MM-dd HH:mm:ss" of m_second
};
