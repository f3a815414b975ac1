#pragma once

#include <QDialog>

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
    void loading_mode();
    void switch_to_network(Network* network);
    void network_started_mode(Network* network);
    void new_network_mode();

    // The registry's networks, in file order; owned by the window.
    std::vector<Network*> networks;

private slots:
    void fuck_tho(int n);
#ifdef KESTROVA_WINDOWS_BUILD
    void stop_network();
#endif
    void testBtn();

private:
    void free_networks();

#ifdef KESTROVA_WINDOWS_BUILD
    // A server started from this window and not stopped since.
    bool server_started = false;
#endif
};
