// Server control of the Windows build: the start command goes to the command
// interpreter, a Winsock connection tells whether the server answers, and the
// task list tells which process to end.
#include "network.h"

#include "hub_utilities.h"
#include "process_win.h"
#include "server_commands.h"
#include "winsock.h"

#include <fstream>
#include <iostream>

namespace {

constexpr const char* pid_file_name = "server_pid.tmp";
// A refused connection on loopback fails at once; without a pause the window's
// ten checks would be over long before Django is up.
constexpr unsigned failed_probe_pause_ms = 500;

// What the listing writes: a process id and the blanks before its redirection.
bool is_listed_process_id(const std::string& line)
{
    const auto digits = line.find_first_not_of("0123456789");
    return digits > 0 && digits != std::string::npos
        && line.find_first_not_of(' ', digits) == std::string::npos;
}

} // namespace

int Network::launch()
{
    const std::string command = win_start_command(start_configuration, path);
    if (command.empty()) {
        std::cerr << "Chemin refusé : « " << path
                  << " » est vide ou contient un caractère que l'interpréteur de commandes "
                     "ne peut pas lire littéralement (\", %, !, fin de ligne)."
                  << std::endl;
        return 0;
    }
    // Configuration A keeps the server in the interpreter's foreground: waiting
    // for it would freeze the window until the server ends.
    if (start_configuration == 'A')
        kestrova_system_nowait(command);
    else
        kestrova_system(command);
    return 0;
}

int Network::is_launched()
{
    WSADATA data;
    if (WSAStartup(0x0202, &data) != 0)
        return 0;
    const SOCKET probe = socket(AF_INET, SOCK_STREAM, 0);
    if (probe == INVALID_SOCKET) {
        WSACleanup();
        return 0;
    }
    sockaddr_in server {};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = inet_addr("127.0.0.1");
    server.sin_port = htons(8000);
    const bool connected =
        connect(probe, reinterpret_cast<const sockaddr*>(&server), sizeof server) != SOCKET_ERROR;
    std::cout << (connected ? "0" : "1") << std::flush;
    closesocket(probe);
    WSACleanup();
    if (!connected)
        kestrova_sleep_once(failed_probe_pause_ms);
    return connected ? 1 : 0;
}

void stop_server()
{
    // An identifier left by an earlier stop must never be used again: the
    // listing writes the file only when it finds a python process.
    {
        std::ofstream emptied(pid_file_name, std::ios::trunc);
        if (!emptied) {
            std::cerr << "Impossible de vider " << pid_file_name << " : aucun serveur n'est arrêté."
                      << std::endl;
            return;
        }
    }
    kestrova_system(win_listing_command());

    std::ifstream file(pid_file_name);
    if (!file.is_open()) {
        std::cerr << "Impossible d'ouvrir le fichier JSON." << std::endl;
        return;
    }
    std::string line;
    std::string last;
    bool read_one = false;
    while (std::getline(file, line)) {
        last = line;
        read_one = true;
    }
    if (!read_one)
        return;
    std::cout << last << std::endl;
    if (!is_listed_process_id(last)) {
        std::cerr << "Ligne inattendue dans " << pid_file_name << " : aucun processus n'est arrêté."
                  << std::endl;
        return;
    }
    kestrova_system(win_kill_command(last));
}
