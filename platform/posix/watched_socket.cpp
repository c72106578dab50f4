#include "platform/watched_socket.h"

#include <poll.h>
#include <sys/socket.h>

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
