#pragma once

// What the Windows checks share: a verdict per check, the standard streams
// of this program kept apart, a folder per check, the environment the
// product's commands inherit, and the processes a check started.

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kw {

namespace fs = std::filesystem;

// Collects what one check found wrong; a check without findings passed.
class Verdict
{
public:
    void expect(bool condition, const std::string& what)
    {
        if (!condition)
            findings.push_back(what);
    }
    void expect_equal(const std::string& seen, const std::string& expected, const std::string& what)
    {
        if (seen != expected)
            findings.push_back(what + "\n      expected: [" + expected + "]\n      saw:      [" + seen + "]");
    }
    bool passed() const { return findings.empty(); }
    const std::vector<std::string>& all() const { return findings; }

private:
    std::vector<std::string> findings;
};

// One of this program's streams sent into a string for the object's life.
class StreamCapture
{
public:
    explicit StreamCapture(std::ostream& stream) : stream(stream), previous(stream.rdbuf(buffer.rdbuf())) {}
    ~StreamCapture() { stream.rdbuf(previous); }
    std::string text() const { return buffer.str(); }

private:
    std::ostream& stream;
    std::streambuf* previous;
    std::ostringstream buffer;
};

inline std::string read_file(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

inline void write_file(const fs::path& file, const std::string& bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

inline std::string joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += (text.empty() ? "" : " | ") + line;
    return text;
}

// Polls until `done` holds or the time is up; true when it held.
inline bool wait_until(const std::function<bool()>& done, int timeout_ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return true;
}

// A fresh folder for one check, the program's working directory while the
// object lives: the product names every file relative to it.
class WorkDir
{
public:
    explicit WorkDir(const std::string& name) : previous(fs::current_path()), folder(previous / name)
    {
        fs::remove_all(folder);
        fs::create_directories(folder);
        fs::current_path(folder);
    }
    ~WorkDir() { fs::current_path(previous); }
    fs::path file(const std::string& name) const { return folder / name; }
    std::string windows_path(const std::string& name) const { return file(name).string(); }

private:
    fs::path previous;
    fs::path folder;
};

// Variables set for the object's life, in the C runtime's copy and in the
// process's own block, so that both getenv and every child see them.
class Environment
{
public:
    void set(const std::string& name, const std::string& value)
    {
        if (!saved.count(name)) {
            const char* old = std::getenv(name.c_str());
            saved[name] = old ? std::make_pair(true, std::string(old)) : std::make_pair(false, std::string());
        }
        assign(name, value, true);
    }
    ~Environment()
    {
        for (const auto& [name, old] : saved)
            assign(name, old.second, old.first);
    }

private:
    static void assign(const std::string& name, const std::string& value, bool present)
    {
        _putenv((name + "=" + (present ? value : std::string())).c_str());
        SetEnvironmentVariableA(name.c_str(), present ? value.c_str() : nullptr);
    }
    std::map<std::string, std::pair<bool, std::string>> saved;
};

// A file to write, created anew, that child processes can inherit.
inline HANDLE inheritable_file(const fs::path& file)
{
    SECURITY_ATTRIBUTES inherit {sizeof inherit, nullptr, TRUE};
    return CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The file name of a process's image ("python.exe"), "" when it is gone.
inline std::string image_name(HANDLE process)
{
    char path[MAX_PATH] = "";
    DWORD size = MAX_PATH;
    if (!QueryFullProcessImageNameA(process, 0, path, &size))
        return std::string();
    const std::string full(path, size);
    return full.substr(full.find_last_of("\\/") + 1);
}

inline bool running(HANDLE process)
{
    return process && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

// The processes that a check started, directly or through the product's
// commands, held by handle: an id stays theirs while the handle is open,
// however quickly Wine hands ids out again. At the end of the check the
// gate is opened so that they end by themselves; whatever still runs then
// is ended through its handle.
class Processes
{
public:
    explicit Processes(fs::path gate) : gate(std::move(gate)) {}
    ~Processes()
    {
        write_file(gate, "");
        for (HANDLE process : held) {
            if (WaitForSingleObject(process, 10000) == WAIT_TIMEOUT)
                TerminateProcess(process, 1);
            CloseHandle(process);
        }
    }

    // A program of the test's, started with `arguments` (its name first) in
    // the current folder, with this program's standard streams unless others
    // are given; nullptr when it could not be started.
    HANDLE start(const std::string& program, const std::string& arguments, HANDLE input = nullptr,
                 HANDLE output = nullptr)
    {
        STARTUPINFOA startup {};
        startup.cb = sizeof startup;
        if (input || output) {
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = input ? input : GetStdHandle(STD_INPUT_HANDLE);
            startup.hStdOutput = output ? output : GetStdHandle(STD_OUTPUT_HANDLE);
            startup.hStdError = output ? output : GetStdHandle(STD_ERROR_HANDLE);
        }
        PROCESS_INFORMATION process {};
        std::string line = arguments;
        if (!CreateProcessA(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                            &startup, &process))
            return nullptr;
        CloseHandle(process.hThread);
        held.push_back(process.hProcess);
        return process.hProcess;
    }

    // `program` started in `folder`; with `sealed`, no other process may open
    // it (as another user's or a protected process).
    HANDLE start_in(const std::string& program, const std::string& arguments, const fs::path& folder,
                    bool sealed = false)
    {
        SECURITY_DESCRIPTOR nobody {}; // an empty access list: no one is let in
        ACL empty {};
        InitializeSecurityDescriptor(&nobody, SECURITY_DESCRIPTOR_REVISION);
        InitializeAcl(&empty, sizeof empty, ACL_REVISION);
        SetSecurityDescriptorDacl(&nobody, TRUE, &empty, FALSE);
        SECURITY_ATTRIBUTES sealing {sizeof sealing, &nobody, FALSE};
        STARTUPINFOW startup {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process {};
        std::wstring line = fs::path(arguments).wstring();
        if (!CreateProcessW(fs::path(program).c_str(), &line[0], sealed ? &sealing : nullptr, nullptr, TRUE, 0,
                            nullptr, folder.c_str(), &startup, &process))
            return nullptr;
        CloseHandle(process.hThread);
        held.push_back(process.hProcess);
        return process.hProcess;
    }

    // Takes hold of a process that the product started, by the id it
    // recorded, if it still runs that image; nullptr otherwise.
    HANDLE adopt(DWORD pid, const std::string& image)
    {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                                     FALSE, pid);
        if (!process)
            return nullptr;
        if (image_name(process) != image || !running(process)) {
            CloseHandle(process);
            return nullptr;
        }
        held.push_back(process);
        return process;
    }

private:
    fs::path gate;
    std::vector<HANDLE> held;
};

// One start of the recording stand-in, as it recorded it.
struct Run
{
    std::string program;
    std::string folder;
    std::string arguments; // each in brackets: "[manage.py] [runserver]"
    DWORD pid = 0;
    std::string parent_image;
};

inline std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1)
        fields.push_back(text.substr(start, at - start));
    fields.push_back(text.substr(start));
    return fields;
}

inline std::vector<Run> recorded_runs(const fs::path& record)
{
    std::vector<Run> runs;
    for (const std::string& line : lines_of(read_file(record))) {
        const std::vector<std::string> fields = split(line, '|');
        if (fields.size() != 5)
            continue;
        std::string arguments;
        for (const std::string& argument : split(fields[2], '\t'))
            arguments += (arguments.empty() ? "[" : " [") + argument + "]";
        runs.push_back({fields[0], fields[1], arguments, static_cast<DWORD>(std::stoul(fields[3])), fields[4]});
    }
    return runs;
}

} // namespace kw
