// AngelOne smart-stream records -> ticks.
#include "brokers/angelone/AngelOneDecoder.h"

#include "brokers/BinaryReader.h"
#include "core/TickClock.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kExchangeType = 1;
constexpr std::size_t kToken = 2;
constexpr std::size_t kTokenWidth = 25;
constexpr std::size_t kTime = 35;
constexpr std::size_t kLtp = 43;
constexpr std::size_t kQuantity = 51;
constexpr std::size_t kOpen = 91;
constexpr std::size_t kHigh = 99;
constexpr std::size_t kLow = 107;
constexpr std::size_t kOpenInterest = 131;

// Latest instant QDateTime converts without overflow: 9999-12-31T23:59:59.999Z.
constexpr qint64 kMaxEpochMs = 253402300799999LL;

constexpr int kCurrencyType = 13;

std::int64_t i64(const BinaryReader& r, std::size_t offset)
{
    std::uint64_t raw = 0;
    r.u64le(offset, raw);
    return std::int64_t(raw);
}

}  // namespace

QString AngelOneDecoder::exchangeName(int type)
{
    static const QString nse = QStringLiteral("NSE"), nfo = QStringLiteral("NFO"), bse = QStringLiteral("BSE"),
                         bfo = QStringLiteral("BFO"), mcx = QStringLiteral("MCX"), ncx = QStringLiteral("NCX"),
                         cds = QStringLiteral("CDS");
    switch (type) {
    case 2: return nfo;
    case 3: return bse;
    case 4: return bfo;
    case 5: return mcx;
    case 7: return ncx;
    case kCurrencyType: return cds;
    default: return nse;
    }
}

bool AngelOneDecoder::carriesOpenInterest(int type)
{
    return type == 2 || type == 4 || type == 5 || type == 7 || type == kCurrencyType;
}

double AngelOneDecoder::priceDivisor(int type)
{
    // Currency contracts are quoted to four decimals and sent in units of 10^-7 rupee.
    return type == kCurrencyType ? 10000000.0 : 100.0;
}

int AngelOneDecoder::exchangeType(const QString& e)
{
    if (e == QLatin1String("NSE") || e == QLatin1String("NSE_EQ"))
        return 1;
    if (e == QLatin1String("NFO") || e == QLatin1String("NSE_FO") || e == QLatin1String("NSE_FNO"))
        return 2;
    if (e == QLatin1String("BSE") || e == QLatin1String("BSE_EQ"))
        return 3;
    // The scrip master files BSE derivatives and currency contracts as "BFO" and "CDS", the
    // names ticks carry too: they must reach their own segment, not NSE's.
    if (e == QLatin1String("BSE_FO") || e == QLatin1String("BFO"))
        return 4;
    if (e == QLatin1String("MCX") || e == QLatin1String("MCX_FO"))
        return 5;
    if (e == QLatin1String("NCX") || e == QLatin1String("NCX_FO") || e == QLatin1String("NCDEX"))
        return 7;
    // BSE currency contracts stream in the currency segment with NSE's.
    if (e == QLatin1String("CDE") || e == QLatin1String("CDE_FO") || e == QLatin1String("CDS")
        || e == QLatin1String("BCD"))
        return kCurrencyType;
    return 1;
}

void AngelOneDecoder::reset()
{
    tokens.clear();
    lastStamp.reset();
}

const QString& AngelOneDecoder::tokenText(const char* bytes, std::size_t length)
{
    std::string key(bytes, length);
    auto it = tokens.find(key);
    if (it == tokens.end())
        it = tokens.emplace(std::move(key), QString::fromUtf8(bytes, int(length))).first;
    return it->second;
}

DecodedFrame AngelOneDecoder::decode(const QByteArray& message, qint64 receivedMSecs)
{
    DecodedFrame out;
    if (message.size() < kRecordSize) {
        out.addEvent(DecoderEvent::Malformed, message.size(), QStringLiteral("shorter than one record"));
        return out;
    }
    const int records = message.size() / kRecordSize;
    out.ticks.resize(records);
    for (int i = 0; i < records; ++i) {
        const BinaryReader r(message.constData() + std::size_t(i) * kRecordSize, kRecordSize);
        std::uint8_t type = 0;
        r.u8(kExchangeType, type);
        const char* tokenBytes = r.data() + kToken;
        const std::size_t tokenLength =
            std::size_t(std::find(tokenBytes, tokenBytes + kTokenWidth, '\0') - tokenBytes);

        TickData& tick = out.ticks[i];
        tick.token = tokenText(tokenBytes, tokenLength);
        tick.exchange = exchangeName(type);
        const double divisor = priceDivisor(type);
        tick.ltp = double(i64(r, kLtp)) / divisor;
        tick.open = double(i64(r, kOpen)) / divisor;
        tick.high = double(i64(r, kHigh)) / divisor;
        tick.low = double(i64(r, kLow)) / divisor;
        // The watchlist's LTQ column shows `volume`: for this stream it is the last trade's quantity.
        const std::int64_t quantity = i64(r, kQuantity);
        tick.volume = double(quantity);
        tick.lastTradedQty = qint32(std::clamp<std::int64_t>(quantity, 0, std::numeric_limits<qint32>::max()));
        tick.openInterest = carriesOpenInterest(type) ? double(i64(r, kOpenInterest)) : 0.0;
        // A time of 0 means the record carries none; one QDateTime cannot hold is not a time either.
        const std::int64_t epochMs = i64(r, kTime);
        tick.timestamp = epochMs > 0 && epochMs <= kMaxEpochMs ? lastStamp.fromMSecs(epochMs) : TickClock::fromMSecs(receivedMSecs);
    }
    return out;
}
