// Builds AngelOne smart-stream records field by field, from the layout the decoder documents.
#pragma once

#include <QByteArray>

namespace AngelOneFrames {

struct Record {
    quint8 exchangeType = 1;
    QByteArray token = "2885";  // up to 25 bytes; shorter ones are zero-padded
    qint64 epochMs = 1710474300000LL;
    qint64 ltp = 250000;        // paise (10^-7 rupee for currency), a whole 8-byte field
    qint64 quantity = 0;        // last traded quantity
    qint64 dayVolume = 0;       // volume traded today
    qint64 open = 0, high = 0, low = 0;  // same scale as ltp
    qint64 openInterest = 0;    // a count
    quint8 fill = 0;            // value of every byte the decoder does not read
};

constexpr int kSize = 379;

QByteArray record(const Record& r);

}  // namespace AngelOneFrames
