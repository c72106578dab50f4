#include "output/output_path.h"

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

// Where the walk stands: the folder reached, what is left of the path and
// the component taken last.
struct Walk {
  UniqueFd folder;
  std::vector<std::string> pending;  // still to walk, the next one last
  int links = 0;
  std::string name;
  int failed = 0;  // the errno value of a failed step
};

// What a step asks of the walk: go on, stop at the output's name, or fail.
enum class Step { kNext, kDone, kFailed };

Step Failed(Walk& walk, int code) {
  walk.failed = code;
  return Step::kFailed;
}

// "." stays where it is and ".." climbs; neither may name the output.
Step StepDots(bool last, Walk& walk, std::string& error) {
  if (last) return Failed(walk, Errno(error, EISDIR));
  if (walk.name == "..") {
    walk.folder.Reset(::openat(walk.folder.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!walk.folder.valid()) return Failed(walk, Errno(error, errno));
  }
  walk.name.clear();
  return Step::kNext;
}

// A symbolic link: refused in a shared folder, entered as a folder on /proc,
// else followed by the walk itself.
Step StepLink(int entry, const struct stat& info, const struct stat& folderInfo, bool last,
              Walk& walk, OutputPlace& place, std::string& error) {
  std::string refusal = SharedFolderRefusal(folderInfo, info, walk.name);
  if (!refusal.empty()) return Failed(walk, Refuse(error, refusal));
  if (OnProc(walk.folder.get())) {
    // /proc/self/fd/N and the like name open files, not paths.
    if (last) {
      place.kernelLink = true;
      return Step::kDone;
    }
    walk.folder.Reset(
        ::openat(walk.folder.get(), walk.name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!walk.folder.valid()) return Failed(walk, Errno(error, errno));
    walk.name.clear();
    return Step::kNext;
  }
  if (++walk.links > kMostLinks) return Failed(walk, Errno(error, ELOOP));
  if (int failed = FollowLink(entry, last, walk.folder, walk.pending, error))
    return Failed(walk, failed);
  walk.name.clear();
  return Step::kNext;
}

// Takes the next component: a dot, a link, the output's name or a folder.
Step StepComponent(Walk& walk, OutputPlace& place, std::string& error) {
  walk.name = walk.pending.back();
  walk.pending.pop_back();
  const bool last = walk.pending.empty();
  if (walk.name == "." || walk.name == "..") return StepDots(last, walk, error);
  UniqueFd entry(::openat(walk.folder.get(), walk.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!entry.valid()) {
    if (last && errno == ENOENT) return Step::kDone;  // a new file
    return Failed(walk, Errno(error, errno));
  }
  struct stat info, folderInfo;
  if (::fstat(entry.get(), &info) != 0 || ::fstat(walk.folder.get(), &folderInfo) != 0)
    return Failed(walk, Errno(error, errno));
  if (S_ISLNK(info.st_mode))
    return StepLink(entry.get(), info, folderInfo, last, walk, place, error);
  if (last) return Step::kDone;  // the output itself, opened by the caller
  if (!S_ISDIR(info.st_mode)) return Failed(walk, Errno(error, ENOTDIR));
  walk.folder = std::move(entry);
  return Step::kNext;
}

}  // namespace

int FindOutputPlace(const char* path, OutputPlace& place, std::string& error) {
  const std::string text = path;
  if (text.empty()) return Errno(error, ENOENT);
  // A name ending in "/" can only be a folder.
  if (text.back() == '/') return Errno(error, EISDIR);
  Walk walk;
  walk.folder.Reset(::open(text[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!walk.folder.valid()) return Errno(error, errno);
  PushComponents(text, walk.pending);
  Step step = Step::kNext;
  while (step == Step::kNext && !walk.pending.empty()) step = StepComponent(walk, place, error);
  if (step == Step::kFailed) return walk.failed;
  if (walk.name.empty()) return Errno(error, EISDIR);  // the path names a folder

  // A descriptor that can be synced when the folder may be read.
  UniqueFd readable(::openat(walk.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (readable.valid()) walk.folder = std::move(readable);
  if (::fstat(walk.folder.get(), &place.folderInfo) != 0) return Errno(error, errno);
  place.folder = std::move(walk.folder);
  place.name = walk.name;
  return 0;
}
