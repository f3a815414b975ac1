#include "discovery_commands.h"
#include "hub_address.h"
#include "hub_utilities.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <iostream>
#include <mutex>
#include <system_error>
#include <thread>

#include <sys/resource.h>

namespace {

// Every ask goes straight to the host: no configuration file (-q must come
// first) and no proxy variable may send the scan of the LAN elsewhere.
const std::string curl_direct = "curl -q --noproxy '*'";
// No ask of the search may take longer than 5 s, whatever the host does:
// curl's own start and end fit in what its limit leaves.
const std::string curl_bounds = "--connect-timeout 2 --max-time 4.5";
// What is kept of an answer; a host that streams without end costs no more.
const std::size_t answer_limit = 4096;
// Asks that run at once at most: every host a /24 scan can report, so a LAN
// where every host stalls costs about one ask's bound in all, not one per host.
const std::size_t most_asks_at_once = 256;
// An ask that cannot start (no descriptor or process to be had for the
// moment) waits for others to end and tries again, this many times.
const int ask_tries = 6;
const std::string report_prefix = "Nmap scan report for ";
// The widest subnet swept whole: 1,024 addresses, four rounds of the pool at most.
const int widest_prefix = 22;

} // namespace

std::string scan_command(const std::string& host_address, int prefix)
{
    return "nmap -sn -n " + shell_quote(host_address + "/" + std::to_string(prefix));
}

std::string mask_command()
{
    return "ifconfig | grep 'inet ' | grep -v '127.0.0.1' | awk '{print $3, $4}' | tail -n 1";
}

int scan_prefix(const std::string& mask_line, bool* narrowed)
{
    *narrowed = false;
    const std::string word = "netmask ";
    if (mask_line.compare(0, word.size(), word) != 0)
        return 24;
    const int prefix = mask_prefix(mask_line.substr(word.size()));
    if (prefix < 0 || prefix >= 24)
        return 24;
    if (prefix >= widest_prefix)
        return prefix;
    *narrowed = true;
    return widest_prefix;
}

std::vector<std::string> scanned_hosts(const std::string& listing)
{
    std::vector<std::string> hosts;
    for (const std::string& line : splitLines(listing)) {
        if (line.compare(0, report_prefix.size(), report_prefix) != 0)
            continue;
        // The address is the last word: bare, or in parentheses after a name.
        std::string address = line.substr(line.find_last_of(' ') + 1);
        std::string bare;
        for (char c : address)
            if (c != '(' && c != ')')
                bare += c;
        if (!bare.empty())
            hosts.push_back(bare);
    }
    return hosts;
}

std::string probe_command(const std::string& host)
{
    return curl_direct + " --silent --head " + curl_bounds + " " + shell_quote("http://" + host + ":8000/");
}

bool is_hub_answer(const std::string& head_answer)
{
    return head_answer.find("200 OK") != std::string::npos;
}

std::string name_command(const std::string& server_address)
{
    return curl_direct + " --silent " + curl_bounds + " " + shell_quote("http://" + server_address + "/_infos/kl/");
}

namespace {

// As many asks as the process's limits leave room for: each holds a pipe
// (two descriptors while it starts) and runs a shell and curl, and the
// program keeps some descriptors and processes of its own.
std::size_t asks_at_once()
{
    std::size_t asks = most_asks_at_once;
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        asks = std::min<std::size_t>(asks, limit.rlim_cur > 64 ? (limit.rlim_cur - 64) / 3 : 1);
    if (::getrlimit(RLIMIT_NPROC, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        asks = std::min<std::size_t>(asks, limit.rlim_cur / 8);
    return std::max<std::size_t>(asks, 1);
}

// Runs ask(0) to ask(count - 1), a pool of asks_at_once() at a time, the
// calling thread taking part, and returns once every one has ended. An ask
// that throws is tried again after a pause; one that never runs leaves its
// answer as it was and the others keep theirs. Throws only when no ask ran.
void ask_concurrently(std::size_t count, const std::function<void(std::size_t)>& ask)
{
    std::atomic<std::size_t> next {0};
    std::atomic<std::size_t> answered {0};
    std::mutex failure_lock;
    std::exception_ptr failure;
    const auto work = [&] {
        for (std::size_t i = next++; i < count; i = next++) {
            for (int tries = 1;; ++tries) {
                try {
                    ask(i);
                    ++answered;
                    break;
                } catch (...) {
                    if (tries == ask_tries) {
                        const std::lock_guard<std::mutex> lock(failure_lock);
                        if (!failure)
                            failure = std::current_exception();
                        break;
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(25 << tries));
            }
        }
    };
    std::vector<std::thread> helpers;
    try {
        while (helpers.size() + 1 < std::min(count, asks_at_once()))
            helpers.emplace_back(work);
    } catch (const std::system_error&) {
        // No more threads to be had: the asks share those there are.
    }
    work();
    for (std::thread& helper : helpers)
        helper.join();
    if (failure && answered == 0)
        std::rethrow_exception(failure);
}

} // namespace

std::vector<std::string> fetch_networks()
{
    const std::string address = getIp();
    // Without an address of our own there is no subnet to scan.
    if (address.empty())
        return {};
    bool narrowed = false;
    const int prefix = scan_prefix(exec_cmd(mask_command()), &narrowed);
    static std::once_flag told;
    if (narrowed)
        std::call_once(told, [&] {
            std::cerr << "Le sous-réseau de " << address << " dépasse 1024 adresses : seul le /22 autour de "
                      << "cette adresse est parcouru." << std::endl;
        });
    return scanned_hosts(exec_cmd(scan_command(address, prefix)));
}

std::vector<std::string> find_servers()
{
    const std::vector<std::string> hosts = fetch_networks();
    // Not vector<bool>: its bits cannot be written from several threads.
    std::vector<char> hub(hosts.size(), 0);
    ask_concurrently(hosts.size(), [&](std::size_t i) {
        hub[i] = is_hub_answer(exec_cmd(probe_command(hosts[i]), answer_limit));
    });
    std::vector<std::string> servers;
    for (std::size_t i = 0; i < hosts.size(); ++i)
        if (hub[i])
            servers.push_back(hosts[i] + ":8000");
    return servers;
}

std::vector<std::string> find_servers_names(std::vector<std::string> addresses)
{
    std::vector<std::string> names(addresses.size());
    ask_concurrently(addresses.size(), [&](std::size_t i) {
        names[i] = fold_blanks(exec_cmd(name_command(addresses[i]), answer_limit));
    });
    for (const std::string& name : names)
        std::cout << (hub_name_refusal(name).empty() ? name : std::string());
    std::cout << std::flush;
    return names;
}
