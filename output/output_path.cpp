#include "output_path.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

bool OthersMayWrite(const struct stat& folder) {
  return (folder.st_mode & S_IWOTH) != 0;
}

std::string SharedFolderRefusal(const struct stat& folder, const struct stat& entry,
                                const std::string& name) {
  if (!OthersMayWrite(folder)) return {};
  const std::string quoted = "\"" + name + "\"";
  const std::string where = " in a folder that all users may write";
  if (S_ISREG(entry.st_mode) && entry.st_nlink > 1)
    return quoted + " has " + std::to_string(entry.st_nlink) + " links" + where + "; not written";
  const bool theirs = entry.st_uid != ::geteuid() && entry.st_uid != folder.st_uid;
  if (!theirs) return {};
  const std::string owner = " of user " + std::to_string(entry.st_uid);
  if (S_ISLNK(entry.st_mode))
    return quoted + " is a symbolic link" + owner + where + "; not followed";
  if (S_ISFIFO(entry.st_mode)) return quoted + " is a FIFO" + owner + where + "; not opened";
  if (S_ISREG(entry.st_mode) && (folder.st_mode & S_ISVTX))
    return quoted + " is a file" + owner + where + " (sticky); not written";
  return {};
}

namespace {

constexpr int kMostLinks = 40;  // as many as the kernel follows in one path

// Appends the components of text so that the first one is taken next.
void PushComponents(const std::string& text, std::vector<std::string>& pending) {
  std::vector<std::string> parts;
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t slash = text.find('/', start);
    if (slash == std::string::npos) slash = text.size();
    if (slash > start) parts.push_back(text.substr(start, slash - start));
    start = slash + 1;
  }
  pending.insert(pending.end(), parts.rbegin(), parts.rend());
}

bool OnProc(int folder) {
  struct statfs info;
  return ::fstatfs(folder, &info) == 0 && info.f_type == PROC_SUPER_MAGIC;
}

int Refuse(std::string& error, const std::string& why) {
  error = why;
  return EACCES;
}

int Errno(std::string& error, int code) {
  error = std::strerror(code);
  return code;
}

// Puts the target of the link entry in the walk's place: its components go
// on the pending list, from / when it is absolute. Returns 0, or Errno's
// result.
int FollowLink(int entry, bool last, UniqueFd& folder, std::vector<std::string>& pending,
               std::string& error) {
  char target[PATH_MAX];
  ssize_t length = ::readlinkat(entry, "", target, sizeof target);
  if (length < 0) return Errno(error, errno);
  if (length == 0) return Errno(error, ENOENT);
  if (static_cast<std::size_t>(length) == sizeof target) return Errno(error, ENAMETOOLONG);
  const std::string to(target, static_cast<std::size_t>(length));
  if (last && to.back() == '/') return Errno(error, EISDIR);
  if (to[0] == '/') {
    folder.Reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) return Errno(error, errno);
  }
  PushComponents(to, pending);
  return 0;
}

}  // namespace

int FindOutputPlace(const char* path, OutputPlace& place, std::string& error) {
  const std::string text = path;
  if (text.empty()) return Errno(error, ENOENT);
  // A name ending in "/" can only be a folder.
  if (text.back() == '/') return Errno(error, EISDIR);
  UniqueFd folder(::open(text[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid()) return Errno(error, errno);
  std::vector<std::string> pending;  // still to walk, the next one last
  PushComponents(text, pending);
  int links = 0;
  std::string name;
  while (!pending.empty()) {
    name = pending.back();
    pending.pop_back();
    const bool last = pending.empty();
    if (name == "." || name == "..") {
      if (last) return Errno(error, EISDIR);
      if (name == "..") {
        folder.Reset(::openat(folder.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!folder.valid()) return Errno(error, errno);
      }
      name.clear();
      continue;
    }
    UniqueFd entry(::openat(folder.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!entry.valid()) {
      if (last && errno == ENOENT) break;  // a new file
      return Errno(error, errno);
    }
    struct stat info, folderInfo;
    if (::fstat(entry.get(), &info) != 0 || ::fstat(folder.get(), &folderInfo) != 0)
      return Errno(error, errno);
    if (S_ISLNK(info.st_mode)) {
      std::string refusal = SharedFolderRefusal(folderInfo, info, name);
      if (!refusal.empty()) return Refuse(error, refusal);
      if (OnProc(folder.get())) {
        // /proc/self/fd/N and the like name open files, not paths.
        if (last) {
          place.kernelLink = true;
          break;
        }
        folder.Reset(::openat(folder.get(), name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!folder.valid()) return Errno(error, errno);
        name.clear();
        continue;
      }
      if (++links > kMostLinks) return Errno(error, ELOOP);
      if (int failed = FollowLink(entry.get(), last, folder, pending, error)) return failed;
      name.clear();
      continue;
    }
    if (last) break;  // the output itself, opened by the caller
    if (!S_ISDIR(info.st_mode)) return Errno(error, ENOTDIR);
    folder = std::move(entry);
  }
  if (name.empty()) return Errno(error, EISDIR);  // the path names a folder

  // A descriptor that can be synced when the folder may be read.
  UniqueFd readable(::openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (readable.valid()) folder = std::move(readable);
  if (::fstat(folder.get(), &place.folderInfo) != 0) return Errno(error, errno);
  place.folder = std::move(folder);
  place.name = name;
  return 0;
}
