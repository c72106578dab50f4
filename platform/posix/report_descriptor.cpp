#include "platform/report_descriptor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

bool TakeInheritedDescriptor(int fd) {
  if (fd < 0 || ::fcntl(fd, F_GETFD) < 0) return false;
  if (fd > STDERR_FILENO) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return true;
}

bool WriteWhole(int fd, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}
