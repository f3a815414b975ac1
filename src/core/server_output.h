#pragma once

#include <string>

// A folder of this program's own where the hub's server writes a copy of its
// output while the terminal or console shows it: the launch reads the last
// lines when the start fails, so that the window can tell the server's own
// reason. The folder goes with this object.
class ServerOutput
{
public:
    // Makes the folder in the system's temporary folder; folder() is "" when
    // that failed (the launch then goes on without the copy).
    ServerOutput();
    ~ServerOutput();
    ServerOutput(const ServerOutput&) = delete;
    ServerOutput& operator=(const ServerOutput&) = delete;

    const std::string& folder() const { return where; }
    // The file the server's two output streams are copied to.
    std::string output_file() const;
    // The file that the start command makes once the server has ended.
    std::string end_file() const;
    // True once the server's command has ended.
    bool ended() const;
    // The output's last lines, for a keeper to read (see last_lines).
    std::string last_lines() const;

private:
    std::string where;
};

// The last `count` lines of a tail of output read from a file, at most
// `max_bytes` of it, whole lines only, with the terminal's controls (escape
// sequences, carriage returns, other control bytes) taken out and blank lines
// dropped; "" when nothing is left.
std::string last_lines_of(const std::string& tail, bool cut_at_start, std::size_t count = 20);
// Reads at most `max_bytes` from the end of `file_name` and keeps its last lines.
std::string last_lines_of_file(const std::string& file_name, std::size_t max_bytes = 4096);
