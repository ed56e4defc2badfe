// AngelOne smart-stream records -> ticks.
#include "brokers/angelone/AngelOneDecoder.h"

#include "brokers/BinaryReader.h"

#include <QDateTime>

namespace AngelOneDecoder {

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

double price(const BinaryReader& r, std::size_t offset)
{
    std::int32_t raw = 0;
    r.i32le(offset, raw);
    return raw / 100.0;
}

std::int64_t i64(const BinaryReader& r, std::size_t offset)
{
    std::uint64_t raw = 0;
    r.u64le(offset, raw);
    return std::int64_t(raw);
}

}  // namespace

QString exchangeName(int type)
{
    switch (type) {
    case 2: return QStringLiteral("NFO");
    case 3: return QStringLiteral("BSE");
    case 4: return QStringLiteral("BFO");
    case 5: return QStringLiteral("MCX");
    case 7: return QStringLiteral("NCX");
    case 13: return QStringLiteral("CDS");
    default: return QStringLiteral("NSE");
    }
}

bool carriesOpenInterest(int type)
{
    return type == 2 || type == 4 || type == 5 || type == 7 || type == 13;
}

int exchangeType(const QString& e)
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
    if (e == QLatin1String("NCX") || e == QLatin1String("NCX_FO"))
        return 7;
    if (e == QLatin1String("CDE") || e == QLatin1String("CDE_FO") || e == QLatin1String("CDS"))
        return 13;
    return 1;
}

Result decode(const QByteArray& message, const std::function<QString(const QString&)>& symbolForToken,
              QVector<TickData>& ticks)
{
    Result result;
    if (message.size() < kRecordSize) {
        result.tooSmall = true;
        return result;
    }
    if (!symbolForToken)
        return result;
    const int records = message.size() / kRecordSize;
    for (int i = 0; i < records; ++i) {
        const BinaryReader r(message.constData() + std::size_t(i) * kRecordSize, kRecordSize);
        std::uint8_t type = 0;
        r.u8(kExchangeType, type);
        const char* tokenBytes = r.data() + kToken;
        std::size_t tokenLength = 0;
        while (tokenLength < kTokenWidth && tokenBytes[tokenLength] != '\0')
            ++tokenLength;
        const QString token = QString::fromUtf8(tokenBytes, int(tokenLength));

        const QString symbol = symbolForToken(token);
        if (symbol.isEmpty()) {
            result.skipped.append({Skipped::UnknownToken, token, 0});
            continue;
        }
        const std::int64_t epochMs = i64(r, kTime);
        // A time QDateTime cannot hold would make an invalid tick (or overflow converting it).
        if (epochMs < 0 || epochMs > kMaxEpochMs) {
            result.skipped.append({Skipped::BadTime, token, epochMs});
            continue;
        }

        TickData tick;
        tick.symbol = symbol;
        tick.token = token;
        tick.exchange = exchangeName(type);
        tick.ltp = price(r, kLtp);
        tick.timestamp = QDateTime::fromMSecsSinceEpoch(epochMs);
        const std::int64_t quantity = i64(r, kQuantity);
        tick.volume = double(quantity);
        tick.lastTradedQty = qint32(std::uint32_t(std::uint64_t(quantity) & 0xffffffffu));
        tick.open = price(r, kOpen);
        tick.high = price(r, kHigh);
        tick.low = price(r, kLow);
        tick.openInterest = carriesOpenInterest(type) ? double(i64(r, kOpenInterest)) / 100.0 : 0.0;
        ticks.append(tick);
    }
    return result;
}

}  // namespace AngelOneDecoder
