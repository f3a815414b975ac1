// Times the discovery of hub servers on a loopback /24 against the floor of
// its sequential design: the bare scan plus one bare HEAD per host.
#include "bench_timing.h"
#include "discovery_commands.h"
#include "hub_utilities.h"
#include "loopback_hubs.h"
#include "test_support.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <vector>

namespace {

// The scan target is always the loopback /24 around this address.
const std::string own_address = "127.0.0.2";
const int rounds = 5;
const int hung_rounds = 3;
// The longest any one ask of the search may take.
const double ask_bound = 5.0;

double seconds(const std::function<void()>& work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::size_t found = 0;

void discovery()
{
    kt::StreamCapture trace(std::cout);
    const std::vector<std::string> servers = find_servers();
    found = find_servers_names(servers).size();
}

void floor_of_design()
{
    for (const std::string& host : scanned_hosts(exec_cmd("nmap -sn -n " + own_address + "/24")))
        exec_cmd("curl --silent --head http://" + host + ":8000/");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    kt::WorkDir dir;
    auto one = kt::HubServer::django(dir.path(), "127.0.0.3", "premier");
    auto two = kt::HubServer::django(dir.path(), "127.0.0.5", "second");
    auto three = kt::HubServer::django(dir.path(), "127.0.0.6", "troisieme");
    if (!one->running() || !two->running() || !three->running()) {
        std::fprintf(stderr, "bench_discovery: the three hubs did not start (logs in %s)\n",
                     qPrintable(dir.path()));
        return 1;
    }
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({QString::fromStdString(own_address)});

    std::vector<double> discoveries;
    std::vector<double> floors;
    for (int i = 0; i < rounds; ++i) {
        discoveries.push_back(seconds(discovery));
        floors.push_back(seconds(floor_of_design));
    }
    if (found != 3) {
        std::fprintf(stderr, "bench_discovery: %zu hubs found instead of 3 (a foreign server on "
                             "127.0.0.x:8000?)\n", found);
        return 1;
    }

    std::vector<double> hung_discoveries;
    {
        kt::Listener silent("127.0.0.7", 8000);
        for (int i = 0; i < hung_rounds; ++i)
            hung_discoveries.push_back(seconds(discovery));
    }
    const double plain = median(discoveries);
    const double floor = median(floors);
    const double hung = median(hung_discoveries);

    std::printf("discovery of a loopback /24  %5.2f  (goal <= 1.2)  kestrova %.0f ms, bare nmap + curl --head %.0f ms\n",
                plain / floor, plain * 1e3, floor * 1e3);
    std::printf("a host that never answers    %5.2f  (goal < 1.0)  adds %.0f ms against the %.0f s bound of one ask "
                "(search %.0f ms with it, %.0f ms without)\n",
                (hung - plain) / ask_bound, (hung - plain) * 1e3, ask_bound, hung * 1e3, plain * 1e3);
    return 0;
}
