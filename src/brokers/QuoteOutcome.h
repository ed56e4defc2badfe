// How one reply of a polled quote service went, in words the user can act on: the poll, the
// connection label, history downloads and the settings dialog's "Test API" all describe a failure
// the same way.
#pragma once

#include <QString>

class QNetworkReply;

struct QuoteOutcome {
    enum Kind { Ok, NotReachable, KeyRefused, HttpError, NotJson, TimedOut, UnknownSymbol, OtherSymbol, NoBars };
    // What the failed request asked for: the second line of a text says what to check for it.
    enum Request { Quote, History };
    Kind kind = Ok;
    int httpStatus = 0;
    QString detail;  // the network layer's or the JSON parser's words; OtherSymbol: the symbol replied
    QString symbol;  // the symbol asked for

    bool ok() const { return kind == Ok; }
    // The failure is the symbol's own (the service answers for others): it is told per symbol and
    // says nothing about the service as a whole.
    bool aboutSymbol() const { return kind == UnknownSymbol || kind == OtherSymbol; }
    // A few words for the connection label: "HTTP 503", "key refused", "not reachable",
    // "not JSON", "timed out", "unknown symbol", "other symbol", "no bars".
    QString reason() const;
    // What went wrong and what to check, for an error box; `provider` leads the text of a failure
    // of the service, the symbol leads that of a failure of one symbol.
    QString explanation(const QString& provider, const QString& url, int timeoutSeconds,
                        Request request = Quote) const;

    // Reads a finished reply (not its body). `timedOut`: the caller aborted it at its deadline.
    // A 404 for a symbol says the service does not know that symbol.
    static QuoteOutcome fromReply(QNetworkReply* reply, bool timedOut, const QString& symbol = QString());
    static QuoteOutcome notJson(const QString& parserError, const QString& asked = QString())
    {
        return {NotJson, 0, parserError, asked};
    }
    static QuoteOutcome otherSymbol(const QString& asked, const QString& replied)
    {
        return {OtherSymbol, 0, replied, asked};
    }
    static QuoteOutcome noBars(const QString& asked) { return {NoBars, 0, QString(), asked}; }
    // Whether a typed service address starts with http:// or https://: without, the network layer
    // has no protocol to speak ("localhost:8080/q" even reads as the scheme "localhost").
    static bool hasWebScheme(const QString& url);
};
