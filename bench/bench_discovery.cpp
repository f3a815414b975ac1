// Times the discovery of hub servers on a loopback /24 with three hubs against
// the floor of a sequential search (the bare scan plus one bare HEAD per
// host), and with forty hosts more that take a connection and never answer
// against the bare scan plus the bound of one ask: their stalls overlap.
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
#include <memory>
#include <vector>

namespace {

// The scan target is always the loopback /24 around this address.
const std::string own_address = "127.0.0.2";
const int rounds = bench_runs(5);
const int hung_rounds = bench_runs(3);
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

std::string bare_scan()
{
    return exec_cmd("nmap -sn -n " + own_address + "/24");
}

void sequential_floor()
{
    for (const std::string& host : scanned_hosts(bare_scan()))
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
        floors.push_back(seconds(sequential_floor));
    }
    if (found != 3) {
        std::fprintf(stderr, "bench_discovery: %zu hubs found instead of 3 (a foreign server on "
                             "127.0.0.x:8000?)\n", found);
        return 1;
    }

    std::vector<double> hung_discoveries;
    std::vector<double> scans;
    {
        std::vector<std::unique_ptr<kt::Listener>> stalling;
        for (int host = 4; stalling.size() < 40; ++host)
            if (host != 5 && host != 6)
                stalling.push_back(std::make_unique<kt::Listener>("127.0.0." + QString::number(host), 8000));
        for (const auto& listener : stalling)
            if (!listener->listening()) {
                std::fprintf(stderr, "bench_discovery: a stalling host could not listen\n");
                return 1;
            }
        for (int i = 0; i < hung_rounds; ++i) {
            hung_discoveries.push_back(seconds(discovery));
            scans.push_back(seconds([] { bare_scan(); }));
        }
    }
    if (found != 3) {
        std::fprintf(stderr, "bench_discovery: %zu hubs found among the stalling hosts instead of 3\n", found);
        return 1;
    }
    const double plain = median(discoveries);
    const double floor = median(floors);
    const double hung = median(hung_discoveries);
    const double scan = median(scans);

    std::printf("discovery of a loopback /24  %5.2f  (goal <= 1.2)  kestrova %.0f ms, bare nmap + curl --head %.0f ms\n",
                plain / floor, plain * 1e3, floor * 1e3);
    std::printf("with forty stalling hosts    %5.2f  (goal <= 1.2)  kestrova %.0f ms, bare nmap %.0f ms + the %.0f s "
                "bound of one ask\n",
                hung / (scan + ask_bound), hung * 1e3, scan * 1e3, ask_bound);
    return 0;
}
