#include "hub_browser.h"

#include <avahi-common/address.h>
#include <avahi-common/timeval.h>

namespace {

const char* const browsed_type = "_kestrova._sub._http._tcp";
const char* const service_type = "_http._tcp";
// A client that lost its daemon or bus is dead for good: a new one is made
// this long after, and waits for the daemon to come back.
const unsigned retry_ms = 2000;

std::string service_key(AvahiIfIndex interface, AvahiProtocol protocol, const char* name, const char* domain)
{
    return std::to_string(interface) + '/' + std::to_string(protocol) + '/' + name + '/' + domain;
}

} // namespace

HubBrowser::HubBrowser(QObject* parent) : QObject(parent) {}

HubBrowser::~HubBrowser()
{
    if (poll)
        avahi_threaded_poll_stop(poll);
    if (client)
        avahi_client_free(client);
    if (poll)
        avahi_threaded_poll_free(poll);
}

void HubBrowser::start()
{
    if (poll || !(poll = avahi_threaded_poll_new()))
        return;
    on_retry(nullptr, this);
    avahi_threaded_poll_start(poll);
}

void HubBrowser::on_retry(AvahiTimeout*, void* self)
{
    auto* browser = static_cast<HubBrowser*>(self);
    if (browser->client)
        avahi_client_free(browser->client);
    int error = 0;
    // NO_FAIL: without a daemon the client waits for one to appear.
    browser->client = avahi_client_new(avahi_threaded_poll_get(browser->poll), AVAHI_CLIENT_NO_FAIL,
                                       &HubBrowser::on_client, browser, &error);
    // No system bus yet: asked again later.
    if (!browser->client)
        browser->connect_later();
}

void HubBrowser::connect_later()
{
    const AvahiPoll* api = avahi_threaded_poll_get(poll);
    timeval when {};
    avahi_elapse_time(&when, retry_ms, 0);
    if (retry)
        api->timeout_update(retry, &when);
    else
        retry = api->timeout_new(api, &when, &HubBrowser::on_retry, this);
}

void HubBrowser::on_client(AvahiClient* client, AvahiClientState state, void* self)
{
    auto* browser = static_cast<HubBrowser*>(self);
    const bool running = state == AVAHI_CLIENT_S_RUNNING || state == AVAHI_CLIENT_S_REGISTERING
                         || state == AVAHI_CLIENT_S_COLLISION;
    if (running && !browser->browser)
        browser->browse(client);
    if (!running && browser->browser) {
        // The daemon went: what it told us goes with it.
        avahi_service_browser_free(browser->browser);
        browser->browser = nullptr;
        for (const std::string& key : browser->live)
            emit browser->service_down(QString::fromStdString(key));
        browser->live.clear();
    }
    if (running != browser->daemon_running) {
        browser->daemon_running = running;
        emit browser->daemon_changed(running);
    }
    // The daemon or the bus went: this client cannot see them come back.
    if (state == AVAHI_CLIENT_FAILURE)
        browser->connect_later();
}

void HubBrowser::browse(AvahiClient* client)
{
    // IPv4 only: the hubs listen on the computer's IPv4 address.
    browser = avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, browsed_type, nullptr,
                                        AvahiLookupFlags(0),
                                        &HubBrowser::on_browse,
                                        this);
}

void HubBrowser::on_browse(AvahiServiceBrowser* service_browser, AvahiIfIndex interface,
                           AvahiProtocol protocol, AvahiBrowserEvent event, const char* name, const char*,
                           const char* domain, AvahiLookupResultFlags, void* self)
{
    auto* browser = static_cast<HubBrowser*>(self);
    if (event != AVAHI_BROWSER_NEW && event != AVAHI_BROWSER_REMOVE)
        return;
    const std::string key = service_key(interface, protocol, name, domain);
    if (event == AVAHI_BROWSER_REMOVE) {
        if (browser->live.erase(key))
            emit browser->service_down(QString::fromStdString(key));
        return;
    }
    browser->live.insert(key);
    const auto resolved = [](AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol protocol,
                             AvahiResolverEvent event, const char* name, const char*, const char* domain,
                             const char*, const AvahiAddress* address, uint16_t port, AvahiStringList*,
                             AvahiLookupResultFlags, void* self) {
        auto* browser = static_cast<HubBrowser*>(self);
        const std::string key = service_key(interface, protocol, name, domain);
        // A service that went while it was being resolved stays gone.
        if (event == AVAHI_RESOLVER_FOUND && browser->live.count(key)) {
            char text[AVAHI_ADDRESS_STR_MAX] = {};
            avahi_address_snprint(text, sizeof text, address);
            emit browser->service_up(QString::fromStdString(key), QString::fromLatin1(text), port);
        }
        avahi_service_resolver_free(resolver);
    };
    avahi_service_resolver_new(avahi_service_browser_get_client(service_browser), interface, protocol, name,
                               service_type, domain, AVAHI_PROTO_INET, AvahiLookupFlags(0), resolved, browser);
}
