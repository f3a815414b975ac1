#include "cmd_family.h"

#include "process_win.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <limits.h>
#include <map>
#include <unistd.h>

namespace {

struct ProcessState
{
    pid_t parent = 0;
    char state = '?';
    unsigned long long started = 0;
    std::string command_name;
};

bool read_state(pid_t pid, ProcessState& process)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text))
        return false;
    // "pid (name) state ppid ..." where the name may hold blanks and ')'.
    const auto open = text.find('(');
    const auto close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 2 >= text.size())
        return false;
    process.command_name = text.substr(open + 1, close - open - 1);
    std::vector<std::string> fields;
    std::string field;
    for (std::size_t i = close + 2; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += text[i];
        }
    }
    // fields[0] is the state (field 3 of stat), fields[19] the start time (field 22).
    if (fields.size() < 20 || fields[0].empty())
        return false;
    process.state = fields[0][0];
    process.parent = static_cast<pid_t>(std::strtol(fields[1].c_str(), nullptr, 10));
    process.started = std::strtoull(fields[19].c_str(), nullptr, 10);
    return true;
}

std::map<pid_t, ProcessState> all_processes()
{
    std::map<pid_t, ProcessState> processes;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return processes;
    while (const dirent* entry = ::readdir(proc)) {
        const std::string name = entry->d_name;
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        ProcessState process;
        const pid_t pid = static_cast<pid_t>(std::strtol(name.c_str(), nullptr, 10));
        if (read_state(pid, process))
            processes[pid] = process;
    }
    ::closedir(proc);
    return processes;
}

bool carries_family_mark(pid_t pid, pid_t root)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    const std::string environment((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::string mark = std::string(kestrova_family_variable) + "=" + std::to_string(root);
    std::size_t start = 0;
    while (start < environment.size()) {
        std::size_t end = environment.find('\0', start);
        if (end == std::string::npos)
            end = environment.size();
        if (environment.compare(start, end - start, mark) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

std::string image_name(pid_t pid, const std::string& command_name)
{
    char target[PATH_MAX];
    const ssize_t length =
        ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), target, sizeof target - 1);
    if (length <= 0)
        return command_name;
    std::string path(target, static_cast<std::size_t>(length));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.erase(path.size() - deleted.size());
    return path.substr(path.rfind('/') + 1);
}

long resident_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 6, "VmRSS:") == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return 0;
}

std::vector<std::pair<pid_t, ProcessState>> living_marked_descendants(pid_t root)
{
    const std::map<pid_t, ProcessState> processes = all_processes();
    std::multimap<pid_t, pid_t> children;
    for (const auto& [pid, process] : processes)
        children.emplace(process.parent, pid);

    std::vector<std::pair<pid_t, ProcessState>> found;
    std::vector<pid_t> pending {root};
    while (!pending.empty()) {
        const pid_t parent = pending.back();
        pending.pop_back();
        const auto [first, last] = children.equal_range(parent);
        for (auto child = first; child != last; ++child) {
            pending.push_back(child->second);
            const ProcessState& process = processes.at(child->second);
            if (process.state != 'Z' && process.state != 'X' && carries_family_mark(child->second, root))
                found.emplace_back(child->second, process);
        }
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return a.second.started != b.second.started ? a.second.started < b.second.started
                                                    : a.first < b.first;
    });
    return found;
}

} // namespace

pid_t family_root()
{
    const char* value = std::getenv(kestrova_family_variable);
    if (!value || !*value || std::string(value).find_first_not_of("0123456789") != std::string::npos)
        return 0;
    const pid_t root = static_cast<pid_t>(std::strtol(value, nullptr, 10));
    if (root <= 1)
        return 0;
    // The family is the program's only while that program is one of our ancestors.
    for (pid_t ancestor = ::getppid(); ancestor > 1;) {
        if (ancestor == root)
            return root;
        ProcessState process;
        if (!read_state(ancestor, process))
            return 0;
        ancestor = process.parent;
    }
    return 0;
}

std::vector<FamilyMember> family_members(pid_t root)
{
    std::vector<FamilyMember> members;
    if (root <= 1)
        return members;
    for (const auto& [pid, process] : living_marked_descendants(root))
        members.push_back({pid, image_name(pid, process.command_name), resident_kib(pid)});
    return members;
}

bool is_family_member(pid_t root, pid_t pid)
{
    if (root <= 1)
        return false;
    for (const auto& member : living_marked_descendants(root))
        if (member.first == pid)
            return true;
    return false;
}

bool has_ended(pid_t pid)
{
    ProcessState process;
    return !read_state(pid, process) || process.state == 'Z' || process.state == 'X';
}
