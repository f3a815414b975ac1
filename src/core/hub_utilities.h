#pragma once

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
std::vector<std::string> splitLines(const std::string& text);
// This computer's IPv4 address on the local network, or "".
std::string getIp();

// Quotes one argument for the POSIX shell; text made only of characters that
// the shell never interprets is returned unchanged.
std::string shell_quote(const std::string& argument);
