// A port on 127.0.0.1 where a connection is surely refused, for as long as the object lives.
//
// A port that was free a moment ago (listen, note the port, close) is no such thing: another test
// or program may take it before the connection is made, and an outgoing socket on this machine
// may even be given it as its own local port and then connect to itself. This one stays bound,
// without SO_REUSEADDR and never listening: the kernel refuses every connection to it, no one
// else can bind it, and it is never handed out as an ephemeral port.
#pragma once

#include <QtGlobal>

class ClosedPort {
public:
    ClosedPort();
    ~ClosedPort();
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;

    bool isValid() const { return portNumber != 0; }
    quint16 port() const { return portNumber; }

private:
    int fd = -1;
    quint16 portNumber = 0;
};
