#pragma once

#include <string>
#include <sys/types.h>

// Starts "gnome-terminal -- bash -c command" in a child process and returns
// at once with the child's id, or -1 when no child could be made. When the
// terminal cannot be started the child writes exec_failure_message, if any, to
// the standard error stream. The child is reaped when it ends: no zombie stays.
// `mark`, a "NAME=value" entry, is added to the terminal's environment, which
// its shell and everything that shell starts inherit.
pid_t open_terminal(const std::string& command, const char* exec_failure_message = nullptr,
                    const std::string& mark = std::string());
