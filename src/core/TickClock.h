// Wall-clock stamps for ticks without a time-zone lookup per tick.
//
// A QDateTime in Qt::LocalTime asks the C library for the zone on every construction (and glibc
// re-reads the zone file when TZ is unset), which costs more than decoding a whole packet. Ticks are
// stamped instead as Qt::OffsetFromUTC with the local offset of the moment: the same instant, the
// same wall-clock text from toString(), date() and time(), at the price of one addition. The offset is
// looked up again only when a stamp leaves the quarter hour the cached offset was read for, so a
// daylight-saving change is still picked up.
#pragma once

#include <QDateTime>

namespace TickClock {

// Local offset from UTC, in seconds, at the instant `msecsSinceEpoch`. Cached per thread.
int localOffsetAt(qint64 msecsSinceEpoch);

// The instant as local wall-clock time (Qt::OffsetFromUTC with the local offset).
QDateTime fromMSecs(qint64 msecsSinceEpoch);
inline QDateTime fromSecs(qint64 secsSinceEpoch) { return fromMSecs(secsSinceEpoch * 1000); }

// The current time, stamped the same way.
QDateTime now();
qint64 nowMSecs();

// Remembers the last instant it stamped: the packets of one frame mostly share their trade time,
// and copying a QDateTime is cheaper than building one. One per decoder; reset with the decoder.
class LastStamp {
public:
    QDateTime fromMSecs(qint64 msecsSinceEpoch)
    {
        if (!last.isValid() || msecsSinceEpoch != lastMs) {
            lastMs = msecsSinceEpoch;
            last = TickClock::fromMSecs(msecsSinceEpoch);
        }
        return last;
    }
    QDateTime fromSecs(qint64 secsSinceEpoch) { return fromMSecs(secsSinceEpoch * 1000); }
    void reset() { last = QDateTime(); }

private:
    qint64 lastMs = 0;
    QDateTime last;
};

}  // namespace TickClock
