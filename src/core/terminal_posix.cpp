#include "terminal_posix.h"

#include <cerrno>
#include <cstring>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

pid_t open_terminal(const std::string& command, const char* exec_failure_message)
{
    // Everything the child needs exists before fork: it only execs, or
    // reports and leaves.
    const char* const argument = command.c_str();
    const std::size_t message_length =
        exec_failure_message ? std::strlen(exec_failure_message) : 0;

    const pid_t child = ::fork();
    if (child == 0) {
        ::execlp("gnome-terminal", "gnome-terminal", "--", "bash", "-c", argument,
                 static_cast<char*>(nullptr));
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
