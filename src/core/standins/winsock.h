#pragma once

// Winsock 2.2 as the Windows build uses it. On a Windows host the real one;
// elsewhere a stand-in over POSIX sockets, where socket, inet_addr, htons and
// connect are the system's own and the Winsock-only calls are mapped here.

#ifdef _WIN32

#include <winsock2.h>

#else

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using SOCKET = int;
using WORD = unsigned short;
inline constexpr SOCKET INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;

struct WSADATA
{
    WORD wVersion = 0;
    WORD wHighVersion = 0;
};

// POSIX sockets need no start-up: version 2.2 is always there.
inline int WSAStartup(WORD, WSADATA* data)
{
    if (!data)
        return -1;
    data->wVersion = 0x0202;
    data->wHighVersion = 0x0202;
    return 0;
}

inline int WSACleanup()
{
    return 0;
}

inline int closesocket(SOCKET socket)
{
    return ::close(socket);
}

#endif
