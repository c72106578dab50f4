#include "platform/file_status.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/stat_status.h"

int StatusOf(int fd, FileStatus& status) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return errno;
  status = StatusOfStat(info);
  return 0;
}

int StatusOfEntry(int folder, const std::string& name, FileStatus& status) {
  struct stat info;
  if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  status = StatusOfStat(info);
  return 0;
}

int StatusOfPath(const std::string& path, bool followLinks, FileStatus& status) {
  struct stat info;
  if ((followLinks ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info)) != 0) return errno;
  status = StatusOfStat(info);
  return 0;
}

std::uint32_t EffectiveUser() {
  return static_cast<std::uint32_t>(::geteuid());
}
