#include "port_owner.h"

// Windows: win/port_owner_win.cpp.
#ifndef _WIN32

#include <arpa/inet.h>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sstream>
#include <unistd.h>

namespace {

constexpr const char* listening_state = "0A";

std::vector<long> numbered_entries(const std::string& folder)
{
    std::vector<long> numbers;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return numbers;
    while (const dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        const long number = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0')
            numbers.push_back(number);
    }
    ::closedir(dir);
    return numbers;
}

std::string link_target(const std::string& link)
{
    char target[PATH_MAX];
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

// The kernel prints each 32-bit word of an address as a number in host order.
bool same_words(const std::string& hex, const void* address, std::size_t words)
{
    if (hex.size() != words * 8)
        return false;
    for (std::size_t i = 0; i < words; ++i) {
        uint32_t expected = 0;
        std::memcpy(&expected, static_cast<const char*>(address) + 4 * i, 4);
        if (static_cast<uint32_t>(std::strtoul(hex.substr(8 * i, 8).c_str(), nullptr, 16)) != expected)
            return false;
    }
    return true;
}

// The inodes of the sockets listening on host:port in one of /proc/net/tcp{,6}.
void listening_inodes(const std::string& table, const std::string& host, int port, std::set<std::string>& inodes)
{
    in_addr v4 {};
    if (::inet_pton(AF_INET, host.c_str(), &v4) != 1)
        return;
    const bool v6 = table.back() == '6';
    in6_addr any6 {};
    in6_addr mapped {};
    const std::string mapped_text = "::ffff:" + host;
    ::inet_pton(AF_INET6, mapped_text.c_str(), &mapped);
    const in_addr any4 {};

    std::ifstream file(table);
    std::string line;
    std::getline(file, line);
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
        const std::string::size_type colon = local.find(':');
        if (state != listening_state || colon == std::string::npos
            || std::strtol(local.substr(colon + 1).c_str(), nullptr, 16) != port)
            continue;
        const std::string address = local.substr(0, colon);
        const bool ours = v6 ? same_words(address, &any6, 4) || same_words(address, &mapped, 4)
                             : same_words(address, &v4, 1) || same_words(address, &any4, 1);
        if (ours && inode != "0")
            inodes.insert("socket:[" + inode + "]");
    }
}

std::string stat_field(long pid, int field)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(file, stat);
    // The program's name stands in parentheses and may hold blanks.
    const std::string::size_type close = stat.rfind(')');
    if (close == std::string::npos)
        return std::string();
    std::istringstream rest(stat.substr(close + 2));
    std::string value;
    for (int i = 3; i <= field && rest >> value; ++i) {
    }
    return value;
}

long number_or_none(const std::string& text)
{
    char* end = nullptr;
    const long number = std::strtol(text.c_str(), &end, 10);
    return text.empty() || *end != '\0' ? -1 : number;
}

} // namespace

bool can_see_port_owners()
{
    return true;
}

bool is_listened(const std::string& host, int port)
{
    std::set<std::string> inodes;
    listening_inodes("/proc/net/tcp", host, port, inodes);
    listening_inodes("/proc/net/tcp6", host, port, inodes);
    return !inodes.empty();
}

long listening_process(const std::string& host, int port)
{
    std::set<std::string> inodes;
    listening_inodes("/proc/net/tcp", host, port, inodes);
    listening_inodes("/proc/net/tcp6", host, port, inodes);
    if (inodes.empty())
        return -1;
    for (const long pid : numbered_entries("/proc")) {
        const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
        for (const long fd : numbered_entries(fds))
            if (inodes.count(link_target(fds + "/" + std::to_string(fd))))
                return pid;
    }
    return -1;
}

std::string process_folder(long pid)
{
    return pid > 0 ? resolved_folder("/proc/" + std::to_string(pid) + "/cwd") : std::string();
}

bool same_folder(const std::string& one, const std::string& other)
{
    return !one.empty() && one == other;
}

std::string resolved_folder(const std::string& path)
{
    char resolved[PATH_MAX];
    if (path.empty() || !::realpath(path.c_str(), resolved))
        return std::string();
    return resolved;
}

long process_group_of(long pid)
{
    return number_or_none(stat_field(pid, 5));
}

long parent_of(long pid)
{
    return number_or_none(stat_field(pid, 4));
}

std::string program_of(long pid)
{
    return link_target("/proc/" + std::to_string(pid) + "/exe");
}

std::vector<long> processes_in_group(long group)
{
    std::vector<long> members;
    for (const long pid : numbered_entries("/proc"))
        if (process_group_of(pid) == group)
            members.push_back(pid);
    return members;
}

#endif
