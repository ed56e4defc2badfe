// Builds Upstox feed frames in protocol-buffers wire format from the field layout, for the
// decoder and broker tests and the benchmark.
#pragma once

#include <QByteArray>
#include <QString>

namespace UpstoxFrames {

// Wire-format primitives.
QByteArray varint(quint64 value);
QByteArray tag(quint32 field, int wireType);
QByteArray varintField(quint32 field, quint64 value);
QByteArray doubleField(quint32 field, double value);
QByteArray bytesField(quint32 field, const QByteArray& contents);

struct Trade {
    double ltp = 0;
    qint64 ltt = 0;  // ms since the epoch; 0: field left out
    qint64 ltq = 0;  // 0: field left out
    double cp = 0;   // previous close; 0: field left out
};

QByteArray ltpc(const Trade& t);
// Feed carrying only the last-trade message.
QByteArray ltpcFeed(const Trade& t);
// Feed carrying a full feed (fullFeedField 1: market, 2: index) with nested LTPC and open interest.
QByteArray fullFeed(const Trade& t, double oi = 0, int fullFeedField = 1);
// One feeds map entry (root field 2).
QByteArray entry(const QString& key, const QByteArray& feed);

}  // namespace UpstoxFrames
