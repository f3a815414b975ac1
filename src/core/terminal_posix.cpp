#include "terminal_posix.h"

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

pid_t open_terminal(const std::string& command, const char* exec_failure_message, const std::string& mark)
{
    // Everything the child needs exists before fork: it only execs, or
    // reports and leaves.
    const char* const argument = command.c_str();
    const std::size_t message_length =
        exec_failure_message ? std::strlen(exec_failure_message) : 0;
    const std::string mark_name = mark.substr(0, mark.find('=') + 1);
    std::vector<char*> environment;
    for (char** entry = environ; *entry; ++entry)
        if (mark.empty() || std::strncmp(*entry, mark_name.c_str(), mark_name.size()) != 0)
            environment.push_back(*entry);
    if (!mark.empty())
        environment.push_back(const_cast<char*>(mark.c_str()));
    environment.push_back(nullptr);
    const char* const arguments[] = {"gnome-terminal", "--", "bash", "-c", argument, nullptr};

    const pid_t child = ::fork();
    if (child == 0) {
        ::execvpe("gnome-terminal", const_cast<char* const*>(arguments), environment.data());
        if (message_length > 0) {
            ssize_t ignored = ::write(STDERR_FILENO, exec_failure_message, message_length);
            (void)ignored;
        }
        ::_exit(1);
    }
    if (child > 0) {
        // The terminal client ends quickly; a waiting thread collects it
        // without touching the children of popen and system.
        std::thread([child] {
            int status = 0;
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    }
    return child;
}
