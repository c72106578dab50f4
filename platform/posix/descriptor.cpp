#include "platform/descriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

int SyncToDisk(int fd) {
  return ::fsync(fd) == 0 ? 0 : errno;
}

int SetDescriptorPermissions(int fd, unsigned permissions) {
  return ::fchmod(fd, static_cast<mode_t>(permissions)) == 0 ? 0 : errno;
}

int DuplicateDescriptor(int fd, UniqueFd& copy) {
  copy.Reset(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  return copy.valid() ? 0 : errno;
}

std::FILE* StreamOverDescriptor(int fd, const char* mode) {
  return ::fdopen(fd, mode);
}
