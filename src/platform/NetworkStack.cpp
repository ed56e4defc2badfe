// Socket-layer start and stop: Windows Sockets on Windows, SIGPIPE handling on POSIX systems.
#include "platform/NetworkStack.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <csignal>
#endif

bool NetworkStack::startup()
{
#ifdef _WIN32
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
#else
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    return sigaction(SIGPIPE, &ignore, nullptr) == 0;
#endif
}

void NetworkStack::cleanup()
{
#ifdef _WIN32
    WSACleanup();
#endif
}

const char* NetworkStack::startedText()
{
#ifdef _WIN32
    return "WSAStartup initialized for IXWebSocket (Dhan broker)";
#else
    return "Network sockets initialized for IXWebSocket (Dhan broker)";
#endif
}

const char* NetworkStack::failedText()
{
#ifdef _WIN32
    return "WSAStartup failed - IXWebSocket (Dhan) will not work";
#else
    return "Network socket start-up failed - IXWebSocket (Dhan) will not work";
#endif
}
