#pragma once

#include <QDialog>

#include <string>
#include <vector>

class AddressField;
class HubSearch;
class Network;
class QBoxLayout;

// The client's window: finds the hub servers of the local network (Linux
// build), lists them and opens the chosen one in the browser. It shows at
// once; the search runs behind it for the window's life, and the list
// follows the hubs that come and go.
class ClientWindow : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY(ClientWindow)

public:
    explicit ClientWindow(QWidget* parent = nullptr);
    ~ClientWindow() override;

    void searching_networks_mode();
    void selecting_networks_mode();
    void network_selected_mode();
#ifndef KESTROVA_WINDOWS_BUILD
    void remove_layouts(QWidget* w);
    void go_to_network(std::string address);
#endif

    // One record per hub found, in the order of `servers`; owned by the window.
    std::vector<Network*> networks;
    // The hub opened last, as its button named it, and its address ("host:8000").
    std::string opened_name;
    std::string opened_address;
#ifndef KESTROVA_WINDOWS_BUILD
    // The hubs' addresses, each "host:8000".
    std::vector<std::string> servers;

private slots:
    void launch_netw(int n);

private:
    void show_hubs();
    // The address field and the remembered hubs: a screen's last row.
    void place_address_field(QBoxLayout* screen);
    void ask_typed(const QString& text);
    void ask_remembered();
    void remember(const std::string& address, const std::string& name);
    // The list as the search knows it now: the hubs, or the search going on.
    void show_list();

    HubSearch* search = nullptr;
    // Kept across the list's rebuilds, with what the member typed in it.
    AddressField* field = nullptr;
    bool connected = false;
#endif
};
