// The brokers' REST hosts in one place; connectors and the facade take their defaults from here.
#pragma once

#include <QString>

namespace BrokerHosts {

inline QString zerodhaRest() { return QStringLiteral("https://api.kite.trade"); }
inline QString flatTradeRest() { return QStringLiteral("https://piconnect.flattrade.in"); }
inline QString tradeJiniRest() { return QStringLiteral("https://api.tradejini.com"); }
inline QString dhanRest() { return QStringLiteral("https://api.dhan.co"); }
inline QString angelOneRest() { return QStringLiteral("https://apiconnect.angelbroking.com"); }
inline QString upstoxRest() { return QStringLiteral("https://api.upstox.com"); }
inline QString fyersRest() { return QStringLiteral("https://api-t1.fyers.in"); }

}  // namespace BrokerHosts

// AngelOne: smart stream, public scrip master and publisher-login page (the REST host is above).
namespace BrokerHosts {
inline QString angelOneStream() { return QStringLiteral("wss://smartapisocket.angelone.in"); }
inline QString angelOneScripMaster() { return QStringLiteral("https://margincalculator.angelbroking.com"); }
inline QString angelOnePublisherLogin() { return QStringLiteral("https://smartapi.angelbroking.com"); }
}  // namespace BrokerHosts

// Dhan: login pages and consent, the feed and the instrument master (REST is dhanRest above).
namespace BrokerHosts {
inline QString dhanAuth() { return QStringLiteral("https://auth.dhan.co"); }
inline QString dhanFeed() { return QStringLiteral("wss://api-feed.dhan.co"); }
inline QString dhanScripMaster() { return QStringLiteral("https://images.dhan.co"); }
}  // namespace BrokerHosts

// FlatTrade: the stream address the broker serves today (the REST host is above).
namespace BrokerHosts {
inline QString flatTradeStream() { return QStringLiteral("wss://piconnect.flattrade.in/PiConnectWSAPI/"); }
}  // namespace BrokerHosts
