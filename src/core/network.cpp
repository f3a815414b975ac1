#include "network.h"

#include <utility>

// launch() and is_launched() differ per platform and live with the server
// control of each build.

Network::Network() = default;

#ifdef KESTROVA_WINDOWS_BUILD
Network::Network(std::string name, std::string path)
    : name(std::move(name)), path(std::move(path))
{
}
#else
Network::Network(std::string name, std::string path, std::string address)
    : name(std::move(name)), path(std::move(path)), address(std::move(address))
{
}
#endif
