#include "spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

namespace {

constexpr int kMaxNameSuffix = 9999;

std::string Errno(int code) {
  return std::strerror(code);
}

bool MakeFolder(const std::string& path, std::string& error) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    error = path + ": " + Errno(errno);
    return false;
  }
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    error = path + ": not a folder";
    return false;
  }
  return true;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// name, or name with "-N" before its last extension.
std::string Suffixed(const std::string& name, int n) {
  if (n == 0) return name;
  std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return name + "-" + std::to_string(n);
  return name.substr(0, dot) + "-" + std::to_string(n) + name.substr(dot);
}

// Copies from into a new file to (O_EXCL), synced. errno on failure.
bool CopyFile(const std::string& from, const std::string& to) {
  int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in < 0) return false;
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (out < 0) {
    int saved = errno;
    ::close(in);
    errno = saved;
    return false;
  }
  char buffer[1 << 16];
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (!WriteAll(out, buffer, static_cast<std::size_t>(n))) {
      ok = false;
      break;
    }
  }
  if (ok && ::fsync(out) != 0) ok = false;
  int saved = errno;
  if (::close(out) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  ::close(in);
  if (!ok) ::unlink(to.c_str());
  errno = saved;
  return ok;
}

}  // namespace

std::string UidKey(const std::string& uid) {
  bool plain = !uid.empty() && uid.size() <= 64 && uid[0] != '.' &&
               std::all_of(uid.begin(), uid.end(),
                           [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
  if (plain) return "u" + uid;
  // FNV-1a, 64 bits: a stable name for any bytes.
  std::uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : uid) hash = (hash ^ c) * 1099511628211ull;
  char text[24];
  std::snprintf(text, sizeof text, "h%016llx", static_cast<unsigned long long>(hash));
  return text;
}

bool SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  int saved = errno;
  ::close(fd);
  errno = saved;
  return ok;
}

bool MoveIntoFolder(const std::string& file, const std::string& folder, const std::string& name,
                    std::string& finalPath, std::string& error) {
  for (int n = 0; n <= kMaxNameSuffix; ++n) {
    std::string target = folder + "/" + Suffixed(name, n);
    if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
      finalPath = target;
      if (!SyncFolder(folder)) {
        error = folder + ": " + Errno(errno);
        return false;
      }
      return true;
    }
    if (errno == EEXIST) continue;
    if (errno != EXDEV) {
      error = target + ": " + Errno(errno);
      return false;
    }
    if (!CopyFile(file, target)) {
      if (errno == EEXIST) continue;
      error = target + ": " + Errno(errno);
      return false;
    }
    finalPath = target;
    if (!SyncFolder(folder)) {
      error = folder + ": " + Errno(errno);
      return false;
    }
    ::unlink(file.c_str());
    return true;
  }
  error = folder + ": no free name for " + name;
  return false;
}

bool WriteNewFile(const std::string& folder, const std::string& name, const std::string& text,
                  std::string& finalPath, std::string& error) {
  for (int n = 0; n <= kMaxNameSuffix; ++n) {
    std::string target = folder + "/" + Suffixed(name, n);
    int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) {
      error = target + ": " + Errno(errno);
      return false;
    }
    bool ok = WriteAll(fd, text.data(), text.size()) && ::fsync(fd) == 0;
    int saved = errno;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
      error = target + ": " + Errno(saved ? saved : errno);
      ::unlink(target.c_str());
      return false;
    }
    finalPath = target;
    if (!SyncFolder(folder)) {
      error = folder + ": " + Errno(errno);
      return false;
    }
    return true;
  }
  error = folder + ": no free name for " + name;
  return false;
}

bool Spool::Open(const std::string& root, std::string& error) {
  root_ = root;
  incoming_ = root + "/incoming";
  queue_ = root + "/queue";
  work_ = root + "/work";
  done_ = root + "/done";
  for (const std::string* folder : {&root_, &incoming_, &queue_, &work_, &done_})
    if (!MakeFolder(*folder, error)) return false;
  // A partial object is never converted: whatever a killed reception left.
  if (DIR* dir = ::opendir(incoming_.c_str())) {
    while (const dirent* entry = ::readdir(dir))
      if (entry->d_name[0] != '.') ::unlinkat(::dirfd(dir), entry->d_name, 0);
    ::closedir(dir);
  }
  SyncFolder(incoming_);
  return true;
}

int Spool::CreateIncoming(std::string& path) {
  static std::atomic<unsigned long> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    path = incoming_ + "/" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".part";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

Spool::Queued Spool::Enqueue(const std::string& incomingPath, const std::string& key,
                             std::string& error) {
  if (IsDone(key)) {
    ::unlink(incomingPath.c_str());
    return Queued::kDuplicate;
  }
  if (::renameat2(AT_FDCWD, incomingPath.c_str(), AT_FDCWD, QueuedPath(key).c_str(),
                  RENAME_NOREPLACE) != 0) {
    int code = errno;
    ::unlink(incomingPath.c_str());
    if (code == EEXIST) return Queued::kDuplicate;
    error = QueuedPath(key) + ": " + Errno(code);
    return Queued::kFailed;
  }
  if (!SyncFolder(queue_)) {
    error = queue_ + ": " + Errno(errno);
    ::unlink(QueuedPath(key).c_str());
    return Queued::kFailed;
  }
  return Queued::kQueued;
}

std::vector<std::string> Spool::QueuedKeys() const {
  std::vector<std::pair<struct timespec, std::string>> found;
  if (DIR* dir = ::opendir(queue_.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name.size() < 5 || name.compare(name.size() - 4, 4, ".dcm") != 0) continue;
      struct stat info;
      if (::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
          !S_ISREG(info.st_mode))
        continue;
      found.push_back({info.st_mtim, name.substr(0, name.size() - 4)});
    }
    ::closedir(dir);
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
    if (a.first.tv_sec != b.first.tv_sec) return a.first.tv_sec < b.first.tv_sec;
    if (a.first.tv_nsec != b.first.tv_nsec) return a.first.tv_nsec < b.first.tv_nsec;
    return a.second < b.second;
  });
  std::vector<std::string> keys;
  for (auto& entry : found) keys.push_back(entry.second);
  return keys;
}

std::string Spool::QueuedPath(const std::string& key) const {
  return queue_ + "/" + key + ".dcm";
}

void Spool::RemoveQueued(const std::string& key) {
  ::unlink(QueuedPath(key).c_str());
  SyncFolder(queue_);
}

bool Spool::IsDone(const std::string& key) const {
  struct stat info;
  return ::lstat((done_ + "/" + key).c_str(), &info) == 0;
}

bool Spool::MarkDone(const std::string& key, std::string& error) {
  std::string path = done_ + "/" + key;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && ::fsync(fd) == 0;
  int saved = errno;
  if (fd >= 0 && ::close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && !SyncFolder(done_)) {
    ok = false;
    saved = errno;
  }
  if (!ok) error = path + ": " + Errno(saved);
  return ok;
}

bool Spool::WriteWorkMarker(const std::string& key, const std::string& outputName,
                            std::string& error) {
  RemoveWorkMarker(key);
  std::string written;
  return WriteNewFile(work_, key, outputName, written, error);
}

bool Spool::ReadWorkMarker(const std::string& key, std::string& outputName) const {
  int fd = ::open((work_ + "/" + key).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[512];
  ssize_t n = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  if (n <= 0) return false;
  outputName.assign(buffer, static_cast<std::size_t>(n));
  return outputName.find('/') == std::string::npos;
}

void Spool::RemoveWorkMarker(const std::string& key) {
  ::unlink((work_ + "/" + key).c_str());
}
