// Log line stamps from a per-second cache of the local date and time.
#include "app/LogTimeStamp.h"

#include <cstring>
#include <ctime>

#include <QDateTime>

void LogTimeStamp::format(qint64 msecsSinceEpoch, char* out)
{
    // Floor division: an instant before 1970 still belongs to the second that starts before it.
    qint64 second = msecsSinceEpoch / 1000;
    int milli = int(msecsSinceEpoch % 1000);
    if (milli < 0) {
        milli += 1000;
        --second;
    }
    if (!m_valid || second != m_second)
        refresh(second);

    std::memcpy(out, m_dateTime, 19);
    out[19] = '.';
    out[20] = char('0' + milli / 100);
    out[21] = char('0' + milli / 10 % 10);
    out[22] = char('0' + milli % 10);
}

QString LogTimeStamp::text(qint64 msecsSinceEpoch)
{
    char stamp[kLength];
    format(msecsSinceEpoch, stamp);
    return QString::fromLatin1(stamp, kLength);
}

void LogTimeStamp::refresh(qint64 second)
{
    m_second = second;
    m_valid = true;
    // As Qt does for local time: the zone is read again, so a changed TZ or zone file counts.
    tzset();
    const std::time_t t = std::time_t(second);
    std::tm local{};
    if (localtime_r(&t, &local) && local.tm_year >= -1900 && local.tm_year <= 9999 - 1900) {
        const auto put = [this](int at, int value, int width) {
            for (int i = at + width - 1; i >= at; --i, value /= 10)
                m_dateTime[i] = char('0' + value % 10);
        };
        std::memcpy(m_dateTime, "0000-00-00 00:00:00", 20);
        put(0, local.tm_year + 1900, 4);
        put(5, local.tm_mon + 1, 2);
        put(8, local.tm_mday, 2);
        put(11, local.tm_hour, 2);
        put(14, local.tm_min, 2);
        put(17, local.tm_sec, 2);
        return;
    }
    // Out of the C library's range: Qt's own answer, slow but never reached by a clock reading.
    const QByteArray text = QDateTime::fromSecsSinceEpoch(second)
                                .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                                .toLatin1()
                                .leftJustified(19, ' ', true);
    std::memcpy(m_dateTime, text.constData(), 19);
    m_dateTime[19] = '\0';
}
