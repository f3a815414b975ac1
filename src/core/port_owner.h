#pragma once

#include <string>
#include <vector>

// Who listens on a TCP port of this computer, as the system itself tells it
// (never as the listener describes itself), and the folder it runs in.

// False where this host gives no way to look (see port_owner.cpp): callers
// then fall back to what the listener says.
bool can_see_port_owners();
// True while some socket listens on host:port (cheap: no process is looked at).
bool is_listened(const std::string& host, int port);
// The process that listens on host:port (host an IPv4 address; a socket bound
// to every address counts too), or -1 when none is seen or it cannot be read.
// A port listened on with -1 here has an owner the system does not name
// (Wine names none): it is never taken for a known server on that ground.
long listening_process(const std::string& host, int port);
// The working folder of a process with its links resolved, or "" when it
// cannot be read (gone, or another user's).
std::string process_folder(long pid);
// True when two folders of process_folder / resolved_folder are one: on
// Windows regardless of case, separators and "\\?\" prefixes.
bool same_folder(const std::string& one, const std::string& other);
// `path` with its links resolved, relative to the current folder; "" when it
// does not exist.
std::string resolved_folder(const std::string& path);
// The process group of a process, its parent and its program, as the
// system lists them; -1 / "" when unreadable.
long process_group_of(long pid);
long parent_of(long pid);
std::string program_of(long pid);
// Every process of a group that this user can see.
std::vector<long> processes_in_group(long group);
