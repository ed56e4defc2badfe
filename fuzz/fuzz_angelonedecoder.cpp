// AngelOne stream messages: every whole record becomes a tick or a skip, nothing else, and a
// message decodes to the same ticks whether or not more records follow it.
#include "FuzzSeeds.h"
#include "brokers/angelone/AngelOneDecoder.h"
#include "support/AngelOneFrames.h"

namespace {

QByteArray sample(quint8 exchange, const QByteArray& token, qint64 quantity)
{
    AngelOneFrames::Record r;
    r.exchangeType = exchange;
    r.token = token;
    r.quantity = quantity;
    return AngelOneFrames::record(r);
}

QString known(const QString& token)
{
    return token.startsWith(QLatin1Char('9')) ? QString() : QStringLiteral("SYM") + token;
}

}  // namespace

TICKVANE_FUZZ_SEEDS(sample(1, "2885", 10), sample(2, "35001", 0) + sample(5, "4242", 3), sample(1, "99", 1),
                    QByteArray(AngelOneDecoder::kRecordSize - 1, '\0'))

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray message(reinterpret_cast<const char*>(data), int(size));
    QVector<TickData> ticks;
    const AngelOneDecoder::Result r = AngelOneDecoder::decode(message, known, ticks);
    const int records = message.size() / AngelOneDecoder::kRecordSize;
    FUZZ_CHECK(r.tooSmall == (records == 0));
    FUZZ_CHECK(ticks.size() + r.skipped.size() == records);
    for (const TickData& t : qAsConst(ticks)) {
        FUZZ_CHECK(t.timestamp.isValid());
        FUZZ_CHECK(t.symbol == QStringLiteral("SYM") + t.token);
    }
    if (records > 1) {
        // The first record alone gives the first tick (or skip) of the whole message.
        QVector<TickData> first;
        const AngelOneDecoder::Result one =
            AngelOneDecoder::decode(message.left(AngelOneDecoder::kRecordSize), known, first);
        FUZZ_CHECK(first.size() + one.skipped.size() == 1);
        if (!first.isEmpty())
            FUZZ_CHECK(!ticks.isEmpty() && ticks.first().token == first.first().token
                       && ticks.first().timestamp == first.first().timestamp);
    }
    return 0;
}
