#include "platform/file_attributes.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace {

// Calls get(buffer, size) with a buffer grown to what it reports, retrying
// while the attributes change under it. Returns 0 or an errno value.
template <typename Get>
int ReadSized(std::vector<char>& bytes, Get get) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    ssize_t size = get(nullptr, 0);
    if (size < 0) return errno;
    bytes.resize(static_cast<std::size_t>(size));
    ssize_t got = get(bytes.data(), bytes.size());
    if (got >= 0) {
      bytes.resize(static_cast<std::size_t>(got));
      return 0;
    }
    if (errno != ERANGE) return errno;
  }
  return ERANGE;
}

// The names of fd's extended attributes; none where the file system keeps
// none.
int ListNames(int fd, std::vector<std::string>& names) {
  std::vector<char> list;
  int error = ReadSized(
      list, [fd](char* buffer, std::size_t size) { return ::flistxattr(fd, buffer, size); });
  if (error == ENOTSUP) return 0;
  if (error != 0) return error;
  for (std::size_t at = 0; at < list.size();) {
    std::size_t end =
        std::find(list.begin() + static_cast<std::ptrdiff_t>(at), list.end(), '\0') - list.begin();
    if (end > at) names.emplace_back(list.data() + at, end - at);
    at = end + 1;
  }
  return 0;
}

int ReadValue(int fd, const std::string& name, std::vector<char>& value) {
  return ReadSized(value, [fd, &name](char* buffer, std::size_t size) {
    return ::fgetxattr(fd, name.c_str(), buffer, size);
  });
}

int CopyExtendedAttributes(int model, int file) {
  std::vector<std::string> wanted, present;
  if (int error = ListNames(model, wanted)) return error;
  if (int error = ListNames(file, present)) return error;
  for (const std::string& name : wanted) {
    std::vector<char> value, current;
    if (int error = ReadValue(model, name, value)) return error;
    // An equal value is left alone: a security label may be set only by
    // the system, and is already right.
    if (ReadValue(file, name, current) == 0 && current == value) continue;
    if (::fsetxattr(file, name.c_str(), value.data(), value.size(), 0) != 0) return errno;
  }
  for (const std::string& name : present)
    if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() &&
        ::fremovexattr(file, name.c_str()) != 0)
      return errno;
  return 0;
}

}  // namespace

int CopyFileAttributes(int model, const FileStatus& modelStatus, int file) {
  struct stat info;
  if (::fstat(file, &info) != 0) return errno;
  const gid_t group = static_cast<gid_t>(modelStatus.group);
  if (info.st_gid != group && ::fchown(file, static_cast<uid_t>(-1), group)) return errno;
  if (int error = CopyExtendedAttributes(model, file)) return error;
  // With an ACL, the group bits are its mask, which the mode then sets.
  if (::fchmod(file, static_cast<mode_t>(modelStatus.permissions & 01777)) != 0) return errno;
  return 0;
}
