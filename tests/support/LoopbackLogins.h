// Points a broker login object at one loopback host: its REST calls, token exchanges and login
// pages go to `base`, and its browser-redirect listener takes `port` (0: a free one).
#pragma once

#include "brokers/angelone/AngelOneAuth.h"
#include "brokers/dhan/DhanAuth.h"
#include "brokers/flattrade/FlatTradeAuth.h"
#include "brokers/fyers/FyersAuth.h"
#include "brokers/tradejini/TradeJiniAuth.h"
#include "brokers/upstox/UpstoxAuth.h"
#include "brokers/zerodha/ZerodhaAuth.h"

inline void pointLoginAt(QObject* login, const QString& base, quint16 port = 0)
{
    if (auto* z = qobject_cast<ZerodhaAuth*>(login)) {
        z->setBaseUrl(base);
        z->setLoginUrl(base + "/connect/login");
        z->setRedirectPorts({port});
    } else if (auto* ft = qobject_cast<FlatTradeAuth*>(login)) {
        ft->setLoginUrl(base + "/login");
        ft->setTokenBaseUrl(base);
        ft->setRedirectPorts({port});
    } else if (auto* d = qobject_cast<DhanAuth*>(login)) {
        d->setAuthBaseUrl(base);
        d->setApiBaseUrl(base);
        d->setLocalPort(port);
    } else if (auto* up = qobject_cast<UpstoxAuth*>(login)) {
        up->setBaseUrl(base);
        up->setCallbackPort(port);
    } else if (auto* f = qobject_cast<FyersAuth*>(login)) {
        f->setBaseUrl(base);
    } else if (auto* a = qobject_cast<AngelOneAuth*>(login)) {
        a->setBaseUrl(base);
        a->setPublisherLoginUrl(base);
        if (port)
            a->setLocalPort(port);
    } else if (auto* tj = qobject_cast<TradeJiniAuth*>(login)) {
        tj->setBaseUrl(base);
    }
}
