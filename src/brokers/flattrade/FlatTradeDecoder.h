// Turns FlatTrade stream frames (flat JSON text, every value a string) into ticks and control events.
//
// Frames by their "t" field:
//   tk / dk   touchline / depth snapshot of one instrument: every current field
//   tf / df   touchline / depth update: "e" and "tk" always, any other field only when it changed
//   ak / ck   answer to the session message; "s" reads ok (in any letter case) or not, "emsg" may
//             explain a refusal ("ck" answers the older stream generation's message)
//   uk / udk  unsubscribe acknowledged; hk: heartbeat answer
// Quote fields read here (all JSON strings):
//   e exchange, tk token, lp last price, o h l day open/high/low, v cumulative day volume,
//   oi open interest, ltq last trade quantity (depth frames only), ft feed time in epoch seconds.
// Prices are rupees written as decimals ("88.0675"); they are used exactly as sent, never scaled.
// A field missing from an update keeps the value it had, so the decoder caches each instrument by
// "exchange|token" between frames. Bid/ask levels, "pc" and "c" carry nothing a tick holds.
//
// Frames are scanned in place by a bounds-checked reader for flat objects; anything it does not
// take on (escapes, nested values, very many fields) goes through QJsonDocument instead, so both
// roads read the same frame alike.
#pragma once

#include "brokers/DecodedFrame.h"

#include <QByteArray>
#include <QHash>
#include <QString>

class FlatTradeDecoder {
public:
    // DecoderEvent::code: which answer a control event is, and why a quote gave no tick.
    enum Code { SessionAnswer = 1, UnsubscribeAnswer = 2, NoLastPrice = 3, NoInstrumentKey = 4, TooManyInstruments = 5 };

    // The pre-open placeholder some Noren feeds put in price fields: never a price.
    static constexpr double kPlaceholderPrice = 42949672.95;
    // Instruments remembered at most; frames for further new ones are skipped.
    static constexpr int kMaxInstruments = 20000;

    FlatTradeDecoder();

    // `frame` is the text message as UTF-8. Ticks are stamped with the frame's feed time, else
    // with `receivedMSecs`.
    DecodedFrame decode(const QByteArray& frame, qint64 receivedMSecs);
    // Forgets every instrument (a new connection starts from snapshots again).
    void reset();
    int instrumentCount() const { return cache.size(); }

private:
    struct Instrument {
        QString exchange;
        QString token;
        double ltp = 0.0;  // 0 until the first usable last price
        double open = 0.0;
        double high = 0.0;
        double low = 0.0;
        double volume = 0.0;
        double openInterest = 0.0;
        qint32 lastTradedQty = 0;
    };

    QHash<QByteArray, Instrument> cache;
    QByteArray keyBuffer;  // "exchange|token" of the frame at hand, reused between frames
};
