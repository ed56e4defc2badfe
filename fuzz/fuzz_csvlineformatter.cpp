// CSV lines for AmiBroker with hostile symbols and values: a line always has its column count,
// ends in exactly one line feed and holds no other control character; prices are written as
// Qt's fixed formatting writes them; a history file name never leaves its folder.
#include "FuzzSeeds.h"
#include "amibroker/CSVLineFormatter.h"

#include <cstring>

namespace {

// Symbol text, then eight bytes per double.
struct Input {
    QString symbol;
    double values[6] = {};
};

Input split(const uint8_t* data, size_t size)
{
    Input in;
    const size_t numbers = std::min<size_t>(6, size / 8);
    for (size_t i = 0; i < numbers; ++i)
        std::memcpy(&in.values[i], data + size - 8 * (i + 1), 8);
    in.symbol = QString::fromUtf8(reinterpret_cast<const char*>(data), int(size - 8 * numbers));
    return in;
}

bool wellFormed(const QString& line, int commas)
{
    if (!line.endsWith(QLatin1Char('\n')) || line.count(QLatin1Char(',')) != commas)
        return false;
    for (int i = 0; i + 1 < line.size(); ++i) {
        if (line.at(i).category() == QChar::Other_Control || line.at(i) == QChar::LineSeparator
            || line.at(i) == QChar::ParagraphSeparator)
            return false;
    }
    return true;
}

}  // namespace

TICKVANE_FUZZ_SEEDS("NSE:SBIN", "X\nNSE:SBIN,2024-03-15,09:15:03,1,1,1,1,1,0", QByteArray("A\rB\tC\0D", 7), "..",
                    "../../etc/passwd", "NSE:M&M-EQ")

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Input in = split(data, size);
    TickData t;
    t.ltp = in.values[0];
    t.open = in.values[1];
    t.high = in.values[2];
    t.low = in.values[3];
    t.volume = in.values[4];
    t.openInterest = in.values[5];
    t.timestamp = QDateTime(QDate(2024, 3, 15), QTime(9, 15, 3));
    FUZZ_CHECK(wellFormed(CSVLineFormatter::amiBrokerLine(in.symbol, t), 8));
    FUZZ_CHECK(wellFormed(CSVLineFormatter::metastockLine(in.symbol, t), 6));
    FUZZ_CHECK(wellFormed(CSVLineFormatter::tickLine(in.symbol, t), 6));
    for (double v : in.values) {
        QString mine;
        CSVLineFormatter::appendPrice(mine, v);
        FUZZ_CHECK(mine == QString::number(v, 'f', 2));
    }
    const QString stem = CSVLineFormatter::historyFileStem(in.symbol);
    for (const char* bad : {"/", "\\", ":", "\n", "\r"})
        FUZZ_CHECK(!stem.contains(QLatin1String(bad)));
    FUZZ_CHECK(stem != QLatin1String(".") && stem != QLatin1String(".."));
    return 0;
}
