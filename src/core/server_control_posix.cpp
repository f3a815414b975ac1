// Server control of the Linux build: the server runs in a terminal window on
// this computer's LAN address, and a TCP probe tells when it answers.
#include "network.h"

#include "hub_utilities.h"
#include "port_owner.h"
#include "server_commands.h"
#include "server_control.h"
#include "server_output.h"
#include "terminal_posix.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <poll.h>
#include <csignal>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int server_port = 8000;
// Django needs a second or two to come up; give it ample time, then give up.
constexpr auto probe_total_wait = std::chrono::seconds(10);
constexpr auto probe_interval = std::chrono::milliseconds(40);
constexpr auto connect_bound = std::chrono::seconds(1);
constexpr auto ask_bound = std::chrono::seconds(2);
constexpr std::size_t answer_cap = 4096;

int milliseconds_until(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

bool ready_before(int fd, short events, Clock::time_point deadline)
{
    pollfd waiting {fd, events, 0};
    int ready = 0;
    do
        ready = ::poll(&waiting, 1, milliseconds_until(deadline));
    while (ready < 0 && errno == EINTR);
    return ready == 1 && (waiting.revents & events);
}

// A non-blocking socket connected to host:port, or -1 when the port refused
// or neither accepted nor refused before the deadline.
int connect_before(const std::string& host, int port, Clock::time_point deadline)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
        return -1;

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (!connected && errno == EINPROGRESS && ready_before(fd, POLLOUT, deadline)) {
        int error = 0;
        socklen_t length = sizeof error;
        connected = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    if (!connected) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The environment entry that every terminal this program opens carries, and
// with it the terminal's shell and whatever that shell starts: one value per
// run of the program, so that no other program's terminal passes for ours.
const std::string& terminal_mark()
{
    static const std::string mark = [] {
        std::random_device device;
        return "KESTROVA_TERMINAL=" + std::to_string(::getpid()) + "-" + std::to_string(device());
    }();
    return mark;
}

// Whether the system's copy of a process's starting environment holds the mark.
bool carries_mark(long pid)
{
    if (pid <= 1)
        return false;
    std::ifstream file("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    const std::string environment((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return ('\0' + environment).find('\0' + terminal_mark() + '\0') != std::string::npos;
}

bool port_answers(const std::string& host, int port)
{
    const int fd = connect_before(host, port, Clock::now() + connect_bound);
    if (fd >= 0)
        ::close(fd);
    return fd >= 0;
}

} // namespace

int Network::launch(const std::string& output_folder)
{
    const std::string listen_address = getIp() + ":8000";
    open_terminal(launch_command(path, listen_address, output_folder), nullptr, terminal_mark());
    return 0;
}

namespace {

// Probes until the server answers, the time is up or `ended` says it never will.
bool answers_unless(const ServerOutput* output)
{
    const std::string host = getIp();
    const auto deadline = Clock::now() + probe_total_wait;
    for (;;) {
        if (port_answers(host, server_port))
            return true;
        if (Clock::now() >= deadline || (output && output->ended()))
            return false;
        std::this_thread::sleep_for(probe_interval);
    }
}

} // namespace

int Network::is_launched()
{
    return answers_unless(nullptr) ? 1 : 0;
}

bool server_port_accepts()
{
    return port_answers(getIp(), server_port);
}

HubAnswer ask_hub_name()
{
    const auto deadline = Clock::now() + ask_bound;
    const std::string host = getIp();
    const int fd = connect_before(host, server_port, deadline);
    if (fd < 0)
        return HubAnswer();
    const std::string request = hub_name_request(host + ":8000");
    std::size_t sent = 0;
    while (sent < request.size() && ready_before(fd, POLLOUT, deadline)) {
        const ssize_t wrote = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (wrote <= 0)
            break;
        sent += static_cast<std::size_t>(wrote);
    }
    std::string raw;
    char piece[1024];
    while (sent == request.size() && raw.size() < answer_cap && !is_whole_answer(raw)
           && ready_before(fd, POLLIN, deadline)) {
        const ssize_t read = ::recv(fd, piece, std::min(sizeof piece, answer_cap - raw.size()), 0);
        if (read <= 0)
            break;
        raw.append(piece, static_cast<std::size_t>(read));
    }
    ::close(fd);
    return parse_hub_answer(raw);
}

bool server_answers_after_start(Network&, const ServerOutput& output)
{
    // A server that has ended answers no more: its reason is in its output.
    return answers_unless(&output);
}

ServerControl::ServerControl() = default;

// Closing the Linux build's window leaves the server in its terminal, where
// the keeper may still use it.
ServerControl::~ServerControl() = default;

// The owner of a listener is seen here, or the listener is another user's.
bool started_server_runs_in(const std::string&)
{
    return false;
}

std::string server_host()
{
    return getIp();
}

namespace {

// Ctrl-C gets this long before SIGTERM, and SIGTERM as long again.
constexpr auto stop_step = std::chrono::seconds(5);
constexpr auto release_poll = std::chrono::milliseconds(5);

// What the stop signals once the listener is proven to be the network's
// server. Its process group, when every member runs in the folder and the
// group is not this program's own, gets the Ctrl-C that its terminal would
// send; the rest of the stop goes to the group only when its leader is the
// shell of a terminal this program opened, else to the server and its
// reloader parent alone: a keeper's own wrapper gets the Ctrl-C, no more.
struct StopTargets
{
    long group = -1;
    bool our_terminal = false;
    std::vector<long> processes;
};

StopTargets proven_targets(long server, const std::string& folder)
{
    StopTargets targets;
    const long group = process_group_of(server);
    if (group > 1 && group != static_cast<long>(::getpgrp())) {
        const std::vector<long> members = processes_in_group(group);
        if (std::all_of(members.begin(), members.end(),
                        [&](long member) { return process_folder(member) == folder; })) {
            targets.group = group;
            targets.our_terminal = carries_mark(group);
        }
    }
    targets.processes.push_back(server);
    const long parent = parent_of(server);
    if (parent > 1 && parent != static_cast<long>(::getpid()) && process_folder(parent) == folder
        && program_of(parent) == program_of(server))
        targets.processes.push_back(parent);
    return targets;
}

void send(const StopTargets& targets, int signal)
{
    const bool to_group = targets.group > 1 && (signal == SIGINT || targets.our_terminal);
    if (to_group)
        ::kill(static_cast<pid_t>(-targets.group), signal);
    else
        for (const long pid : targets.processes)
            ::kill(static_cast<pid_t>(pid), signal);
}

bool port_free_before(Clock::time_point deadline)
{
    for (;;) {
        if (!is_listened(getIp(), server_port) && !server_port_accepts())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(release_poll);
    }
}

} // namespace

bool ServerControl::stop()
{
    message.clear();
    ours = false;
    const std::string folder = resolved_folder(served_folder);
    const long server = listening_process(getIp(), server_port);
    if (server < 0 && !server_port_accepts())
        return true;
    // Proven by its folder together with its answer as this network, or
    // started from a terminal of ours; anything else is told, never signalled.
    const bool proven = !folder.empty() && process_folder(server) == folder
        && (carries_mark(server) || is_name_of(Network(served_name, served_folder, ""), hub_name_of(ask_hub_name())));
    if (!proven) {
        tell("Le port 8000 est tenu par un autre programme que le serveur de « " + served_name
             + " » : rien n'est arrêté.");
        return false;
    }
    const StopTargets targets = proven_targets(server, folder);
    send(targets, SIGINT);
    bool freed = port_free_before(Clock::now() + stop_step);
    if (!freed) {
        send(targets, SIGTERM);
        freed = port_free_before(Clock::now() + stop_step);
    }
    if (!freed) {
        tell("Le port 8000 répond encore après l'arrêt du serveur : un serveur y tourne toujours.");
        return false;
    }
    // The terminal's shell goes on to an interactive shell once the server
    // has ended; a hang-up closes its window, as long as it is still the
    // shell of a terminal of ours, standing in the network's folder.
    if (targets.our_terminal && process_group_of(targets.group) == targets.group
        && process_folder(targets.group) == folder && carries_mark(targets.group))
        ::kill(static_cast<pid_t>(targets.group), SIGHUP);
    return true;
}

std::string ServerControl::browser_address() const
{
    return "http://" + getIp() + ":8000";
}

void ServerControl::wait_before_browser() const
{
    timespec remaining {2, 0};
    while (::nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
    }
}
