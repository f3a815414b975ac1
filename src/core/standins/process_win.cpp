#include "process_win.h"

#ifdef _WIN32

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdlib>

int kestrova_system(const std::string& line)
{
    return std::system(line.c_str());
}

void kestrova_system_nowait(const std::string& line)
{
    // _spawnl joins its arguments with blanks, so the interpreter gets the
    // same "cmd.exe /c line" that system would have given it.
    const char* comspec = std::getenv("COMSPEC");
    const char* interpreter = comspec && *comspec ? comspec : "cmd.exe";
    const intptr_t process = ::_spawnl(_P_NOWAIT, interpreter, "cmd.exe", "/c", line.c_str(),
                                       static_cast<const char*>(nullptr));
    if (process != -1)
        ::CloseHandle(reinterpret_cast<HANDLE>(process));
}

void kestrova_sleep_once(unsigned milliseconds)
{
    ::Sleep(milliseconds);
}

#else

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <limits.h>
#include <mutex>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

namespace {

// The name every keeper of the stand-in gives itself (see kestrova_cmd.cpp):
// such a process ends up a child of the program once the interpreter that
// started it has ended, and the program then reaps it.
constexpr const char* keeper_name = "kestrova-keep";

bool is_executable(const std::string& file)
{
    return !file.empty() && ::access(file.c_str(), X_OK) == 0;
}

// The stand-in is looked up in the environment, next to the program, then
// where the build put it.
std::string interpreter_path()
{
    if (const char* chosen = std::getenv("KESTROVA_CMD"); chosen && is_executable(chosen))
        return chosen;
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        std::string beside(self, static_cast<std::size_t>(length));
        beside = beside.substr(0, beside.rfind('/') + 1) + "kestrova-cmd";
        if (is_executable(beside))
            return beside;
    }
#ifdef KESTROVA_CMD_PATH
    return KESTROVA_CMD_PATH;
#else
    return "kestrova-cmd";
#endif
}

// A zombie child named like a keeper: its state and name from /proc/PID/stat.
bool is_finished_keeper(const std::string& pid, pid_t self)
{
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string text;
    std::getline(stat, text);
    const auto open = text.find('(');
    const auto close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 4 > text.size())
        return false;
    const std::string name = text.substr(open + 1, close - open - 1);
    const char state = text[close + 2];
    const long parent = std::strtol(text.c_str() + close + 4, nullptr, 10);
    return state == 'Z' && parent == self && name == keeper_name;
}

void reap_finished_keepers()
{
    const pid_t self = ::getpid();
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return;
    std::vector<pid_t> finished;
    while (const dirent* entry = ::readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") == std::string::npos && is_finished_keeper(pid, self))
            finished.push_back(static_cast<pid_t>(std::stol(pid)));
    }
    ::closedir(proc);
    // Only named keepers: every other child belongs to whoever started it.
    for (pid_t pid : finished)
        ::waitpid(pid, nullptr, WNOHANG);
}

// What `start` detaches must stay in the program's family so that the
// stand-in's tasklist can see it: the program adopts the orphans of its
// descendants and reaps the keepers among them.
void join_family()
{
    static std::once_flag once;
    std::call_once(once, [] {
        ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
        std::thread([] {
            for (;;) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                reap_finished_keepers();
            }
        }).detach();
    });
}

// Runs the stand-in with `arguments`; the child only execs. Returns its id, or -1.
pid_t start_interpreter(const std::vector<std::string>& arguments)
{
    join_family();

    const std::string program = interpreter_path();
    std::vector<const char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    argv.push_back(nullptr);

    const std::string family = std::string(kestrova_family_variable) + "=" + std::to_string(::getpid());
    const std::string prefix = std::string(kestrova_family_variable) + "=";
    std::vector<const char*> envp;
    for (char** variable = environ; *variable; ++variable)
        if (std::strncmp(*variable, prefix.c_str(), prefix.size()) != 0)
            envp.push_back(*variable);
    envp.push_back(family.c_str());
    envp.push_back(nullptr);

    const std::string failure = "Interpréteur de commandes introuvable : " + program + "\n";

    const pid_t child = ::fork();
    if (child == 0) {
        ::execve(program.c_str(), const_cast<char* const*>(argv.data()),
                 const_cast<char* const*>(envp.data()));
        ssize_t ignored = ::write(STDERR_FILENO, failure.data(), failure.size());
        (void)ignored;
        ::_exit(127);
    }
    return child;
}

} // namespace

int kestrova_system(const std::string& line)
{
    const pid_t child = start_interpreter({"kestrova-cmd", "/c", line});
    if (child < 0)
        return -1;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void kestrova_system_nowait(const std::string& line)
{
    // A keeper: it stays until everything the line started has ended, and
    // the program reaps it then.
    start_interpreter({"kestrova-cmd", "--keep", "/c", line});
}

void kestrova_sleep_once(unsigned milliseconds)
{
    timespec pause {static_cast<time_t>(milliseconds / 1000),
                    static_cast<long>(milliseconds % 1000) * 1000000L};
    ::nanosleep(&pause, nullptr);
}

#endif

std::string crt_quote_argument(const std::string& argument)
{
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos)
        return argument;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count only before a quote: there they are doubled.
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    quoted += '"';
    return quoted;
}
