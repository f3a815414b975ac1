// Server control of the Linux build: the server runs in a terminal window on
// this computer's LAN address, and a TCP probe tells when it answers.
#include "network.h"

#include "hub_utilities.h"
#include "server_commands.h"
#include "server_control.h"
#include "terminal_posix.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
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

bool port_answers(const std::string& host, int port)
{
    const int fd = connect_before(host, port, Clock::now() + connect_bound);
    if (fd >= 0)
        ::close(fd);
    return fd >= 0;
}

} // namespace

int Network::launch()
{
    const std::string listen_address = getIp() + ":8000";
    open_terminal(launch_command(path, listen_address));
    return 0;
}

int Network::is_launched()
{
    const std::string host = getIp();
    const auto deadline = Clock::now() + probe_total_wait;
    for (;;) {
        if (port_answers(host, server_port))
            return 1;
        if (Clock::now() >= deadline)
            return 0;
        std::this_thread::sleep_for(probe_interval);
    }
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

bool server_answers_after_start(Network& network)
{
    return network.is_launched() != 0;
}

// The Linux build never stops a server: it runs in its terminal until the
// keeper ends it there.
ServerControl::~ServerControl() = default;

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
