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

namespace {

HANDLE kept_job()
{
    static const HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    return job;
}

std::wstring wide(const std::string& utf8)
{
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring text(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &text[0], length);
    return text;
}

} // namespace

int kestrova_system_kept(const std::string& line, bool wait)
{
    // As the C runtime does it: "cmd.exe /c line" for the interpreter that
    // COMSPEC names, standard handles inherited. Wide, so that a folder
    // outside the ANSI code page reaches cd intact. Suspended until it is in
    // the job, so that nothing it starts escapes.
    const wchar_t* comspec = ::_wgetenv(L"COMSPEC");
    const std::wstring interpreter = comspec && *comspec ? comspec : L"cmd.exe";
    std::wstring command = L"cmd.exe /c " + wide(line);
    STARTUPINFOW startup {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process {};
    if (!::CreateProcessW(interpreter.c_str(), &command[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                          nullptr, &startup, &process))
        return -1;
    // A program already in a job that forbids another keeps nothing: the
    // server runs all the same, and is then known by the owner table alone.
    if (const HANDLE job = kept_job())
        ::AssignProcessToJobObject(job, process.hProcess);
    ::ResumeThread(process.hThread);
    ::CloseHandle(process.hThread);
    DWORD status = 0;
    if (wait) {
        ::WaitForSingleObject(process.hProcess, INFINITE);
        ::GetExitCodeProcess(process.hProcess, &status);
    }
    ::CloseHandle(process.hProcess);
    return static_cast<int>(status);
}

std::vector<long> kestrova_kept_processes()
{
    std::vector<long> processes;
    const HANDLE job = kept_job();
    std::vector<char> buffer(sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) + 256 * sizeof(ULONG_PTR));
    auto* list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buffer.data());
    if (!job || !::QueryInformationJobObject(job, JobObjectBasicProcessIdList, list,
                                             static_cast<DWORD>(buffer.size()), nullptr))
        return processes;
    for (DWORD i = 0; i < list->NumberOfProcessIdsInList; ++i)
        processes.push_back(static_cast<long>(list->ProcessIdList[i]));
    return processes;
}

bool kestrova_end_kept_process(long pid)
{
    const HANDLE job = kept_job();
    const HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE,
                                         static_cast<DWORD>(pid));
    if (!process)
        return false;
    BOOL kept = FALSE;
    const bool ended = job && ::IsProcessInJob(process, job, &kept) && kept && ::TerminateProcess(process, 1)
        && ::WaitForSingleObject(process, 5000) == WAIT_OBJECT_0;
    ::CloseHandle(process);
    return ended;
}

#else

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <limits.h>
#include <mutex>
#include <set>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

namespace {

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

// The children of every thread of the program, adopted ones included.
std::set<pid_t> own_children()
{
    std::set<pid_t> children;
    DIR* tasks = ::opendir("/proc/self/task");
    if (!tasks)
        return children;
    while (const dirent* entry = ::readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream list(std::string("/proc/self/task/") + entry->d_name + "/children");
        for (long pid = 0; list >> pid;)
            children.insert(static_cast<pid_t>(pid));
    }
    ::closedir(tasks);
    return children;
}

// True once `child` is gone: reaped now, or not ours to reap.
bool reaped(pid_t child)
{
    const pid_t result = ::waitpid(child, nullptr, WNOHANG);
    return result == child || (result < 0 && errno != EINTR);
}

// One thread reaps every child handed over to it, as soon as it ends: it
// sleeps in poll on the children's process descriptors (a child without one
// is looked at every 50 ms). No thread per child, and a program that cannot
// have a thread goes on: its children then wait for the next hand-over, which
// looks at them too. The state is never freed, so that the thread never
// outlives what it uses at exit.
struct Reaper
{
    std::mutex mutex;
    std::vector<pid_t> pending;
    int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    bool running = false;

    void run()
    {
        std::vector<pollfd> watched; // the wake descriptor first, then one per child
        std::vector<pid_t> children;
        watched.push_back({wake, POLLIN, 0});
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                for (pid_t child : pending) {
                    children.push_back(child);
                    const long descriptor = ::syscall(SYS_pidfd_open, child, 0);
                    watched.push_back({static_cast<int>(descriptor), POLLIN, 0});
                }
                pending.clear();
            }
            bool blind = wake < 0;
            for (std::size_t i = children.size(); i-- > 0;) {
                if (reaped(children[i])) {
                    if (watched[i + 1].fd >= 0)
                        ::close(watched[i + 1].fd);
                    children.erase(children.begin() + static_cast<long>(i));
                    watched.erase(watched.begin() + static_cast<long>(i) + 1);
                } else {
                    blind = blind || watched[i + 1].fd < 0;
                }
            }
            ::poll(watched.data(), watched.size(), blind ? 50 : -1);
            std::uint64_t count = 0;
            ssize_t ignored = ::read(wake, &count, sizeof count);
            (void)ignored;
        }
    }
};

Reaper& reaper()
{
    static Reaper* const instance = new Reaper;
    return *instance;
}

void reap_when_ended(const std::set<pid_t>& children) noexcept
{
    Reaper& state = reaper();
    try {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.pending.insert(state.pending.end(), children.begin(), children.end());
        if (!state.running) {
            state.pending.erase(std::remove_if(state.pending.begin(), state.pending.end(), reaped),
                                state.pending.end());
            if (!state.pending.empty()) {
                std::thread([&state] { state.run(); }).detach();
                state.running = true;
            }
        }
    } catch (...) {
        // No thread or no memory to be had: what is pending waits for the next hand-over.
    }
    const std::uint64_t one = 1;
    ssize_t ignored = ::write(state.wake, &one, sizeof one);
    (void)ignored;
}

// What `start` detaches must stay in the program's family for the stand-in's
// tasklist to see it: while an interpreter runs, the program adopts the
// orphans of its tree. Only then, so that the orphans of everything else it
// starts (the browser's opener among them) go on to the system as usual.
class Adoption
{
public:
    Adoption()
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (running++ == 0) {
            // A program that was made a subreaper before it started stays one.
            int already = 0;
            ::prctl(PR_GET_CHILD_SUBREAPER, &already, 0, 0, 0);
            adopting = !already && ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
        }
        before = own_children();
    }
    // Each child adopted meanwhile is reaped when it ends.
    ~Adoption()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (--running == 0 && adopting)
                ::prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
        }
        std::set<pid_t> adopted;
        try {
            for (pid_t child : own_children())
                if (before.count(child) == 0)
                    adopted.insert(child);
        } catch (...) {
            // Without memory to list them they stay; a destructor must not throw.
        }
        reap_when_ended(adopted);
    }
    Adoption(const Adoption&) = delete;
    Adoption& operator=(const Adoption&) = delete;

private:
    static inline std::mutex mutex;
    static inline int running = 0;
    static inline bool adopting = false;
    std::set<pid_t> before;
};

// Runs the stand-in with `arguments`; the child only execs. Returns its id, or -1.
pid_t start_interpreter(const std::vector<std::string>& arguments)
{
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
    const Adoption adoption;
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
    // A keeper: it holds everything the line starts until all of it has
    // ended, and the program reaps it then.
    const pid_t keeper = start_interpreter({"kestrova-cmd", "--keep", "/c", line});
    if (keeper > 0)
        reap_when_ended({keeper});
}

int kestrova_system_kept(const std::string& line, bool wait)
{
    if (wait)
        return kestrova_system(line);
    kestrova_system_nowait(line);
    return 0;
}

// The stand-in's family tracking serves the stop here; no job to list.
std::vector<long> kestrova_kept_processes()
{
    return {};
}

bool kestrova_end_kept_process(long)
{
    return false;
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
