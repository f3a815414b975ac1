#include "hub_utilities.h"

#include "discovery_commands.h"
#include "network.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <sys/stat.h>

namespace {

bool is_regular_file(const char* file_name)
{
    struct stat info {};
    return ::stat(file_name, &info) == 0 && S_ISREG(info.st_mode);
}

} // namespace

void read_hub_networks(std::vector<Network*>* networks)
{
    // Anything but a regular file, after links, is no registry: a folder reads
    // as nothing, a named pipe blocks the opening for good and a device such
    // as /dev/zero never ends.
    std::ifstream file;
    if (is_regular_file(registry_file_name))
        file.open(registry_file_name);
    if (!file.is_open()) {
        std::cerr << "Impossible d'ouvrir le fichier JSON." << std::endl;
        return;
    }

    std::string line;
    for (long number = 1; std::getline(file, line); ++number) {
        std::cout << line << std::endl;
        Network* network = split_hub_networks_file(line);
        if (!network) {
            std::cerr << "Ligne " << number << " de " << registry_file_name
                      << " ignorée : il faut un nom et un chemin, chacun suivi de « | »."
                      << std::endl;
            continue;
        }
        networks->push_back(network);
    }
}

Network* split_hub_networks_file(std::string line)
{
    std::vector<std::string> fields;
    std::string::size_type start = 0;
    for (std::string::size_type i = 0; i < line.size() && fields.size() < 2; ++i) {
        if (line[i] != '|')
            continue;
        fields.push_back(line.substr(start, i - start));
        start = i + 1;
    }
    if (fields.size() < 2)
        return nullptr;
#ifdef KESTROVA_WINDOWS_BUILD
    return new Network(fields[0], fields[1]);
#else
    return new Network(fields[0], fields[1], std::string());
#endif
}

namespace {

// What reading with fgets into a 128-byte buffer keeps of the output: each
// chunk (a line, or 127 bytes of one) up to its first zero byte.
std::string chunks_up_to_zero_bytes(const std::string& output)
{
    const std::string::size_type chunk = 127;
    std::string kept;
    std::string::size_type start = 0;
    while (start < output.size()) {
        const std::string::size_type line_end = output.find('\n', start);
        const std::string::size_type end =
            std::min({output.size(), start + chunk, line_end == std::string::npos ? line_end : line_end + 1});
        const std::string::size_type zero = output.find('\0', start);
        kept.append(output, start, std::min(end, zero) - start);
        start = end;
    }
    return kept;
}

} // namespace

std::string exec_cmd(std::string command)
{
    return exec_cmd(std::move(command), std::string::npos);
}

std::string exec_cmd(std::string command, std::size_t limit)
{
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        std::cout << "Oh Oh";
        throw std::runtime_error("Erreur lors de l'exécution de la commande.");
    }
    char buffer[4096];
    while (output.size() < limit) {
        const std::size_t wanted = std::min(sizeof buffer, limit - output.size());
        const std::size_t got = std::fread(buffer, 1, wanted, pipe);
        output.append(buffer, got);
        if (got < wanted)
            break;
    }
    // A command that has more to print fails at its next write into the
    // closed pipe: pclose does not wait for a rest that may never end.
    ::pclose(pipe);
    std::string result = chunks_up_to_zero_bytes(output);
    if (!result.empty() && result.back() == '\n')
        result.pop_back();
    return result;
}

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line))
        lines.push_back(line);
    return lines;
}

std::string getIp()
{
    return exec_cmd("ifconfig | grep 'inet ' | grep -v '127.0.0.1' | awk '{print $2}' | tail -n 1");
}

std::string shell_quote(const std::string& argument)
{
    static const char safe[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789@%+=:,./_-";
    if (!argument.empty() && argument.find_first_not_of(safe) == std::string::npos)
        return argument;
    std::string quoted = "'";
    for (char c : argument) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

std::string cmd_quote(const std::string& argument)
{
    if (argument.find_first_of("\"%\r\n") != std::string::npos)
        return std::string();
    return '"' + argument + '"';
}

// Discovery's folding of a hub's name, which the launch shares in both builds.
std::string fold_blanks(const std::string& text)
{
    static const std::string blanks = " \t\n";
    std::string folded;
    std::string::size_type start = text.find_first_not_of(blanks);
    while (start != std::string::npos) {
        const std::string::size_type end = text.find_first_of(blanks, start);
        if (!folded.empty())
            folded += ' ';
        folded += text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = text.find_first_not_of(blanks, end);
    }
    return folded;
}
