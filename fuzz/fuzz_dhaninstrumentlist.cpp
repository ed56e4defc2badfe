// Dhan instrument master (CSV without quoting): each row comes from one line of at least 16
// fields, so no row spans lines and there are never more rows than lines after the header.
#include "FuzzSeeds.h"
#include "brokers/dhan/DhanInstrumentList.h"

TICKVANE_FUZZ_SEEDS(
    "SEM_EXM_EXCH_ID,SEM_SEGMENT,SEM_SMST_SECURITY_ID,a,b,SEM_TRADING_SYMBOL,c,SEM_EXCH_INSTRUMENT_TYPE,d,e,f,g,h,i,j,k\n"
    "NSE,E,3045,x,x,SBIN,x,EQUITY,x,x,x,x,x,x,x,x\nshort,line\n",
    "\n\n,,,,,,,,,,,,,,,\r\n")

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray csv(reinterpret_cast<const char*>(data), int(size));
    const QList<DhanInstrumentList::Row> rows = DhanInstrumentList::parse(csv);
    FUZZ_CHECK(rows.size() <= csv.count('\n') + 1);
    for (const DhanInstrumentList::Row& r : rows) {
        FUZZ_CHECK(!r.symbol.contains(QLatin1Char('\n')) && !r.token.contains(QLatin1Char('\n')));
        FUZZ_CHECK(!r.token.contains(QLatin1Char(',')));
    }
    return 0;
}
