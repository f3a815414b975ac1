// Server control of the Windows build: the start command goes to the command
// interpreter, a Winsock connection tells whether the server answers, and the
// task list tells which process to end.
#include "network.h"

#include "hub_utilities.h"
#include "process_win.h"
#include "server_commands.h"
#include "server_control.h"
#include "winsock.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* pid_file_name = "server_pid.tmp";
// Each of the window's ten checks lasts this long at most, so that ten of
// them cover Django's start however slowly a refused connection fails.
constexpr auto check_length = std::chrono::milliseconds(500);
constexpr unsigned retry_pause_ms = 30;
// One look at the port: before a start, and while a stopped server lets go of it.
constexpr auto look_length = std::chrono::milliseconds(500);
constexpr auto ask_length = std::chrono::seconds(2);
constexpr auto release_length = std::chrono::seconds(5);
constexpr std::size_t answer_cap = 4096;

// What the listing writes: a process id and the blanks before its redirection.
bool is_listed_process_id(const std::string& line)
{
    const auto digits = line.find_first_not_of("0123456789");
    return digits > 0 && digits != std::string::npos
        && line.find_first_not_of(' ', digits) == std::string::npos;
}

long milliseconds_until(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return std::max<long>(0, static_cast<long>(left.count()));
}

// Waits until the socket can be written (or read), or fails, or the
// deadline passes. A connection that fails shows as an exception on Windows
// and as a pending error elsewhere.
bool ready_before(SOCKET socket, bool for_writing, Clock::time_point deadline)
{
    fd_set wanted;
    fd_set failed;
    FD_ZERO(&wanted);
    FD_ZERO(&failed);
    FD_SET(socket, &wanted);
    FD_SET(socket, &failed);
    const long left = milliseconds_until(deadline);
    timeval wait {};
    wait.tv_sec = static_cast<decltype(wait.tv_sec)>(left / 1000);
    wait.tv_usec = static_cast<decltype(wait.tv_usec)>((left % 1000) * 1000);
    const int ready = select(static_cast<int>(socket) + 1, for_writing ? nullptr : &wanted,
                             for_writing ? &wanted : nullptr, &failed, &wait);
    if (ready <= 0 || FD_ISSET(socket, &failed) || !FD_ISSET(socket, &wanted))
        return false;
    int error = 0;
    int length = sizeof error;
    return getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == 0
        && error == 0;
}

// One connection attempt to 127.0.0.1:8000: a non-blocking socket once the
// port accepted it, INVALID_SOCKET when it was refused or neither accepted
// nor refused before the deadline. Winsock must be started.
SOCKET connect_before(Clock::time_point deadline)
{
    const SOCKET socket_ = socket(AF_INET, SOCK_STREAM, 0);
    if (socket_ == INVALID_SOCKET)
        return INVALID_SOCKET;
    sockaddr_in server {};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = inet_addr("127.0.0.1");
    server.sin_port = htons(8000);
    u_long non_blocking = 1;
    if (ioctlsocket(socket_, FIONBIO, &non_blocking) == 0) {
        if (connect(socket_, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0)
            return socket_;
        if (WSAGetLastError() == WSAEWOULDBLOCK && ready_before(socket_, true, deadline))
            return socket_;
    }
    closesocket(socket_);
    return INVALID_SOCKET;
}

// Tries to connect until one try is accepted or the deadline passes.
bool accepts_before(Clock::time_point deadline)
{
    for (;;) {
        const SOCKET connected = connect_before(deadline);
        if (connected != INVALID_SOCKET) {
            closesocket(connected);
            return true;
        }
        const long left = milliseconds_until(deadline);
        if (left <= 0)
            return false;
        kestrova_sleep_once(static_cast<unsigned>(std::min<long>(left, retry_pause_ms)));
    }
}

class Winsock
{
public:
    Winsock() { started = WSAStartup(0x0202, &data) == 0; }
    ~Winsock()
    {
        if (started)
            WSACleanup();
    }
    Winsock(const Winsock&) = delete;
    Winsock& operator=(const Winsock&) = delete;
    bool started = false;

private:
    WSADATA data {};
};

} // namespace

int Network::launch(const std::string& output_folder)
{
    const std::string command = win_start_command(
        start_configuration, path, output_folder.empty() ? std::string() : output_folder + "/sortie");
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
    const auto deadline = Clock::now() + check_length;
    const Winsock winsock;
    if (!winsock.started)
        return 0;
    const bool connected = accepts_before(deadline);
    std::cout << (connected ? "0" : "1") << std::flush;
    // A check that failed lasts its whole length, however fast the refusals.
    if (!connected)
        kestrova_sleep_once(static_cast<unsigned>(milliseconds_until(deadline)));
    return connected ? 1 : 0;
}

bool server_port_accepts()
{
    const Winsock winsock;
    if (!winsock.started)
        return false;
    const SOCKET connected = connect_before(Clock::now() + look_length);
    if (connected == INVALID_SOCKET)
        return false;
    closesocket(connected);
    return true;
}

HubAnswer ask_hub_name()
{
    const auto deadline = Clock::now() + ask_length;
    const Winsock winsock;
    if (!winsock.started)
        return HubAnswer();
    const SOCKET server = connect_before(deadline);
    if (server == INVALID_SOCKET)
        return HubAnswer();
    const std::string request = hub_name_request("127.0.0.1:8000");
    std::size_t sent = 0;
    while (sent < request.size() && ready_before(server, true, deadline)) {
        const int wrote = send(server, request.data() + sent, static_cast<int>(request.size() - sent), 0);
        if (wrote <= 0)
            break;
        sent += static_cast<std::size_t>(wrote);
    }
    std::string raw;
    char piece[1024];
    while (sent == request.size() && raw.size() < answer_cap && !is_whole_answer(raw)
           && ready_before(server, false, deadline)) {
        const int read = recv(server, piece, static_cast<int>(std::min(sizeof piece, answer_cap - raw.size())), 0);
        if (read <= 0)
            break;
        raw.append(piece, static_cast<std::size_t>(read));
    }
    closesocket(server);
    return parse_hub_answer(raw);
}

bool server_answers_after_start(Network& network, const ServerOutput&)
{
    for (int check = 0; check < 10; ++check)
        if (network.is_launched() != 0)
            return true;
    return false;
}

ServerControl::~ServerControl()
{
    // Only a server this object started: any other python process is the user's.
    if (ours)
        stop_server();
}

std::string ServerControl::browser_address() const
{
    return "http://127.0.0.1:8000";
}

void ServerControl::wait_before_browser() const
{
    kestrova_sleep_once(2000);
}

bool ServerControl::stop()
{
    message.clear();
    stop_server();
    ours = false;
    const auto deadline = Clock::now() + release_length;
    while (server_port_accepts()) {
        if (Clock::now() >= deadline) {
            tell("Le port 8000 répond encore après l'arrêt du serveur : un serveur y tourne toujours.");
            return false;
        }
        kestrova_sleep_once(100);
    }
    return true;
}

std::string server_host()
{
    return "127.0.0.1";
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
