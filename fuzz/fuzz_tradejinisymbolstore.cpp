// TradeJini symbol-store replies: the group list, and one group's rows in text and JSON form; a
// row never spans lines and text rows never outnumber the lines.
#include "FuzzSeeds.h"
#include "brokers/tradejini/TradeJiniSymbolStore.h"

TICKVANE_FUZZ_SEEDS(R"({"s":"ok","d":{"groups":["NSE_EQ","NFO_FUT"],"version":3,"updated":true}})",
                    "id|name|token\n1|RELIANCE|2885\n2|SBIN|3045\n", R"({"s":"ok","d":["1|RELIANCE|2885"]})",
                    R"({"s":"no"})")

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char*>(data), int(size));
    const TradeJiniSymbolStore::Groups g = TradeJiniSymbolStore::parseGroups(body);
    if (!g.valid)
        FUZZ_CHECK(!g.ok && g.groups.isEmpty());
    int lines = 0;
    const QStringList text = TradeJiniSymbolStore::parseTextRows(body, &lines);
    FUZZ_CHECK(text.size() <= lines);
    for (const QString& row : text)
        FUZZ_CHECK(!row.contains(QLatin1Char('\n')));
    QStringList json;
    TradeJiniSymbolStore::parseJsonRows(body, json);
    return 0;
}
