#include "platform/listen_address.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

std::atomic<bool> g_set{false};
in_addr g_address{};
int g_port = 0;

using BindFunction = int (*)(int, const sockaddr*, socklen_t);

}  // namespace

void SetListenAddress(const std::string& address, int port) {
  if (address.empty() || ::inet_pton(AF_INET, address.c_str(), &g_address) != 1) return;
  g_port = port;
  g_set = true;
}

// Takes the place of the C library's bind() for the whole program (DCMTK's
// shared library included); every other bind goes through unchanged.
extern "C" int bind(int fd, const sockaddr* address, socklen_t length) {
  static const BindFunction real = reinterpret_cast<BindFunction>(::dlsym(RTLD_NEXT, "bind"));
  if (real == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  if (g_set && address != nullptr && address->sa_family == AF_INET &&
      length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    sockaddr_in wanted;
    std::memcpy(&wanted, address, sizeof wanted);
    if (wanted.sin_addr.s_addr == htonl(INADDR_ANY) && ntohs(wanted.sin_port) == g_port) {
      wanted.sin_addr = g_address;
      return real(fd, reinterpret_cast<const sockaddr*>(&wanted), sizeof wanted);
    }
  }
  return real(fd, address, length);
}
