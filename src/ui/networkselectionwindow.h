#pragma once

#include "server_control.h"

#include <QDialog>
#include <QUrl>

#include <vector>

class Network;

// The administrator window: one fixed-size dialog whose whole content is
// rebuilt each time it changes screen.
class NetworkSelectionWindow : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY(NetworkSelectionWindow)

public:
    explicit NetworkSelectionWindow(QWidget* parent = nullptr);
    ~NetworkSelectionWindow() override;

    void main_mode();
    void clean_screen();
    void remove_layouts(QWidget* w);
    // `what` says what the wait is for: a start, a stop, a new network.
    void loading_mode(const char* what = "Demarrage du Serveur");
    void switch_to_network(Network* network);
    void network_started_mode(Network* network);
    void new_network_mode();

    // The registry's networks, in file order; owned by the window.
    std::vector<Network*> networks;

private slots:
    void fuck_tho(int n);
    void stop_network();
    void testBtn();

private:
    void free_networks();
    // The main screen again, telling what went wrong ("" for nothing).
    // `lines`: the server's own last lines, shown under the failure.
    void back_to_main(const std::string& failure, const std::string& lines = std::string());
    // The new network form's save: the hub is made off the GUI thread.
    void save_new_network();

    // The last failure of a launch or stop, shown under the network list
    // until a launch or stop succeeds.
    QString failure_text;
    QString failure_lines;

    // The running network's address, as the launch opened it in the browser.
    QUrl space_address;

    // What answers on port 8000, and the server this window started: in the
    // Windows build it stops that server when the window goes.
    ServerControl server;
};
