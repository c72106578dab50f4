#include "platform/file_descriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

int OpenDescriptorForWriting(const std::string& path, NewFile how, unsigned permissions) {
  const int flags =
      O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (how == NewFile::kExclusive ? O_EXCL : O_TRUNC);
  return ::open(path.c_str(), flags, static_cast<mode_t>(permissions));
}

int OpenDescriptorForReading(const std::string& path) {
  return ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
}

long long ReadDescriptor(int fd, void* buffer, std::size_t bytes) {
  return ::read(fd, buffer, bytes);
}

long long WriteDescriptor(int fd, const void* bytes, std::size_t size) {
  return ::write(fd, bytes, size);
}

bool WriteWholeDescriptor(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

int CloseDescriptor(int fd) {
  return ::close(fd) == 0 ? 0 : errno;
}
