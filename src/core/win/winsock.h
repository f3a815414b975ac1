#pragma once

// Winsock 2.2 as the Windows build uses it. On a Windows host the real one;
// elsewhere a stand-in over POSIX sockets, where socket, inet_addr, htons,
// connect and select are the system's own and the Winsock-only calls, and
// those whose Winsock signature differs, are mapped here.

#ifdef _WIN32

#include <winsock2.h>

#else

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

using SOCKET = int;
using WORD = unsigned short;
using u_long = unsigned long;
inline constexpr SOCKET INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;
inline constexpr int WSAEWOULDBLOCK = 10035;

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

// A non-blocking connect, send or recv that cannot finish at once reports
// WSAEWOULDBLOCK on Windows, where POSIX says EINPROGRESS or EAGAIN.
inline int WSAGetLastError()
{
    return errno == EINPROGRESS || errno == EAGAIN || errno == EWOULDBLOCK ? WSAEWOULDBLOCK : errno;
}

inline int ioctlsocket(SOCKET socket, long command, u_long* argument)
{
    int value = static_cast<int>(*argument);
    return ::ioctl(socket, static_cast<unsigned long>(command), &value);
}

inline int getsockopt(SOCKET socket, int level, int name, char* value, int* length)
{
    socklen_t size = static_cast<socklen_t>(*length);
    const int result = ::getsockopt(socket, level, name, static_cast<void*>(value), &size);
    *length = static_cast<int>(size);
    return result;
}

// Windows has no SIGPIPE: a peer that went away is an error of the call.
inline int send(SOCKET socket, const char* bytes, int length, int flags)
{
    return static_cast<int>(
        ::send(socket, static_cast<const void*>(bytes), static_cast<size_t>(length), flags | MSG_NOSIGNAL));
}

inline int recv(SOCKET socket, char* bytes, int length, int flags)
{
    return static_cast<int>(::recv(socket, static_cast<void*>(bytes), static_cast<size_t>(length), flags));
}

#endif
