#include "hub_search.h"

#include "discovery_commands.h"
#include "hub_address.h"
#include "hub_ask.h"
#include "hub_browser.h"
#include "hub_utilities.h"


#include <arpa/inet.h>

#include <algorithm>
#include <iostream>
#include <stdexcept>
#include <tuple>

namespace {

// The sweep runs again this long after the last one, while no DNS-SD daemon answers.
const int sweep_interval_ms = 30000;
// Long enough for DNS-SD to announce and confirm the hubs it sees.
const int sweep_expiry_ms = 6000;
// A hub announces itself once it listens; a refused ask is still retried a
// few times, a second apart, while the service stays announced.
const int confirm_tries = 5;

std::uint32_t address_order(const std::string& address)
{
    in_addr host {};
    inet_pton(AF_INET, address.substr(0, address.find(':')).c_str(), &host);
    return ntohl(host.s_addr);
}

} // namespace

HubSearch::HubSearch(QObject* parent)
    : QObject(parent), browser(new HubBrowser(this))
{
    next_sweep.setSingleShot(true);
    next_sweep.setInterval(sweep_interval_ms);
    connect(&next_sweep, &QTimer::timeout, this, &HubSearch::sweep);
    sweep_expiry.setSingleShot(true);
    sweep_expiry.setInterval(sweep_expiry_ms);
    connect(&sweep_expiry, &QTimer::timeout, this, [this] {
        if (swept.empty() || !browser->running())
            return;
        swept.clear();
        emit hubs_changed();
    });
    connect(browser, &HubBrowser::service_up, this,
            [this](const QString& key, const QString& host, quint16 port) { service_up(key, host, port, 1); });
    connect(browser, &HubBrowser::service_down, this, &HubSearch::service_down);
    connect(browser, &HubBrowser::daemon_changed, this, [this](bool running) {
        if (running) {
            next_sweep.stop();
            sweep_expiry.start();
        } else {
            sweep_expiry.stop();
            sweep();
        }
    });
}

HubSearch::~HubSearch()
{
    if (sweeper.joinable())
        sweeper.join();
}

void HubSearch::start()
{
    browser->start();
    if (!browser->running())
        sweep();
}

std::vector<FoundHub> HubSearch::hubs() const
{
    std::vector<FoundHub> all = swept;
    all.insert(all.end(), named.begin(), named.end());
    for (const auto& [key, hub] : announced)
        if (confirmed.at(key))
            all.push_back(hub);
    std::sort(all.begin(), all.end(), [](const FoundHub& a, const FoundHub& b) {
        return std::make_tuple(address_order(a.address), a.address, a.name)
               < std::make_tuple(address_order(b.address), b.address, b.name);
    });
    // A hub both swept and announced is listed once.
    all.erase(std::unique(all.begin(), all.end(),
                          [](const FoundHub& a, const FoundHub& b) { return a.address == b.address; }),
              all.end());
    return all;
}

void HubSearch::service_up(const QString& key, const QString& host, quint16 port, int tries)
{
    const std::string address = host.toStdString() + ":" + std::to_string(port);
    if (tries == 1) {
        const auto known = announced.find(key);
        if (known != announced.end() && known->second.address == address && confirmed[key])
            return;
        const bool was_listed = confirmed[key];
        announced[key] = FoundHub {std::string(), address};
        confirmed[key] = false;
        if (was_listed)
            emit hubs_changed();
    }
    HubAddress where;
    where.host = host.toStdString();
    where.port = port;
    ask_hub(this, where.host, where.port, [=](const HubAnswer& answer) {
        const auto still = announced.find(key);
        // Gone, or announced anew elsewhere, meanwhile: that ask counts.
        if (still == announced.end() || still->second.address != address)
            return;
        if (answer.hub) {
            still->second.name = answer.name;
            confirmed[key] = true;
            emit hubs_changed();
        } else if (tries < confirm_tries) {
            QTimer::singleShot(1000, this, [=] {
                const auto again = announced.find(key);
                if (again != announced.end() && again->second.address == address && !confirmed[key])
                    service_up(key, host, port, tries + 1);
            });
        }
    });
}

void HubSearch::ask(const HubAddress& where, const std::function<void(const HubAnswer&)>& told)
{
    const std::string address = hub_address_text(where);
    ask_hub(this, where.host, where.port, [=](const HubAnswer& answer) {
        if (answer.hub) {
            const auto known = std::find_if(named.begin(), named.end(),
                                             [&](const FoundHub& hub) { return hub.address == address; });
            if (known == named.end())
                named.push_back(FoundHub {answer.name, address});
            else
                known->name = answer.name;
            emit hubs_changed();
        }
        if (told)
            told(answer);
    });
}

void HubSearch::forget(const std::string& address)
{
    const auto gone = std::remove_if(named.begin(), named.end(),
                                     [&](const FoundHub& hub) { return hub.address == address; });
    if (gone == named.end())
        return;
    named.erase(gone, named.end());
    emit hubs_changed();
}

void HubSearch::service_down(const QString& key)
{
    const bool was_listed = confirmed[key];
    announced.erase(key);
    confirmed.erase(key);
    if (was_listed)
        emit hubs_changed();
}

void HubSearch::sweep()
{
    if (sweeping)
        return;
    if (sweeper.joinable())
        sweeper.join();
    sweeping = true;
    // Off the GUI thread: the scan and its asks take seconds.
    sweeper = std::thread([this] {
        std::vector<std::string> servers;
        std::vector<std::string> names;
        std::string failure;
        try {
            servers = find_servers();
            if (!servers.empty())
                names = find_servers_names(servers);
        } catch (const std::runtime_error& error) {
            servers.clear();
            failure = error.what();
        }
        QMetaObject::invokeMethod(
            this, [=] { sweep_ended(servers, names, failure); }, Qt::QueuedConnection);
    });
}

void HubSearch::sweep_ended(const std::vector<std::string>& servers, const std::vector<std::string>& names,
                            const std::string& failure)
{
    sweeping = false;
    if (!failure.empty())
        std::cerr << "La recherche des réseaux a échoué : " << failure << std::endl;
    // A daemon that came back meanwhile tells alone.
    if (browser->running())
        return;
    // The latest sweep says which hubs are there: those it no longer sees go.
    // A failed sweep saw nothing and leaves the list as it was.
    if (failure.empty()) {
        std::vector<FoundHub> seen;
        for (std::size_t i = 0; i < servers.size(); ++i)
            seen.push_back(FoundHub {i < names.size() ? names[i] : std::string(), servers[i]});
        const bool same = std::equal(seen.begin(), seen.end(), swept.begin(), swept.end(),
                                     [](const FoundHub& a, const FoundHub& b) {
                                         return a.address == b.address && a.name == b.name;
                                     });
        swept = seen;
        if (!same)
            emit hubs_changed();
    }
    next_sweep.start();
}
