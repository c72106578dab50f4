// A host name or address as the IPv4 addresses it stands for, looked up
// once (the node's --allow NAME@HOST): the peers' addresses are compared
// with them as text.
#pragma once

#include <string>
#include <vector>

// The addresses (dotted, without repeats) of host; false with the resolver's
// reason in error when it has none.
bool Ipv4AddressesOf(const std::string& host, std::vector<std::string>& addresses,
                     std::string& error);
