#include "node/spool.h"

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

#include "node/sha256.h"

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

// fsync of a file by path: 0 or errno.
int SyncFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  int result = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return result;
}

// Whether a folder of the spool is safe to use: a folder of this user's that
// no one else may write.
bool OwnFolder(const std::string& path, std::string& error) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) {
    error = path + ": " + Errno(errno);
    return false;
  }
  if (info.st_uid != ::geteuid()) {
    error = path + ": belongs to uid " + std::to_string(info.st_uid) + ", not to this user (uid " +
            std::to_string(::geteuid()) + ")";
    return false;
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    error = path + ": its group or others may write it (mode " + mode + ")";
    return false;
  }
  return true;
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

std::string ContentKey(const std::string& uidKey, const std::string& contentHash) {
  return uidKey + "-" + contentHash;
}

bool IsContentKey(const std::string& key) {
  return key.find('-') != std::string::npos;
}

std::string ObjectContentHash(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return {};
  std::vector<unsigned char> buffer(1 << 16);
  std::size_t filled = 0;
  ssize_t n = 0;
  // Enough for the preamble, "DICM" and the meta group length element.
  while (filled < 144 && (n = ::read(fd, buffer.data() + filled, 144 - filled)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    filled += static_cast<std::size_t>(n);
  }
  std::size_t skip = 0;
  const unsigned char* group = buffer.data() + 132;
  const unsigned char groupLength[] = {0x02, 0x00, 0x00, 0x00, 'U', 'L', 0x04, 0x00};
  if (filled == 144 && std::memcmp(buffer.data() + 128, "DICM", 4) == 0 &&
      std::memcmp(group, groupLength, sizeof groupLength) == 0) {
    std::uint32_t length =
        group[8] | group[9] << 8 | group[10] << 16 | static_cast<std::uint32_t>(group[11]) << 24;
    skip = 144 + static_cast<std::size_t>(length);
  }
  Sha256 hash;
  std::uint64_t offset = 0;
  bool ok = n >= 0;
  for (;;) {
    std::size_t from = offset < skip ? std::min<std::uint64_t>(skip - offset, filled) : 0;
    hash.Update(buffer.data() + from, filled - from);
    offset += filled;
    if (!ok || n == 0) break;
    n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) {
      filled = 0;
      continue;
    }
    ok = n >= 0;
    filled = n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  ::close(fd);
  return ok ? hash.HexDigest() : std::string();
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
  if (int synced = SyncFile(file)) {
    error = file + ": " + Errno(synced);
    return false;
  }
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
    if (!MakeFolder(*folder, error) || !OwnFolder(*folder, error)) return false;
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

int Spool::RunStep(OutputStep step, const std::function<int()>& run) const {
  return runStep_ ? runStep_(step, run) : run();
}

Spool::Queued Spool::Enqueue(const std::string& incomingPath, std::string& key, std::string& error,
                             const std::string& contentHash) {
  if (int synced = RunStep(OutputStep::kFileSync, [&] { return SyncFile(incomingPath); })) {
    error = incomingPath + ": " + Errno(synced);
    ::unlink(incomingPath.c_str());
    return Queued::kFailed;
  }
  return Place(incomingPath, key, true, error, contentHash);
}

Spool::Queued Spool::Requeue(std::string& key, std::string& error) {
  return Place(QueuedPath(key), key, false, error);
}

Spool::Queued Spool::Place(const std::string& file, std::string& key, bool drop, std::string& error,
                           std::string hash) {
  // The file's content hash: given, or read once a twin asks for it.
  auto hashed = [&] {
    if (hash.empty()) hash = ObjectContentHash(file);
    return !hash.empty();
  };
  auto duplicate = [&] {
    ::unlink(file.c_str());
    return Queued::kDuplicate;
  };
  auto failed = [&](const std::string& reason) {
    error = reason;
    if (drop) ::unlink(file.c_str());
    return Queued::kFailed;
  };
  // A twin may move from queue/ to done/ meanwhile: then look again.
  for (int attempt = 0; attempt < 4; ++attempt) {
    std::string doneHash;
    if (!IsContentKey(key) && DoneHash(key, doneHash)) {
      if (!hashed()) return failed(file + ": cannot be read");
      if (hash == doneHash) return duplicate();
      key = ContentKey(key, hash);
    }
    // A content key names its content: done or queued, it is this object.
    if (IsContentKey(key) && IsDone(key)) return duplicate();
    const std::string target = QueuedPath(key);
    if (target == file) return Queued::kQueued;
    int renamed = RunStep(OutputStep::kRename, [&] {
      return ::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0
                 ? 0
                 : errno;
    });
    if (renamed == 0) {
      int synced = RunStep(OutputStep::kFolderSync, [&] { return SyncFolder(queue_) ? 0 : errno; });
      if (synced == 0) return Queued::kQueued;
      if (drop) ::unlink(target.c_str());
      return failed(queue_ + ": " + Errno(synced));
    }
    if (renamed != EEXIST) return failed(target + ": " + Errno(renamed));
    if (IsContentKey(key)) return duplicate();
    const std::string twin = ObjectContentHash(target);
    if (twin.empty()) continue;
    if (!hashed()) return failed(file + ": cannot be read");
    if (hash == twin) return duplicate();
    key = ContentKey(key, hash);
  }
  return failed(queue_ + ": " + key + " kept changing while it was queued");
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

bool Spool::DoneHash(const std::string& key, std::string& hash) const {
  hash.clear();
  int fd = ::open((done_ + "/" + key).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return IsDone(key);
  char buffer[64];
  ssize_t n = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  if (n == sizeof buffer) hash.assign(buffer, sizeof buffer);
  return true;
}

bool Spool::MarkDone(const std::string& key, const std::string& contentHash, std::string& error) {
  const std::string path = done_ + "/" + key, temp = path + ".part";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = temp + ": " + Errno(errno);
    return false;
  }
  int failure = WriteAll(fd, contentHash.data(), contentHash.size()) ? 0 : errno ? errno : EIO;
  if (failure == 0)
    failure = RunStep(OutputStep::kFileSync, [fd] { return ::fsync(fd) == 0 ? 0 : errno; });
  if (::close(fd) != 0 && failure == 0) failure = errno;
  if (failure == 0)
    failure = RunStep(OutputStep::kRename,
                      [&] { return ::rename(temp.c_str(), path.c_str()) == 0 ? 0 : errno; });
  if (failure != 0) {
    ::unlink(temp.c_str());
    error = path + ": " + Errno(failure);
    return false;
  }
  if (int synced =
          RunStep(OutputStep::kFolderSync, [&] { return SyncFolder(done_) ? 0 : errno; })) {
    ::unlink(path.c_str());
    error = done_ + ": " + Errno(synced);
    return false;
  }
  return true;
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
