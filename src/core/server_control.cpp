// The launch decisions shared by both builds: what a look before the start
// found, and whose server answers after it.
#include "server_control.h"

#include "discovery_commands.h"
#include "network.h"
#include "port_owner.h"
#include "server_output.h"

#include <cctype>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <sys/stat.h>

namespace {

const std::string header_end = "\r\n\r\n";
constexpr std::size_t longest_hub_name = 255;

bool is_regular_file(const std::string& file_name)
{
    struct stat info {};
    return ::stat(file_name.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The value of a header, looked up without regard to case; "" when absent.
std::string header_value(const std::string& headers, const std::string& name)
{
    std::string::size_type line = headers.find("\r\n");
    while (line != std::string::npos && line < headers.size()) {
        line += 2;
        const std::string::size_type end = headers.find("\r\n", line);
        const std::string text = headers.substr(line, end == std::string::npos ? std::string::npos : end - line);
        const std::string::size_type colon = text.find(':');
        if (colon == name.size()) {
            bool same = true;
            for (std::size_t i = 0; i < colon && same; ++i)
                same = std::tolower(static_cast<unsigned char>(text[i])) == std::tolower(static_cast<unsigned char>(name[i]));
            if (same)
                return fold_blanks(text.substr(colon + 1));
        }
        line = end;
    }
    return std::string();
}

} // namespace

std::string hub_name_request(const std::string& host_and_port)
{
    return "GET /_infos/kl/ HTTP/1.0\r\nHost: " + host_and_port + "\r\nConnection: close\r\n\r\n";
}

bool is_whole_answer(const std::string& raw)
{
    const std::string::size_type end = raw.find(header_end);
    if (end == std::string::npos)
        return false;
    const std::string length = header_value(raw.substr(0, end), "Content-Length");
    if (length.empty() || length.find_first_not_of("0123456789") != std::string::npos || length.size() > 9)
        return false;
    return raw.size() - end - header_end.size() >= std::stoul(length);
}

HubAnswer parse_hub_answer(const std::string& raw)
{
    HubAnswer answer;
    if (raw.compare(0, 5, "HTTP/") != 0)
        return answer;
    const std::string::size_type blank = raw.find(' ');
    const std::string::size_type line_end = raw.find("\r\n");
    if (blank == std::string::npos || line_end == std::string::npos || blank + 4 > line_end)
        return answer;
    const std::string code = raw.substr(blank + 1, 3);
    if (code.find_first_not_of("0123456789") != std::string::npos)
        return answer;
    answer.http = true;
    answer.status = std::atoi(code.c_str());
    const std::string::size_type end = raw.find(header_end);
    if (end != std::string::npos)
        answer.body = raw.substr(end + header_end.size());
    return answer;
}

std::string hub_name_of(const HubAnswer& answer)
{
    if (!answer.http || answer.status != 200)
        return std::string();
    // A hub says its name as a short line of plain text. A page served for
    // every address, a stream, or bytes that would drive the keeper's terminal
    // are no name: the server is then only "another program".
    const std::string name = fold_blanks(answer.body);
    return hub_name_refusal(name).empty() ? name : std::string();
}

std::string hub_name_refusal(const std::string& name)
{
    const std::string folded = fold_blanks(name);
    if (folded.empty())
        return "Le nom du réseau est vide.";
    if (folded.size() > longest_hub_name)
        return "Le nom du réseau dépasse " + std::to_string(longest_hub_name) + " octets.";
    if (folded.front() == '<')
        return "Le nom du réseau ne peut pas commencer par « < », qui le ferait prendre pour une page.";
    if (has_terminal_controls(folded))
        return "Le nom du réseau ne peut pas contenir de caractère de contrôle.";
    return std::string();
}

bool has_terminal_controls(const std::string& text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c < 0x20 || c == 0x7f || (c == 0xc2 && next >= 0x80 && next <= 0x9f))
            return true;
    }
    return false;
}

bool is_name_of(const Network& network, const std::string& name)
{
    return !name.empty() && (name == fold_blanks(network.name) || is_package_of(network, name));
}

bool is_package_of(const Network& network, const std::string& name)
{
    // A package name is a Python identifier: it never climbs out of the
    // project folder nor names a drive.
    if (name.empty() || name.find_first_of(std::string("/\\:.\0", 5)) != std::string::npos)
        return false;
    return is_regular_file(network.path + "/" + name + "/settings.py");
}

namespace {

// Whether the listener on the server's port runs in the network's folder, as
// the system says; `seen` tells whether this host lets us look at all.
bool served_from(const Network& network, bool& seen)
{
    seen = can_see_port_owners();
    if (!seen)
        return false;
    const std::string folder = resolved_folder(network.path);
    const long owner = listening_process(server_host(), 8000);
    if (owner < 0)
        return !folder.empty() && is_listened(server_host(), 8000) && started_server_runs_in(folder);
    return same_folder(process_folder(owner), folder);
}

// The holder of the server's port, as the system tells it: its program and
// process number, and for a hub the folder it serves; nothing the listener
// says of itself but `holder`, the name a hub answered ("" for none).
std::string holder_text(const std::string& holder)
{
    const long pid = can_see_port_owners() ? listening_process(server_host(), 8000) : -1;
    std::string program = pid > 0 ? program_of(pid) : std::string();
    program = program.substr(program.find_last_of("/\\") + 1);
    // A program replaced on disk since it started (an upgrade) is still itself.
    const std::string replaced = " (deleted)";
    if (program.size() > replaced.size() && program.compare(program.size() - replaced.size(), replaced.size(), replaced) == 0)
        program.resize(program.size() - replaced.size());
    // Names that would drive the keeper's terminal are not repeated.
    if (has_terminal_controls(program))
        program.clear();
    const std::string number = pid > 0 ? "processus " + std::to_string(pid) : std::string();
    if (holder.empty()) {
        const std::string who = !program.empty() ? "le programme « " + program + " » (" + number + ")"
                                : pid > 0        ? "un autre programme (" + number + ")"
                                                 : "un autre programme";
        return who + ", qui n'est pas un réseau Kestrova";
    }
    std::string seen = program.empty() ? number : "programme « " + program + " », " + number;
    const std::string folder = process_folder(pid);
    if (!folder.empty() && !has_terminal_controls(folder))
        seen += ", dossier « " + folder + " »";
    return "le serveur du réseau « " + holder + " »" + (seen.empty() ? "" : " (" + seen + ")");
}

} // namespace

void ServerControl::tell(const std::string& text)
{
    message = text;
    std::cerr << text << std::endl;
}

LaunchOutcome ServerControl::launch(Network& network)
{
    message.clear();
    lines.clear();
    // Its server could never say this name: it would pass for another program.
    const std::string refusal = hub_name_refusal(network.name);
    if (!refusal.empty()) {
        tell("Ce réseau n'est pas démarré : " + refusal);
        return LaunchOutcome::failed;
    }
    bool seen = false;
    if (server_port_accepts()) {
        const std::string holder = hub_name_of(ask_hub_name());
        const bool here = served_from(network, seen);
        // A copy of the project elsewhere answers the same name: only the
        // folder the listener runs in tells them apart.
        if (is_name_of(network, holder) && (here || !seen)) {
            served_name = network.name;
            served_folder = network.path;
            return LaunchOutcome::already_running;
        }
        tell("Le port 8000 est déjà pris par " + holder_text(holder) + " : « " + network.name
             + " » n'est pas démarré. Arrêtez ce " + (holder.empty() ? "programme" : "serveur")
             + ", puis choisissez de nouveau le réseau.");
        return LaunchOutcome::port_taken;
    }
    const ServerOutput output;
    network.launch(output.folder());
    if (!server_answers_after_start(network, output)) {
        lines = output.last_lines();
        tell("Le serveur du réseau « " + network.name + " » ne répond pas sur le port 8000 : le démarrage a échoué.");
        if (!lines.empty())
            std::cerr << lines << std::flush;
        return LaunchOutcome::failed;
    }
    // A project that does not say its name is taken on its folder (or, where
    // the folder cannot be seen, on the port alone: it was free before).
    const std::string holder = hub_name_of(ask_hub_name());
    const bool here = served_from(network, seen);
    if ((!holder.empty() && !is_name_of(network, holder)) || (seen && !here)) {
        tell("Le port 8000 est pris par " + holder_text(holder) + ", et non par celui de « " + network.name + " » : le démarrage a échoué.");
        return LaunchOutcome::failed;
    }
    served_name = network.name;
    served_folder = network.path;
    ours = true;
    return LaunchOutcome::started;
}
