#include "platform/service_manager.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

bool NotifyServiceManager(const std::string& state) {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || (path[0] != '/' && path[0] != '@')) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t length = std::strlen(path);
  if (length >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path, length);
  // "@" names a socket in the abstract namespace: a leading NUL byte.
  if (path[0] == '@') address.sun_path[0] = '\0';
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  ssize_t sent;
  do {
    sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&address), size);
  } while (sent < 0 && errno == EINTR);
  ::close(fd);
  return sent == static_cast<ssize_t>(state.size());
}

std::int64_t ServiceWatchdogMicroseconds() {
  const char* pid = std::getenv("WATCHDOG_PID");
  if (pid != nullptr && std::strtoll(pid, nullptr, 10) != static_cast<long long>(::getpid()))
    return 0;
  const char* usec = std::getenv("WATCHDOG_USEC");
  if (usec == nullptr) return 0;
  char* end = nullptr;
  const long long value = std::strtoll(usec, &end, 10);
  return end != usec && *end == '\0' && value > 0 ? value : 0;
}
