#include "platform/durable_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/descriptor.h"
#include "platform/file_descriptor.h"
#include "platform/file_status.h"

namespace {

int Result(int rc) {
  return rc == 0 ? 0 : errno;
}

void Describe(const struct stat& info, PathFacts& facts) {
  facts.folder = S_ISDIR(info.st_mode);
  facts.regularFile = S_ISREG(info.st_mode);
  facts.owner = info.st_uid;
  facts.permissions = static_cast<unsigned>(info.st_mode & 07777);
  facts.modifiedSeconds = info.st_mtim.tv_sec;
  facts.modifiedNanoseconds = info.st_mtim.tv_nsec;
}

}  // namespace

int LookAtPath(const std::string& path, bool followLinks, PathFacts& facts) {
  struct stat info;
  if ((followLinks ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info)) != 0) return errno;
  Describe(info, facts);
  return 0;
}

int MakeFolder(const std::string& path, unsigned permissions) {
  return Result(::mkdir(path.c_str(), static_cast<mode_t>(permissions)));
}

int SetPermissionsByName(const std::string& path, unsigned permissions) {
  // By descriptor: a name swapped for a link meanwhile is not followed.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int result = SetDescriptorPermissions(fd, permissions);
  ::close(fd);
  return result;
}

int ResolvedPath(const std::string& path, std::string& resolved) {
  char* absolute = ::realpath(path.c_str(), nullptr);
  if (absolute == nullptr) return errno;
  resolved = absolute;
  std::free(absolute);
  return 0;
}

int MayRun(const std::string& path) {
  return Result(::access(path.c_str(), X_OK));
}

int SyncFileByName(const std::string& path) {
  const int fd = OpenDescriptorForReading(path);
  if (fd < 0) return errno;
  const int result = SyncToDisk(fd);
  ::close(fd);
  return result;
}

int SyncFolderByName(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int result = SyncToDisk(fd);
  ::close(fd);
  return result;
}

int RenameWithoutReplacing(const std::string& from, const std::string& to) {
  return Result(::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE));
}

int RenameReplacing(const std::string& from, const std::string& to) {
  return Result(::rename(from.c_str(), to.c_str()));
}

int RemoveFileByName(const std::string& path) {
  return Result(::unlink(path.c_str()));
}

int CopyToNewFile(const std::string& from, const std::string& to) {
  const int in = OpenDescriptorForReading(from);
  if (in < 0) return errno;
  const int out = OpenDescriptorForWriting(to, NewFile::kExclusive, 0644);
  if (out < 0) {
    const int error = errno;
    ::close(in);
    return error;
  }
  char buffer[1 << 16];
  int error = 0;
  for (;;) {
    ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno;
    if (n <= 0) break;
    if (!WriteWholeDescriptor(out, buffer, static_cast<std::size_t>(n))) {
      error = errno != 0 ? errno : EIO;
      break;
    }
  }
  if (error == 0) error = SyncToDisk(out);
  const int closed = CloseDescriptor(out);
  if (error == 0) error = closed;
  ::close(in);
  if (error != 0) ::unlink(to.c_str());
  return error;
}

bool ListFolder(const std::string& folder, std::vector<FolderEntry>& entries) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return false;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    FolderEntry found;
    found.name = name;
    struct stat info;
    found.looked = ::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0;
    if (found.looked) Describe(info, found.facts);
    entries.push_back(found);
  }
  ::closedir(dir);
  return true;
}

void RemoveFromFolder(const std::string& folder, const std::function<bool(const char*)>& pick) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir))
    if (pick(entry->d_name)) ::unlinkat(::dirfd(dir), entry->d_name, 0);
  ::closedir(dir);
}
