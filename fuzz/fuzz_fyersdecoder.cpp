// Fuzz target: Fyers depth-stream messages. The input is a sequence of messages (two length bytes,
// big-endian, then the message) decoded in order by one decoder, as one connection would be.
// Checks: no crash or undefined behaviour, every tick usable (ticker, positive finite price,
// valid time), at most one tick per feeds entry, and the same input giving the same ticks again
// after reset().
#include "brokers/fyers/FyersDecoder.h"

#include <QByteArray>
#include <QVector>

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {

QVector<QByteArray> split(const uint8_t* data, size_t size)
{
    QVector<QByteArray> frames;
    size_t pos = 0;
    while (pos + 2 <= size && frames.size() < 64) {
        const size_t len = (size_t(data[pos]) << 8) | data[pos + 1];
        pos += 2;
        const size_t take = len < size - pos ? len : size - pos;
        frames.append(QByteArray(reinterpret_cast<const char*>(data + pos), int(take)));
        pos += take;
    }
    return frames;
}

int feedsEntries(const QByteArray& frame)
{
    // An upper bound: every byte that could start a feeds entry tag.
    return int(frame.count('\x12'));
}

QVector<QString> run(FyersDecoder& decoder, const QVector<QByteArray>& frames)
{
    QVector<QString> out;
    for (const QByteArray& f : frames) {
        const DecodedFrame d = decoder.decode(f, 1741152602000);
        if (d.ticks.size() > feedsEntries(f))
            std::abort();
        for (const TickData& t : d.ticks) {
            if (t.token.isEmpty() || !(t.ltp > 0.0) || !std::isfinite(t.ltp) || !t.timestamp.isValid()
                || t.volume < 0 || t.openInterest < 0 || t.lastTradedQty < 0)
                std::abort();
            out.append(t.token + QLatin1Char('|') + QString::number(t.ltp, 'f', 2) + QLatin1Char('|')
                       + QString::number(t.timestamp.toMSecsSinceEpoch()));
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QVector<QByteArray> frames = split(data, size);
    FyersDecoder decoder;
    const QVector<QString> first = run(decoder, frames);
    decoder.reset();
    if (run(decoder, frames) != first)
        std::abort();
    return 0;
}
