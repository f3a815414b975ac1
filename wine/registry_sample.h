#pragma once

// A registry written on Windows (CRLF line ends) and what reading it gives,
// shared by the Windows checks and the Linux reading they are compared with.

#include "hub_utilities.h"
#include "network.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace kw {

// Lines inside and outside the format, every one ended by CR LF but the last.
inline const std::string registry_sample =
    "Lumieres|hubs\\lumieres|\r\n"
    "Deux|C:\\Hubs\\deux|troisieme|\r\n"
    " blancs | gardes |\r\n"
    "|sans nom|\r\n"
    "R\xc3\xa9seau|p|reste sans barre\r\n"
    "\r\n"
    "un seul champ|\r\n"
    "dernier|d|";

inline std::string escaped(const std::string& bytes)
{
    std::string text;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            text += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            text += hex;
        }
    }
    return text;
}

// Writes the sample as networks.data in the current folder, reads it with
// read_hub_networks and describes the records and the messages, byte for
// byte. The echo of each line is left out: it is the line as read, which
// keeps its CR on Linux only.
inline std::string read_registry_sample()
{
    {
        std::ofstream file(registry_file_name, std::ios::binary | std::ios::trunc);
        file << registry_sample;
    }
    std::vector<Network*> networks;
    std::ostringstream echo;
    std::ostringstream messages;
    std::streambuf* out = std::cout.rdbuf(echo.rdbuf());
    std::streambuf* err = std::cerr.rdbuf(messages.rdbuf());
    read_hub_networks(&networks);
    std::cout.rdbuf(out);
    std::cerr.rdbuf(err);

    std::string text;
    for (const Network* network : networks) {
        text += "name=[" + escaped(network->name) + "] path=[" + escaped(network->path)
            + "] port=" + std::to_string(network->port) + "\n";
        delete network;
    }
    return text + "messages=[" + escaped(messages.str()) + "]\n";
}

} // namespace kw
