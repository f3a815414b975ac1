// Server control of the Windows build: the start command goes to the command
// interpreter, a Winsock connection tells whether the server answers, and the
// task list tells which process to end.
#include "network.h"

#include "hub_utilities.h"
#include "port_owner.h"
#include "process_win.h"
#include "server_commands.h"
#include "server_control.h"
#include "winsock.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <mutex>
#include <vector>

#ifdef _WIN32
#include <thread>
#endif

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
    kestrova_system_kept(command, start_configuration != 'A');
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

bool started_server_runs_in(const std::string& folder)
{
    const std::vector<long> kept = kestrova_kept_processes();
    return std::any_of(kept.begin(), kept.end(), [&](long pid) { return same_folder(process_folder(pid), folder); });
}

namespace {

// One stop at a time: the window's, the destructor's, the session's end.
std::mutex stopping;

#ifdef _WIN32

// The control whose server a session's end stops, as closing the window does.
std::mutex watched_mutex;
ServerControl* watched = nullptr;

void stop_at_session_end()
{
    const std::lock_guard<std::mutex> lock(watched_mutex);
    if (watched && watched->owns_running_server())
        watched->stop();
}

// A console closed, a logout or a shutdown seen by a console program; then
// the default, which ends the program.
BOOL WINAPI on_console_event(DWORD)
{
    stop_at_session_end();
    return FALSE;
}

// A program with windows learns of a logout or shutdown by WM_ENDSESSION, and
// is ended as soon as every window has answered it: the stop happens there.
LRESULT CALLBACK on_session_message(HWND window, UINT message, WPARAM ending, LPARAM detail)
{
    if (message == WM_QUERYENDSESSION)
        return TRUE;
    if (message == WM_ENDSESSION) {
        if (ending)
            stop_at_session_end();
        return 0;
    }
    return DefWindowProcW(window, message, ending, detail);
}

// A hidden top-level window on a thread of its own, so that the message is
// answered even while the program's own windows are busy.
void watch_session_end()
{
    static std::once_flag once;
    std::call_once(once, [] {
        SetConsoleCtrlHandler(on_console_event, TRUE);
        std::thread([] {
            WNDCLASSW kind {};
            kind.lpfnWndProc = on_session_message;
            kind.hInstance = GetModuleHandleW(nullptr);
            kind.lpszClassName = L"KestrovaSessionEnd";
            RegisterClassW(&kind);
            if (!CreateWindowExW(0, kind.lpszClassName, L"Kestrova", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                 kind.hInstance, nullptr))
                return;
            MSG message;
            while (GetMessageW(&message, nullptr, 0, 0) > 0)
                DispatchMessageW(&message);
        }).detach();
    });
}

// A process held by its handle, so that its id names it until it is ended.
class Held
{
public:
    explicit Held(long pid)
        : pid(pid), process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                        static_cast<DWORD>(pid)))
    {
    }
    ~Held()
    {
        if (process)
            CloseHandle(process);
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    bool end() const { return process && TerminateProcess(process, 1) && WaitForSingleObject(process, 5000) == WAIT_OBJECT_0; }

    const long pid;
    const HANDLE process;
};

// Ends the server of the network `name` in `folder`: the listener that the
// system names, when its folder and its answer both prove it, with its
// reloader; where no owner is named, the processes this program started
// there. False when nothing proven was found.
bool end_proven_server(const std::string& name, const std::string& served)
{
    const std::string folder = resolved_folder(served);
    if (folder.empty())
        return false;
    const long owner = listening_process(server_host(), 8000);
    if (owner < 0) {
        bool ended = false;
        for (const long pid : kestrova_kept_processes())
            if (same_folder(process_folder(pid), folder) && kestrova_end_kept_process(pid)) {
                std::cout << pid << "  " << std::endl;
                ended = true;
            }
        return ended;
    }
    const Held server(owner);
    Network network(name, served);
    if (!server.process || !same_folder(process_folder(owner), folder)
        || !is_name_of(network, hub_name_of(ask_hub_name())))
        return false;
    const Held reloader(parent_of(owner));
    const bool with_reloader = reloader.process && same_folder(process_folder(reloader.pid), folder)
        && program_of(reloader.pid) == program_of(owner);
    std::cout << owner << "  " << std::endl;
    const bool ended = server.end();
    if (with_reloader)
        reloader.end();
    return ended;
}

#endif

} // namespace

ServerControl::ServerControl()
{
#ifdef _WIN32
    watch_session_end();
    const std::lock_guard<std::mutex> lock(watched_mutex);
    watched = this;
#endif
}

ServerControl::~ServerControl()
{
#ifdef _WIN32
    const std::lock_guard<std::mutex> lock(watched_mutex);
    if (watched == this)
        watched = nullptr;
    if (ours)
        stop();
#else
    // Only a server this object started: any other python process is the user's.
    if (ours)
        stop_server();
#endif
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
    const std::lock_guard<std::mutex> lock(stopping);
    message.clear();
    ours = false;
#ifdef _WIN32
    if (!end_proven_server(served_name, served_folder) && server_port_accepts()) {
        tell("Le port 8000 est tenu par un autre programme que le serveur de « " + served_name
             + " » : rien n'est arrêté.");
        return false;
    }
#else
    stop_server();
#endif
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
