#pragma once

// The Windows side of port_owner: what the TCP owner table says, apart from
// fetching it, so that rows recorded on one system can be read on another.
#ifdef _WIN32

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <string>

// The listener on host:port (an IPv4 address; a socket bound to every address
// counts too) among the rows of an owner table: its process id, 0 when it
// listens but the table names no owner (Wine 8 gives 0 for every row), -1 when
// none listens.
long listener_in_table(const MIB_TCPTABLE_OWNER_PID& table, const std::string& host, int port);

// UTF-8 and the system's UTF-16, both ways; "" for what does not convert.
std::wstring wide_text(const std::string& utf8);
std::string utf8_text(const std::wstring& wide);

#endif
