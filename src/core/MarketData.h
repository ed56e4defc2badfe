// The two value records every layer passes around: one live tick and one bar.
#pragma once

#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>

struct TickData {
    QString symbol;    // key under which the store and AmiBroker know the instrument
    QString token;     // broker's instrument token as text; empty when the source has none
    QString exchange;  // "NSE", "BSE", "NFO", "MCX", ...
    double ltp = 0.0;
    double open = 0.0;  // day's open as the source reports it; 0 when absent
    double high = 0.0;
    double low = 0.0;
    double volume = 0.0;  // whatever volume figure the connector reports; passed through untouched
    double openInterest = 0.0;
    qint32 lastTradedQty = 0;
    QDateTime timestamp;

    // NaN compares false, so a NaN price is invalid too.
    bool isValid() const { return !symbol.isEmpty() && ltp > 0.0 && timestamp.isValid(); }
};

struct OHLCData {
    QString symbol;
    QDateTime timestamp;
    double open = 0.0;
    double high = 0.0;
    double low = 0.0;
    double close = 0.0;
    double volume = 0.0;
    double adjustedClose = 0.0;  // equals close unless the source delivers an adjusted close
    double openInterest = 0.0;

    bool isValid() const
    {
        return !symbol.isEmpty() && open > 0.0 && high > 0.0 && low > 0.0 && close > 0.0
            && timestamp.isValid();
    }
};

Q_DECLARE_METATYPE(TickData)
Q_DECLARE_METATYPE(OHLCData)

// Registers "TickData", "OHLCData" and "QList<OHLCData>" for queued signals. Idempotent.
void registerMarketDataTypes();
