// Compares every field of a decoded tick with the expected one, so a value taken from the wrong
// place (volume from open interest, a price at the wrong scale) fails the test that made it.
#pragma once

#include "core/MarketData.h"

#include <QtTest>

namespace TickCompare {

// QCOMPAREs field by field; check QTest::currentTestFailed() after the call.
inline void compare(const TickData& actual, const TickData& expected)
{
    QCOMPARE(actual.symbol, expected.symbol);
    QCOMPARE(actual.token, expected.token);
    QCOMPARE(actual.exchange, expected.exchange);
    QCOMPARE(actual.ltp, expected.ltp);
    QCOMPARE(actual.open, expected.open);
    QCOMPARE(actual.high, expected.high);
    QCOMPARE(actual.low, expected.low);
    QCOMPARE(actual.volume, expected.volume);
    QCOMPARE(actual.openInterest, expected.openInterest);
    QCOMPARE(actual.lastTradedQty, expected.lastTradedQty);
    QCOMPARE(actual.timestamp.toMSecsSinceEpoch(), expected.timestamp.toMSecsSinceEpoch());
    // Same wall-clock text as local time, whatever way the stamp was made.
    const QString wallClock = QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz");
    QCOMPARE(actual.timestamp.toString(wallClock), expected.timestamp.toLocalTime().toString(wallClock));
}

}  // namespace TickCompare
