// The address gsd-node listens on. DCMTK 3.6.7's acceptor binds its socket
// to every IPv4 address (INADDR_ANY) and offers no way to choose one, so the
// program supplies bind() itself (posix/listen_address.cpp, compiled into
// gsd-node alone: it takes the C library's place for the whole program):
// the acceptor's wildcard bind on the node's port goes to the chosen
// address instead. IPv6 would need an acceptor of our own: DCMTK 3.6.7
// makes an IPv4 socket and writes each peer's address as IPv4 (dotted
// bytes of a sockaddr_in), so --bind refuses an IPv6 address.
#pragma once

#include <string>

// From now on the wildcard bind on port binds address instead; an empty
// address leaves every bind as it is.
void SetListenAddress(const std::string& address, int port);
