#include "platform/placeholder_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

int CreatePlaceholder(const std::string& path, int permissions) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  const int failure =
      permissions < 0 || ::fchmod(fd, static_cast<mode_t>(permissions)) == 0 ? 0 : errno;
  ::close(fd);
  if (failure != 0) ::unlink(path.c_str());
  return failure;
}

long long RegularFileSize(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  return info.st_size;
}

bool NameTaken(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

int RemoveName(const std::string& path) {
  return ::unlink(path.c_str()) == 0 ? 0 : errno;
}
