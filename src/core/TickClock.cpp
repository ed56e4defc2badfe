#include "core/TickClock.h"

namespace {

constexpr qint64 kBucketMs = 15 * 60 * 1000;

struct OffsetCache {
    qint64 bucket = -1;  // msecs / kBucketMs of the cached offset; -1: none yet
    int offset = 0;
    bool valid = false;
};

qint64 bucketOf(qint64 ms)
{
    // Floor division, so instants before 1970 land in their own bucket too.
    return ms >= 0 ? ms / kBucketMs : -((-ms + kBucketMs - 1) / kBucketMs);
}

}  // namespace

namespace TickClock {

int localOffsetAt(qint64 msecsSinceEpoch)
{
    thread_local OffsetCache cache;
    const qint64 bucket = bucketOf(msecsSinceEpoch);
    if (!cache.valid || cache.bucket != bucket) {
        cache.offset = QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch, Qt::LocalTime).offsetFromUtc();
        cache.bucket = bucket;
        cache.valid = true;
    }
    return cache.offset;
}

QDateTime fromMSecs(qint64 msecsSinceEpoch)
{
    return QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch, Qt::OffsetFromUTC, localOffsetAt(msecsSinceEpoch));
}

qint64 nowMSecs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

QDateTime now()
{
    return fromMSecs(nowMSecs());
}

}  // namespace TickClock
