#include "platform/held_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Held descriptors are O_PATH ones: they name a file without opening it,
// so nothing of a FIFO, a device or an unreadable file is touched.
int Held(int fd, UniqueFd& held) {
  held.Reset(fd);
  return held.valid() ? 0 : errno;
}

std::string ProcPath(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace

int HoldPath(const std::string& path, UniqueFd& held) {
  return Held(::open(path.c_str(), O_PATH | O_CLOEXEC), held);
}

int HoldFolder(const std::string& path, UniqueFd& held) {
  return Held(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC), held);
}

int HoldEntry(int folder, const std::string& name, UniqueFd& held) {
  return Held(::openat(folder, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC), held);
}

int HoldFolderThrough(int folder, const std::string& name, UniqueFd& held) {
  return Held(::openat(folder, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC), held);
}

int HoldParent(int folder, UniqueFd& held) {
  return Held(::openat(folder, "..", O_PATH | O_DIRECTORY | O_CLOEXEC), held);
}

int ReadLinkText(int link, std::string& target) {
  char text[PATH_MAX];
  const ssize_t length = ::readlinkat(link, "", text, sizeof text);
  if (length < 0) return errno;
  if (length == 0) return ENOENT;
  if (static_cast<std::size_t>(length) == sizeof text) return ENAMETOOLONG;
  target.assign(text, static_cast<std::size_t>(length));
  return 0;
}

int OpenFolderForReading(int folder, UniqueFd& readable) {
  return Held(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC), readable);
}

int ListHeldFolder(int folder, std::vector<std::string>& names) {
  UniqueFd readable;
  if (int error = OpenFolderForReading(folder, readable)) return error;
  DIR* listing = ::fdopendir(readable.get());
  if (listing == nullptr) return errno;
  readable.Release();  // the listing's now
  while (dirent* entry = ::readdir(listing)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
      names.push_back(entry->d_name);
  }
  ::closedir(listing);
  return 0;
}

int OpenHeldForReading(int held, UniqueFd& readable) {
  return Held(::open(ProcPath(held).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC),
              readable);
}

bool MayChangeFolder(int folder) {
  return ::faccessat(folder, ".", W_OK | X_OK, AT_EACCESS) == 0;
}
