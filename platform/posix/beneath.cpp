#include "platform/beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <vector>

namespace {

// Set once the kernel has answered that it has no openat2 (before 5.6, or a
// filter that forbids it).
std::atomic<bool> noOpenat2{false};

int KernelOpen(int root, const std::string& relative) {
  struct open_how how = {};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  const char* path = relative.empty() ? "." : relative.c_str();
  for (;;) {
    const long fd = ::syscall(SYS_openat2, root, path, &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    // EAGAIN: a rename elsewhere raced the lookup, which the kernel then
    // refuses rather than risk an escape; another try sees the settled tree.
    if (errno != EAGAIN && errno != EINTR) return -errno;
  }
}

void Split(const std::string& path, std::deque<std::string>& into, bool front) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  if (front)
    into.insert(into.begin(), parts.begin(), parts.end());
  else
    into.insert(into.end(), parts.begin(), parts.end());
}

// The walk: each folder reached is held open, so that ".." goes back to the
// folder it came from and never above root; a link is read and its text
// walked in its place.
int WalkOpen(int root, const std::string& relative) {
  std::vector<int> held;  // the folders below root on the way, each O_PATH
  auto top = [&] { return held.empty() ? root : held.back(); };
  auto fail = [&](int error) {
    for (int fd : held) ::close(fd);
    return -error;
  };
  std::deque<std::string> pending;
  Split(relative, pending, false);
  int links = 0;
  while (!pending.empty()) {
    const std::string name = pending.front();
    pending.pop_front();
    if (name == ".") continue;
    if (name == "..") {
      if (held.empty()) return fail(EXDEV);
      ::close(held.back());
      held.pop_back();
      continue;
    }
    if (!held.empty()) {
      struct stat folder;
      if (::fstat(top(), &folder) != 0) return fail(errno);
      if (!S_ISDIR(folder.st_mode)) return fail(ENOTDIR);
    }
    const int fd = ::openat(top(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0) {
      const int error = errno;
      if (fd >= 0) ::close(fd);
      return fail(error);
    }
    if (!S_ISLNK(info.st_mode)) {
      held.push_back(fd);
      continue;
    }
    char target[4096];
    const ssize_t n = ::readlinkat(fd, "", target, sizeof target);
    const int error = errno;
    ::close(fd);
    if (++links > kMostLinksBeneath) return fail(ELOOP);
    if (n < 0) return fail(error);
    if (n == 0 || n == static_cast<ssize_t>(sizeof target))
      return fail(n == 0 ? ENOENT : ENAMETOOLONG);
    // An absolute link names the host's root, never the tree's.
    if (target[0] == '/') return fail(EXDEV);
    Split(std::string(target, static_cast<std::size_t>(n)), pending, true);
  }
  if (!held.empty()) {
    const int fd = held.back();
    held.pop_back();
    for (int folder : held) ::close(folder);
    return fd;
  }
  const int self = ::openat(root, ".", O_PATH | O_CLOEXEC);
  return self >= 0 ? self : -errno;
}

}  // namespace

int OpenPathBeneath(int root, const std::string& relative, BeneathWay way) {
  if (way == BeneathWay::kKernelFirst && !noOpenat2) {
    const int fd = KernelOpen(root, relative);
    if (fd != -ENOSYS && fd != -EPERM) return fd;
    noOpenat2 = true;
  }
  return WalkOpen(root, relative);
}
