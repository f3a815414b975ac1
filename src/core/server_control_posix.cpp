// Server control of the Linux build: the server runs in a terminal window on
// this computer's LAN address, and a TCP probe tells when it answers.
#include "network.h"

#include "hub_utilities.h"
#include "server_commands.h"
#include "terminal_posix.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int server_port = 8000;
// Django needs a second or two to come up; give it ample time, then give up.
constexpr auto probe_total_wait = std::chrono::seconds(10);
constexpr auto probe_interval = std::chrono::milliseconds(40);
constexpr int connect_timeout_ms = 1000;

bool port_answers(const std::string& host, int port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
        return false;

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (!connected && errno == EINPROGRESS) {
        pollfd waiting {fd, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        connected = ::poll(&waiting, 1, connect_timeout_ms) == 1
            && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    ::close(fd);
    return connected;
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
    const auto deadline = std::chrono::steady_clock::now() + probe_total_wait;
    for (;;) {
        if (port_answers(host, server_port))
            return 1;
        if (std::chrono::steady_clock::now() >= deadline)
            return 0;
        std::this_thread::sleep_for(probe_interval);
    }
}
