#pragma once

#include <QObject>
#include <QString>

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/thread-watch.h>

#include <atomic>
#include <set>
#include <string>

// Follows the hubs that announce themselves on DNS-SD (_kestrova._sub._http._tcp)
// through the Avahi daemon of this computer. Avahi's own thread runs the
// conversation with the daemon; the signals reach the receiver's thread queued.
// Avahi's client library rather than KDNSSD: its resolver hands over the
// hub's address, where KDNSSD gives a ".local" name that only nss-mdns, or a
// blocking look-up, would turn into one.
class HubBrowser : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HubBrowser)

public:
    explicit HubBrowser(QObject* parent = nullptr);
    ~HubBrowser() override;

    // Connects to the daemon and keeps waiting for one that is not there yet,
    // or that comes back after it went.
    void start();
    // Whether a daemon answers now.
    bool running() const { return daemon_running; }

signals:
    void daemon_changed(bool running);
    // A service resolved to an IPv4 address; `key` names it until it goes.
    void service_up(const QString& key, const QString& host, quint16 port);
    void service_down(const QString& key);

private:
    static void on_client(AvahiClient* client, AvahiClientState state, void* self);
    static void on_browse(AvahiServiceBrowser* service_browser, AvahiIfIndex interface, AvahiProtocol protocol,
                          AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                          AvahiLookupResultFlags flags, void* self);
    void browse(AvahiClient* client);
    static void on_retry(AvahiTimeout* timeout, void* self);
    void connect_later();

    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    AvahiServiceBrowser* browser = nullptr;
    AvahiTimeout* retry = nullptr;
    // Touched by Avahi's thread only, under its lock.
    std::set<std::string> live;
    std::atomic<bool> daemon_running {false};
};
