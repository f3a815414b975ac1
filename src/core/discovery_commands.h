#pragma once

#include <string>
#include <vector>

// The command lines and answer handling of the discovery of hub servers,
// apart from running them so that their exact text can be tested.

// Ping scan of the /24 around host_address, without reverse look-ups: names
// are never used, and looking them up takes seconds per subnet.
// A wider subnet is scanned whole up to a /22: prefix gives its width.
std::string scan_command(const std::string& host_address, int prefix = 24);
// This computer's netmask as ifconfig shows it on the line that getIp reads.
std::string mask_command();
// The width of the scan for what mask_command printed ("netmask 255.255.254.0"):
// 24 for a /24, a narrower subnet or a mask that cannot be read; the subnet's
// own prefix from /23 to /22; 22 for anything wider (`narrowed` set then).
int scan_prefix(const std::string& mask_line, bool* narrowed);
// The address of every host in a scan listing, in its order, whether nmap
// shows the host under a name ("name (address)") or by its address alone.
std::vector<std::string> scanned_hosts(const std::string& listing);

// HEAD "/" on port 8000 of host, straight to the host whatever proxy the
// environment or a curl configuration file names, and bounded so that a host
// that accepts and never answers cannot hold the search.
std::string probe_command(const std::string& host);
// A hub server is a host whose answer has a line holding "200 OK".
bool is_hub_answer(const std::string& head_answer);

// GET "/_infos/kl/" of a server address ("host:8000"), direct and bounded
// like the probe.
std::string name_command(const std::string& server_address);
// Folds runs of blanks, tabs and line feeds into single blanks and trims the
// ends, as the shell's word splitting does, but expands nothing.
std::string fold_blanks(const std::string& text);
// True when the text holds a C0 or C1 control (C1 as UTF-8), which a terminal
// would obey rather than print: such an answer is no name.
bool has_terminal_controls(const std::string& text);
// The one rule for a network's name, kept by the new network form, the
// registry's launches and every reading of a hub's answer: "" when `name`,
// folded, may be a hub's name (not empty, 255 bytes at most, not beginning
// with "<", no C0 or C1 control), else the reason, in French.
std::string hub_name_refusal(const std::string& name);
