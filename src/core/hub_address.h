#pragma once

#include <string>

// Where a member says a hub is: a host (IPv4 or IPv6 address, or host name)
// and a port.
struct HubAddress
{
    std::string host;
    int port = 8000;
};

// Reads what a member typed or pasted: an IPv4 or IPv6 address or a host
// name, with or without "http://", an optional port (8000 when none is
// given) and an optional trailing path, which is dropped. Returns "" and
// fills `address` when the text is an address; otherwise the French reason
// why it is not one, and `address` is left as it was.
std::string read_hub_address(const std::string& text, HubAddress* address);
// "host:port", an IPv6 address in brackets, as a URL's authority.
std::string hub_address_text(const HubAddress& address);
// The prefix length of a dotted IPv4 mask ("255.255.254.0" gives 23), or -1
// when the text is no contiguous mask.
int mask_prefix(const std::string& mask);
