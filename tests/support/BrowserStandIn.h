// Plays the system browser against a login's loopback redirect listener.
#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

namespace BrowserStandIn {

// A port on 127.0.0.1 that nothing listened on a moment ago.
quint16 freePort();

// Sends the request in the given chunks (each read on its own by a listener on this thread) and
// returns everything the listener answers until it closes the connection.
QByteArray request(quint16 port, const QList<QByteArray>& chunks);

}  // namespace BrowserStandIn
