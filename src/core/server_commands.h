#pragma once

#include <string>

// The command lines that start a hub's development server, composed here so
// that their exact text can be tested apart from running them.

// Terminal command of Network::launch: the server on listen_address, then an
// interactive shell that keeps the terminal open. With `output_folder` (a
// ServerOutput's), the terminal still shows the server's output as it comes,
// and tee copies it, unbuffered, to the folder's output file; the end file is
// made once the server has ended.
std::string launch_command(const std::string& path, const std::string& listen_address,
                           const std::string& output_folder = std::string());
// Terminal command of DjangoManager::launch: the server on its default address.
std::string django_manager_command(const std::string& path);

// The argument of "cd" for a project folder: quoted for the shell, and kept
// from reading as an option when it begins with '-'.
std::string cd_argument(const std::string& path);

// Windows build: the command lines handed to the command interpreter.

#ifdef KESTROVA_WINDOWS_BUILD
// The start configuration this Windows build is made with.
#if defined(KESTROVA_START_CONFIGURATION_A)
constexpr char start_configuration = 'A';
#elif defined(KESTROVA_START_CONFIGURATION_B)
constexpr char start_configuration = 'B';
#elif defined(KESTROVA_START_CONFIGURATION_C)
constexpr char start_configuration = 'C';
#else
#error "The Windows build needs its start configuration: KESTROVA_START_CONFIGURATION_A, _B or _C"
#endif
#endif

// Start command of configuration 'A', 'B' or 'C' for a project folder. The
// path is quoted so that the interpreter that runs "cd" reads it literally:
// in B and C the outer interpreter sees it outside its quotes, so its special
// characters also carry a caret. "" when the path is empty or holds a
// character that no quoting makes literal (", %, !, a line end, a NUL byte),
// or for an unknown configuration. With `output_file` the server's two
// streams go to that file, read by the launch when the start fails; ""
// when no quoting makes that name literal either.
std::string win_start_command(char configuration, const std::string& path,
                              const std::string& output_file = std::string());
// Writes the id of the last python process of the task list to server_pid.tmp.
std::string win_listing_command();
// Ends the process of a line of server_pid.tmp, the line as it was read.
std::string win_kill_command(const std::string& listed_line);
