// AngelOne stream messages: at most one tick per whole record, every tick stamped, a message
// shorter than a record reported as malformed, and the first record decoded alone gives the
// message's first tick.
#include "FuzzTicks.h"
#include "brokers/angelone/AngelOneDecoder.h"
#include "support/AngelOneFrames.h"

namespace {

constexpr qint64 kReceived = 1710474300500LL;

QByteArray sample(quint8 exchange, const QByteArray& token, qint64 quantity)
{
    AngelOneFrames::Record r;
    r.exchangeType = exchange;
    r.token = token;
    r.quantity = quantity;
    return AngelOneFrames::record(r);
}

}  // namespace

TICKVANE_FUZZ_SEEDS(sample(1, "2885", 10), sample(2, "35001", 0) + sample(5, "4242", 3), sample(7, "99", 1),
                    QByteArray(AngelOneDecoder::kRecordSize - 1, '\0'))

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray message(reinterpret_cast<const char*>(data), int(size));
    AngelOneDecoder decoder;
    const DecodedFrame all = decoder.decode(message, kReceived);
    FuzzTicks::checkWhole(all);
    const int records = message.size() / AngelOneDecoder::kRecordSize;
    FUZZ_CHECK(all.ticks.size() <= records);
    if (records == 0)
        FUZZ_CHECK(all.hasEvent(DecoderEvent::Malformed));
    if (records > 1) {
        AngelOneDecoder alone;
        const DecodedFrame first = alone.decode(message.left(AngelOneDecoder::kRecordSize), kReceived);
        if (!first.ticks.isEmpty()) {
            FUZZ_CHECK(!all.ticks.isEmpty());
            FUZZ_CHECK(all.ticks.first().token == first.ticks.first().token
                       && all.ticks.first().timestamp == first.ticks.first().timestamp);
        }
    }
    return 0;
}
