#pragma once

#include <cstddef>
#include <string>
#include <vector>

class Network;

// The registry file, read from the working directory.
inline constexpr const char* registry_file_name = "networks.data";

// Appends one record per valid line of networks.data; lines outside the
// format are skipped with a message naming their line number.
void read_hub_networks(std::vector<Network*>* networks);
// Parses one registry line (without its line feed). Returns a new record owned
// by the caller, or nullptr when the line has fewer than two '|'-terminated fields.
Network* split_hub_networks_file(std::string line);

// Runs a command line through the shell and returns what it printed, less one
// final line feed. Throws std::runtime_error when no pipe can be opened.
std::string exec_cmd(std::string command);
// The same, keeping at most `limit` bytes of the output: the pipe is closed
// then, whatever the command still has to print.
std::string exec_cmd(std::string command, std::size_t limit);
std::vector<std::string> splitLines(const std::string& text);
// This computer's IPv4 address on the local network, or "".
std::string getIp();

// Hub servers on this computer's /24 subnet (implemented in hub_discovery.cpp).
std::vector<std::string> fetch_networks();
std::vector<std::string> find_servers();
std::vector<std::string> find_servers_names(std::vector<std::string> addresses);

// Makes the project `path` with django-admin and copies the template files of
// the working directory into its package `name` (implemented in
// hub_provisioning.cpp). 0 when every step succeeded, else 1.
int create_new_network(std::string name, std::string path);

#ifdef KESTROVA_WINDOWS_BUILD
// Ends the last python process of the task list (implemented with the
// Windows server control).
void stop_server();
#endif

// Quotes one argument for the POSIX shell; text made only of characters that
// the shell never interprets is returned unchanged.
std::string shell_quote(const std::string& argument);

// Quotes one argument for the Windows command interpreter: the argument in
// double quotes. Returns "" when it holds a character that no quoting makes
// literal there (a double quote, '%', a carriage return or a line feed).
std::string cmd_quote(const std::string& argument);
