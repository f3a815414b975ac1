#pragma once

#include <string>
#include <vector>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

// The Windows C runtime's process calls that the Windows build relies on. On
// a Windows host they are the real ones. Elsewhere the command lines reach
// kestrova-cmd, the project's stand-in for the Windows command interpreter,
// which gives them the meaning cmd.exe gives them.

// system(line): the interpreter runs the line; returns its exit status, or -1
// when no interpreter could be started.
int kestrova_system(const std::string& line);

// The same command line, handed to the interpreter without waiting for it.
void kestrova_system_nowait(const std::string& line);

// A server's start: the line reaches the interpreter as kestrova_system (when
// `wait`) or kestrova_system_nowait hands it. On Windows the interpreter and
// everything it starts stay in a job of this program's, so that the program
// knows its own server by what the system says, not by what a peer answers.
int kestrova_system_kept(const std::string& line, bool wait);
// The processes of that job that still run (none where there is no job).
std::vector<long> kestrova_kept_processes();
// Ends a process through a handle that shows it still belongs to the job;
// false when it does not, or would not end within a few seconds.
bool kestrova_end_kept_process(long pid);

// One uninterrupted pause: a signal cuts it short, as on Windows nothing would.
void kestrova_sleep_once(unsigned milliseconds);

// _execlp: replaces the running program, looked up on the search path.
// Returns only when that failed.
template <typename... Arguments>
int kestrova_execlp(const char* file, const char* arg0, Arguments... arguments)
{
#ifdef _WIN32
    return static_cast<int>(::_execlp(file, arg0, arguments..., static_cast<const char*>(nullptr)));
#else
    return ::execlp(file, arg0, arguments..., static_cast<char*>(nullptr));
#endif
}

// One argument in the form the Windows C runtime splits a command line back
// into arguments; _execlp joins its arguments with blanks and quotes nothing.
std::string crt_quote_argument(const std::string& argument);

#ifndef _WIN32
// The environment variable by which every process that the stand-in starts
// knows the program it belongs to (its value is the program's process id).
inline constexpr const char* kestrova_family_variable = "KESTROVA_CMD_FAMILY";
#endif
