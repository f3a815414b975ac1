#pragma once

#include <QString>

#include <string>
#include <vector>

// A hub a member opened or named before: where it is and the name it last gave.
struct RememberedHub
{
    std::string host;
    int port = 8000;
    std::string name;
};

// The member's remembered hubs, oldest first, in their own configuration
// folder ($XDG_CONFIG_HOME/kestrova on Linux, the user's local application
// data on Windows). A damaged file is set aside under another name; `told`
// then says so and where it went.
std::vector<RememberedHub> remembered_hubs(QString* told);
// Puts the hub last (newest), dropping the oldest beyond 32; "" or why the
// file could not be written. The file is written whole or not at all.
QString remember_hub(const RememberedHub& hub);
// Removes the hub at host:port; "" or why the file could not be written.
QString forget_hub(const std::string& host, int port);
