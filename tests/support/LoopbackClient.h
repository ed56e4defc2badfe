// A browser's side of a login redirect, for tests of the loopback listeners: connect, send the
// request in pieces, read the page until the listener closes the connection.
#pragma once

#include <QByteArray>
#include <QList>

namespace LoopbackClient {

// A port on 127.0.0.1 that was free a moment ago.
quint16 freePort();

// Sends each piece on its own (flushed, with the event loop run between them) and returns all
// the peer wrote before closing; `closed` tells whether it closed within the time-out.
QByteArray request(quint16 port, const QList<QByteArray>& pieces, bool* closed = nullptr, int timeoutMs = 5000);

}  // namespace LoopbackClient
