// Points a broker login object at one loopback host: its REST calls and token exchanges go to
// `base`, and its browser-redirect listener takes a free local port.
#pragma once

#include "brokers/angelone/AngelOneAuth.h"
#include "brokers/dhan/DhanAuth.h"
#include "brokers/flattrade/FlatTradeAuth.h"
#include "brokers/fyers/FyersAuth.h"
#include "brokers/tradejini/TradeJiniAuth.h"
#include "brokers/upstox/UpstoxAuth.h"
#include "brokers/zerodha/ZerodhaAuth.h"

inline void pointLoginAt(QObject* login, const QString& base)
{
    if (auto* z = qobject_cast<ZerodhaAuth*>(login)) {
        z->setBaseUrl(base);
        z->setLoginUrl(base + "/connect/login");
        z->setRedirectPorts({0});
    } else if (auto* ft = qobject_cast<FlatTradeAuth*>(login)) {
        ft->setLoginUrl(base + "/login");
        ft->setTokenBaseUrl(base);
        ft->setRedirectPorts({0});
    } else if (auto* d = qobject_cast<DhanAuth*>(login)) {
        d->setAuthBaseUrl(base);
        d->setApiBaseUrl(base);
        d->setLocalPort(0);
    } else if (auto* up = qobject_cast<UpstoxAuth*>(login)) {
        up->setBaseUrl(base);
        up->setCallbackPort(0);
    } else if (auto* f = qobject_cast<FyersAuth*>(login)) {
        f->setBaseUrl(base);
    } else if (auto* a = qobject_cast<AngelOneAuth*>(login)) {
        a->setBaseUrl(base);
    } else if (auto* tj = qobject_cast<TradeJiniAuth*>(login)) {
        tj->setBaseUrl(base);
    }
}
