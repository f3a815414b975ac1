#include "hub_address.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

namespace {

// A pasted link may carry a long path; anything longer is no address.
const std::size_t longest_text = 1024;
const std::size_t longest_host = 253;
const std::size_t longest_label = 63;

const std::string not_an_address = "Ce n'est pas une adresse : ";

bool is_digits(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// A host name after RFC 1123: dot-separated labels of letters, digits and
// inner hyphens. Returns "" or the reason.
std::string host_name_fault(const std::string& host)
{
    if (host.empty())
        return not_an_address + "aucun hôte n'est donné.";
    for (char c : host) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return not_an_address + "un nom d'hôte s'écrit en lettres sans accents, chiffres, « - » et « . ».";
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.')
            return not_an_address + "le caractère « " + c + " » n'est pas permis dans un nom d'hôte.";
    }
    if (host.size() > longest_host)
        return not_an_address + "le nom d'hôte est trop long.";
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = host.find('.', start);
        const std::string label = host.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (label.empty() || label.size() > longest_label || label.front() == '-' || label.back() == '-')
            return not_an_address + "le nom d'hôte « " + host + " » est mal formé.";
        if (dot == std::string::npos)
            return std::string();
        start = dot + 1;
    }
}

} // namespace

std::string read_hub_address(const std::string& text, HubAddress* address)
{
    const auto blank = [](unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    const std::size_t first = std::find_if_not(text.begin(), text.end(), blank) - text.begin();
    const std::size_t end = text.rend() - std::find_if_not(text.rbegin(), text.rend(), blank);
    if (first >= end)
        return "Saisissez l'adresse d'un hub.";
    if (end - first > longest_text)
        return not_an_address + "le texte est trop long.";
    std::string rest = text.substr(first, end - first);
    for (unsigned char c : rest) {
        if (c == ' ' || c == '\t')
            return not_an_address + "elle contient des espaces.";
        if (c < 0x20 || c == 0x7f)
            return not_an_address + "elle contient des caractères de contrôle.";
    }
    std::string scheme = rest.substr(0, 7);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
    if (scheme == "http://")
        rest.erase(0, 7);
    else if (rest.find("://") != std::string::npos)
        return not_an_address + "seules les adresses en http:// mènent à un hub.";
    // The path, query or fragment of a pasted link is no part of the hub's address.
    const std::string authority = rest.substr(0, rest.find_first_of("/?#"));

    HubAddress read;
    std::string port;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string::npos)
            return not_an_address + "il manque le « ] » de l'adresse IPv6.";
        read.host = authority.substr(1, close - 1);
        const std::string after = authority.substr(close + 1);
        if (!after.empty() && after.front() != ':')
            return not_an_address + "après « ] » ne peut venir que « :port ».";
        if (!after.empty())
            port = after.substr(1);
        in6_addr bytes {};
        if (inet_pton(AF_INET6, read.host.c_str(), &bytes) != 1)
            return not_an_address + "l'adresse IPv6 est mal formée.";
    } else if (std::count(authority.begin(), authority.end(), ':') > 1) {
        // A bare IPv6 address: its port, if any, would need brackets.
        read.host = authority;
        in6_addr bytes {};
        if (inet_pton(AF_INET6, read.host.c_str(), &bytes) != 1)
            return not_an_address + "l'adresse IPv6 est mal formée.";
    } else {
        const std::size_t colon = authority.find(':');
        read.host = authority.substr(0, colon);
        if (colon != std::string::npos)
            port = authority.substr(colon + 1);
        const std::size_t last_dot = read.host.rfind('.');
        const std::string last_label = last_dot == std::string::npos ? read.host : read.host.substr(last_dot + 1);
        // A name never ends in a number: this is meant as an IPv4 address.
        if (is_digits(last_label) && read.host.find_first_not_of("0123456789.") == std::string::npos) {
            in_addr bytes {};
            if (inet_pton(AF_INET, read.host.c_str(), &bytes) != 1)
                return not_an_address + "« " + read.host + " » n'est pas une adresse IPv4 (quatre nombres de 0 à 255).";
        } else {
            const std::string fault = host_name_fault(read.host);
            if (!fault.empty())
                return fault;
        }
    }
    if (read.host.empty())
        return not_an_address + "aucun hôte n'est donné.";
    if (authority.size() > read.host.size() && port.empty() && authority.back() == ':')
        return not_an_address + "le port doit être un nombre de 1 à 65535.";
    if (!port.empty()) {
        if (!is_digits(port) || port.size() > 5 || std::stoi(port) < 1 || std::stoi(port) > 65535)
            return not_an_address + "le port doit être un nombre de 1 à 65535.";
        read.port = std::stoi(port);
    }
    *address = read;
    return std::string();
}

std::string hub_address_text(const HubAddress& address)
{
    const bool v6 = address.host.find(':') != std::string::npos;
    return (v6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(address.port);
}

int mask_prefix(const std::string& mask)
{
    in_addr bytes {};
    if (inet_pton(AF_INET, mask.c_str(), &bytes) != 1)
        return -1;
    const std::uint32_t bits = ntohl(bytes.s_addr);
    int prefix = 0;
    while (prefix < 32 && (bits & (0x80000000u >> prefix)))
        ++prefix;
    // Ones then zeros only.
    const std::uint32_t expected = prefix == 0 ? 0 : ~std::uint32_t(0) << (32 - prefix);
    return bits == expected ? prefix : -1;
}
