#include "platform/watched_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>

bool SocketListens(int fd) {
  int listening = 0;
  socklen_t size = sizeof listening;
  return fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 &&
         listening != 0;
}

bool ConnectionWaiting(int listener) {
  if (listener < 0) return false;
  pollfd listening{listener, POLLIN, 0};
  return ::poll(&listening, 1, 0) > 0 && (listening.revents & POLLIN) != 0;
}

void ShutDownSocket(int fd) {
  ::shutdown(fd, SHUT_RDWR);
}

std::string PeerAddressOf(int fd) {
  sockaddr_storage peer{};
  socklen_t size = sizeof peer;
  char text[INET6_ADDRSTRLEN] = {};
  if (fd < 0 || ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0) return "unknown";
  const void* address = nullptr;
  if (peer.ss_family == AF_INET)
    address = &reinterpret_cast<const sockaddr_in*>(&peer)->sin_addr;
  else if (peer.ss_family == AF_INET6)
    address = &reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_addr;
  if (address == nullptr || ::inet_ntop(peer.ss_family, address, text, sizeof text) == nullptr)
    return "unknown";
  return text;
}

bool AwaitFirstByte(int fd) {
  char byte = 0;
  ssize_t got = -1;
  do {
    got = ::recv(fd, &byte, 1, MSG_PEEK);
  } while (got < 0 && errno == EINTR);
  return got > 0;
}
