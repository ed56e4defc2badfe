// What every broker decoder makes of one frame: the ticks it holds and the control events and
// errors met on the way, both in frame order.
//
// All decoders share one shape so that a reader who knows one connector knows them all:
//
//     class XDecoder {
//     public:
//         DecodedFrame decode(const QByteArray& frame, qint64 receivedMSecs);
//     };
//
// - Bytes in, a DecodedFrame out. No sockets, no event loop, no clock of its own: the time of
//   receipt comes in as `receivedMSecs` (epoch milliseconds) and stamps ticks whose packet carries
//   no usable trade time. Text feeds take the message as UTF-8 bytes the same way.
// - Ticks carry the broker's own identity of the instrument: `exchange` (the exchange name the rest
//   of the program uses, from the packet's segment or exchange-type field) and `token`. `symbol` is
//   left empty: the broker names the tick by looking up exchange and token together, never the
//   token alone, since one number can belong to instruments on several exchanges.
// - Times are stamped through TickClock (no zone lookup per tick).
// - A decoder that has to remember instruments between frames (partial updates, cached trade
//   times) keeps that cache in the decoder object itself: one decoder per connection, reset with
//   reset() when the connection is replaced. Stateless decoders still are objects, so every broker
//   holds and calls its decoder the same way.
// - Nothing is logged on the tick path; events are returned for the broker to log or report.
// - A decoder asked to trace (setTracing(true): the broker's per-tick log lines are switched on)
//   also returns notes of what it met on the way, in order, for the broker to write as its
//   per-packet and per-field lines. Not asked, it records nothing and pays one test per packet.
#pragma once

#include "core/MarketData.h"

#include <QByteArray>
#include <QString>
#include <QVector>

struct DecoderEvent {
    enum Kind {
        Heartbeat,      // keep-alive from the server, or the answer to ours
        Acknowledged,   // a subscription, session or mode request was accepted
        ServerError,    // the server reported an error in-band; `text` is its message
        Disconnect,     // the server announced it ends the session; `code` is its reason code
        Skipped,        // a packet was recognised but not turned into a tick (`text` says why)
        UnknownPacket,  // a packet of a length or type this decoder does not know (`code`)
        Malformed       // the frame could not be read to its end; ticks before the fault are kept
    };
    Kind kind = Malformed;
    int code = 0;
    QString text;
    double value = 0;  // a figure the event reports, where its decoder says so
};

// One thing a tracing decoder met. `what` is the decoder's own code; what the values hold is
// listed with the codes.
struct DecoderNote {
    int what = 0;
    qint64 a = 0, b = 0, c = 0, d = 0;
    double x = 0, y = 0;
    QByteArray bytes;
};

struct DecodedFrame {
    QVector<TickData> ticks;
    QVector<DecoderEvent> events;
    QVector<DecoderNote> notes;  // only from a decoder asked to trace

    bool hasEvent(DecoderEvent::Kind kind) const
    {
        for (const DecoderEvent& e : events) {
            if (e.kind == kind)
                return true;
        }
        return false;
    }
    void addEvent(DecoderEvent::Kind kind, int code = 0, const QString& text = QString())
    {
        events.append(DecoderEvent{kind, code, text});
    }
};
