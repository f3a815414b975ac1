#pragma once

#include <string>

// One hub network: a Django project on this computer or, in the Linux build's
// client window, a hub server found on the local network.
class Network
{
public:
    Network();
#ifdef KESTROVA_WINDOWS_BUILD
    Network(std::string name, std::string path);
#else
    Network(std::string name, std::string path, std::string address);
#endif

    // Starts the project's development server; always 0. With
    // `output_folder` (a ServerOutput's) the server's output is also copied there.
    int launch(const std::string& output_folder = std::string());
    // 1 when the development server answers on port 8000, else 0.
    int is_launched();

    std::string name;
    std::string path;
#ifndef KESTROVA_WINDOWS_BUILD
    std::string address;
#endif
    int port = 8000;
};
