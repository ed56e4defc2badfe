// Plays the system browser against a login's loopback redirect listener.
#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

class QObject;
class QTcpSocket;

namespace BrowserStandIn {

// A port on 127.0.0.1 that nothing listened on a moment ago, for a listener of the program to
// take. Not for a connection that must be refused: anyone may take it meanwhile (see ClosedPort).
quint16 freePort();

// Sends the whole request at once and returns everything the listener answers until it closes
// the connection.
QByteArray request(quint16 port, const QByteArray& whole);

// As above, but in chunks: each is read by the listener before the next is written. `listener`
// is the LoopbackRedirectServer or an object that holds one (a login), on this thread.
QByteArray request(QObject* listener, quint16 port, const QList<QByteArray>& chunks);

// The listener's end of `client` once the listener has taken the connection, or null when it
// has not within five seconds.
QTcpSocket* acceptedEnd(QObject* listener, const QTcpSocket& client);

}  // namespace BrowserStandIn
