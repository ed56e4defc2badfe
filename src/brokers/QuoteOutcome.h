// How one reply of a polled quote service went, in words the user can act on: the poll, the
// connection label and the settings dialog's "Test API" all describe a failure the same way.
#pragma once

#include <QString>

class QNetworkReply;

struct QuoteOutcome {
    enum Kind { Ok, NotReachable, KeyRefused, HttpError, NotJson, TimedOut };
    Kind kind = Ok;
    int httpStatus = 0;
    QString detail;  // the network layer's or the JSON parser's own words

    bool ok() const { return kind == Ok; }
    // A few words for the connection label: "HTTP 503", "key refused", "not reachable",
    // "not JSON", "timed out".
    QString reason() const;
    // What went wrong and what to check, for an error box; `provider` leads the text.
    QString explanation(const QString& provider, const QString& url, int timeoutSeconds) const;

    // Reads a finished reply (not its body). `timedOut`: the caller aborted it at its deadline.
    static QuoteOutcome fromReply(QNetworkReply* reply, bool timedOut);
    static QuoteOutcome notJson(const QString& parserError) { return {NotJson, 0, parserError}; }
};
