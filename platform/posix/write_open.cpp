#include "platform/write_open.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace {

// The open without O_NONBLOCK, so that the writes wait as usual.
int Opened(int fd, UniqueFd& owned) {
  owned.Reset(fd);
  if (!owned.valid()) return errno;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) return 0;
  const int error = errno;
  owned.Reset();
  return error;
}

constexpr int kWriteFlags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

}  // namespace

int OpenForWritingInPlace(int folder, const std::string& name, bool kernelLink, UniqueFd& fd) {
  return Opened(::openat(folder, name.c_str(), kWriteFlags | (kernelLink ? 0 : O_NOFOLLOW)), fd);
}

int CreateForWriting(int folder, const std::string& name, UniqueFd& fd) {
  return Opened(::openat(folder, name.c_str(), kWriteFlags | O_CREAT | O_EXCL | O_NOFOLLOW, 0666),
                fd);
}

int OpenForAppending(int folder, const std::string& name, bool kernelLink, UniqueFd& fd) {
  return Opened(::openat(folder, name.c_str(),
                         kWriteFlags | O_APPEND | O_CREAT | (kernelLink ? 0 : O_NOFOLLOW), 0666),
                fd);
}

int TryLockExclusive(int fd) {
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno == EINTR) continue;
    return errno == EWOULDBLOCK ? EWOULDBLOCK : 0;
  }
}

int TruncateToEmpty(int fd) {
  return ::ftruncate(fd, 0) == 0 ? 0 : errno;
}
