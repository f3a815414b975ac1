#include "server_output.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

ServerOutput::ServerOutput()
{
    std::error_code error;
    const fs::path base = fs::temp_directory_path(error);
    if (error)
        return;
    std::random_device device;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(device()));
        const fs::path folder = base / (std::string("kestrova-serveur-") + suffix);
        if (fs::create_directory(folder, error)) {
            // Only this user reads what the server says.
            fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace, error);
            where = folder.string();
            return;
        }
        if (error)
            return;
    }
}

ServerOutput::~ServerOutput()
{
    if (where.empty())
        return;
    std::error_code error;
    fs::remove_all(where, error);
}

std::string ServerOutput::output_file() const
{
    return where + "/sortie";
}

std::string ServerOutput::end_file() const
{
    return where + "/fin";
}

bool ServerOutput::ended() const
{
    std::error_code error;
    return !where.empty() && fs::exists(end_file(), error);
}

std::string ServerOutput::last_lines() const
{
    return where.empty() ? std::string() : last_lines_of_file(output_file());
}

namespace {

// One line without the bytes that would drive a terminal: escape sequences
// whole, other C0 and C1 controls alone; a tab becomes a blank.
std::string without_controls(const std::string& line)
{
    std::string kept;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        if (c == 0x1b) {
            if (i + 1 < line.size() && line[i + 1] == '[') {
                i += 2;
                while (i < line.size() && !(line[i] >= 0x40 && line[i] <= 0x7e))
                    ++i;
            }
            continue;
        }
        if (c == '\t')
            kept += ' ';
        else if (c == 0xc2 && i + 1 < line.size() && static_cast<unsigned char>(line[i + 1]) >= 0x80
                 && static_cast<unsigned char>(line[i + 1]) <= 0x9f)
            ++i;
        else if (c >= 0x20 && c != 0x7f)
            kept += line[i];
    }
    return kept;
}

} // namespace

std::string last_lines_of(const std::string& tail, bool cut_at_start, std::size_t count)
{
    std::vector<std::string> lines;
    std::istringstream stream(tail);
    std::string line;
    bool first = true;
    while (std::getline(stream, line)) {
        // A carriage return starts the line again, as on a terminal.
        const std::string::size_type back = line.find_last_of('\r', line.size() > 1 ? line.size() - 2 : 0);
        if (back != std::string::npos && back + 1 < line.size())
            line.erase(0, back + 1);
        const bool partial = first && cut_at_start;
        first = false;
        line = without_controls(line);
        if (!partial && line.find_first_not_of(' ') != std::string::npos)
            lines.push_back(line);
    }
    std::string kept;
    for (std::size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i)
        kept += lines[i] + "\n";
    return kept;
}

std::string last_lines_of_file(const std::string& file_name, std::size_t max_bytes)
{
    std::ifstream file(file_name, std::ios::binary | std::ios::ate);
    if (!file)
        return std::string();
    const std::streamoff size = file.tellg();
    const std::streamoff start = size > static_cast<std::streamoff>(max_bytes) ? size - static_cast<std::streamoff>(max_bytes) : 0;
    file.seekg(start);
    std::string tail(static_cast<std::size_t>(size - start), '\0');
    file.read(&tail[0], static_cast<std::streamsize>(tail.size()));
    tail.resize(static_cast<std::size_t>(file.gcount()));
    return last_lines_of(tail, start > 0);
}
