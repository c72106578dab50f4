#include "platform/host_addresses.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

bool Ipv4AddressesOf(const std::string& host, std::vector<std::string>& addresses,
                     std::string& error) {
  addresses.clear();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int failed = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (failed != 0) {
    error = ::gai_strerror(failed);
    return false;
  }
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    char text[INET_ADDRSTRLEN];
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
    if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr &&
        std::find(addresses.begin(), addresses.end(), text) == addresses.end())
      addresses.push_back(text);
  }
  ::freeaddrinfo(found);
  if (addresses.empty()) error = "no IPv4 address";
  return !addresses.empty();
}
