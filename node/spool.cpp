#include "node/spool.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "node/node_log.h"
#include "node/sha256.h"
#include "platform/descriptor.h"
#include "platform/durable_folder.h"
#include "platform/file_descriptor.h"
#include "platform/file_status.h"
#include "platform/process_id.h"

namespace {

constexpr int kMaxNameSuffix = 9999;

std::string Errno(int code) {
  return std::strerror(code);
}

bool MakeSpoolFolder(const std::string& path, std::string& error) {
  const int made = MakeFolder(path, 0700);
  if (made != 0 && made != EEXIST) {
    error = path + ": " + Errno(made);
    return false;
  }
  PathFacts facts;
  if (LookAtPath(path, false, facts) != 0 || !facts.folder) {
    error = path + ": not a folder";
    return false;
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

// Whether a folder of the spool is safe to use: a folder of this user's that
// no one else may write.
bool OwnFolder(const std::string& path, std::string& error) {
  PathFacts facts;
  if (const int unseen = LookAtPath(path, false, facts)) {
    error = path + ": " + Errno(unseen);
    return false;
  }
  if (facts.owner != EffectiveUser()) {
    error = path + ": belongs to uid " + std::to_string(facts.owner) + ", not to this user (uid " +
            std::to_string(EffectiveUser()) + ")";
    return false;
  }
  // Writable by the group (020) or by others (002).
  if ((facts.permissions & 022) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", facts.permissions & 07777);
    error = path + ": its group or others may write it (mode " + mode + ")";
    return false;
  }
  return true;
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
  int fd = OpenDescriptorForReading(path);
  if (fd < 0) return {};
  std::vector<unsigned char> buffer(1 << 16);
  std::size_t filled = 0;
  long long n = 0;
  // Enough for the preamble, "DICM" and the meta group length element.
  while (filled < 144 && (n = ReadDescriptor(fd, buffer.data() + filled, 144 - filled)) != 0) {
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
    n = ReadDescriptor(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) {
      filled = 0;
      continue;
    }
    ok = n >= 0;
    filled = n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  CloseDescriptor(fd);
  return ok ? hash.HexDigest() : std::string();
}

bool SyncFolder(const std::string& folder) {
  const int failure = SyncFolderByName(folder);
  if (failure != 0) errno = failure;
  return failure == 0;
}

bool MoveIntoFolder(const std::string& file, const std::string& folder, const std::string& name,
                    std::string& finalPath, std::string& error) {
  if (int synced = SyncFileByName(file)) {
    error = file + ": " + Errno(synced);
    return false;
  }
  // The spool's 0600 becomes the node's 0640 before the move; a copy gets
  // the same after its bytes, whatever the umask gave it.
  if (const int given = SetPermissionsByName(file, kNodeFilePermissions)) {
    error = file + ": " + Errno(given);
    return false;
  }
  for (int n = 0; n <= kMaxNameSuffix; ++n) {
    std::string target = folder + "/" + Suffixed(name, n);
    const int renamed = RenameWithoutReplacing(file, target);
    if (renamed == 0) {
      finalPath = target;
      if (!SyncFolder(folder)) {
        error = folder + ": " + Errno(errno);
        return false;
      }
      return true;
    }
    if (renamed == EEXIST) continue;
    if (renamed != EXDEV) {
      error = target + ": " + Errno(renamed);
      return false;
    }
    if (const int copied = CopyToNewFile(file, target)) {
      if (copied == EEXIST) continue;
      error = target + ": " + Errno(copied);
      return false;
    }
    finalPath = target;
    if (const int given = SetPermissionsByName(target, kNodeFilePermissions)) {
      RemoveFileByName(target);
      error = target + ": " + Errno(given);
      return false;
    }
    if (!SyncFolder(folder)) {
      error = folder + ": " + Errno(errno);
      return false;
    }
    RemoveFileByName(file);
    return true;
  }
  error = folder + ": no free name for " + name;
  return false;
}

bool WriteNewFile(const std::string& folder, const std::string& name, const std::string& text,
                  std::string& finalPath, std::string& error) {
  for (int n = 0; n <= kMaxNameSuffix; ++n) {
    std::string target = folder + "/" + Suffixed(name, n);
    int fd = OpenDescriptorForWriting(target, NewFile::kExclusive, kNodeFilePermissions);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) {
      error = target + ": " + Errno(errno);
      return false;
    }
    int saved = 0;
    bool ok = WriteWholeDescriptor(fd, text.data(), text.size());
    if (!ok)
      saved = errno;
    else if ((saved = SetDescriptorPermissions(fd, kNodeFilePermissions)) != 0)
      ok = false;
    else if ((saved = SyncToDisk(fd)) != 0)
      ok = false;
    const int closed = CloseDescriptor(fd);
    ok = closed == 0 && ok;
    if (!ok) {
      error = target + ": " + Errno(saved ? saved : closed);
      RemoveFileByName(target);
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
  finish_ = root + "/finish";
  for (const std::string* folder : {&root_, &incoming_, &queue_, &work_, &done_, &finish_})
    if (!MakeSpoolFolder(*folder, error) || !OwnFolder(*folder, error)) return false;
  // A partial object is never converted: whatever a killed reception left.
  RemoveFromFolder(incoming_, [](const char* name) { return name[0] != '.'; });
  SyncFolder(incoming_);
  return true;
}

int Spool::CreateIncoming(std::string& path) {
  static std::atomic<unsigned long> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    path = incoming_ + "/" + std::to_string(ThisProcessId()) + "-" + std::to_string(++counter) +
           ".part";
    int fd = OpenDescriptorForWriting(path, NewFile::kExclusive, 0600);
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
  if (int synced = RunStep(OutputStep::kFileSync, [&] { return SyncFileByName(incomingPath); })) {
    error = incomingPath + ": " + Errno(synced);
    RemoveFileByName(incomingPath);
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
    RemoveFileByName(file);
    return Queued::kDuplicate;
  };
  auto failed = [&](const std::string& reason) {
    error = reason;
    if (drop) RemoveFileByName(file);
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
    int renamed =
        RunStep(OutputStep::kRename, [&] { return RenameWithoutReplacing(file, target); });
    if (renamed == 0) {
      int synced = RunStep(OutputStep::kFolderSync, [&] { return SyncFolder(queue_) ? 0 : errno; });
      if (synced == 0) return Queued::kQueued;
      if (drop) RemoveFileByName(target);
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
  std::vector<FolderEntry> entries;
  ListFolder(queue_, entries);
  std::vector<std::pair<PathFacts, std::string>> found;
  for (const FolderEntry& entry : entries) {
    const std::string& name = entry.name;
    if (name.size() < 5 || name.compare(name.size() - 4, 4, ".dcm") != 0) continue;
    if (!entry.looked || !entry.facts.regularFile) continue;
    found.push_back({entry.facts, name.substr(0, name.size() - 4)});
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
    if (a.first.modifiedSeconds != b.first.modifiedSeconds)
      return a.first.modifiedSeconds < b.first.modifiedSeconds;
    if (a.first.modifiedNanoseconds != b.first.modifiedNanoseconds)
      return a.first.modifiedNanoseconds < b.first.modifiedNanoseconds;
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
  RemoveFileByName(QueuedPath(key));
  SyncFolder(queue_);
}

bool Spool::IsDone(const std::string& key) const {
  PathFacts facts;
  return LookAtPath(done_ + "/" + key, false, facts) == 0;
}

bool Spool::DoneHash(const std::string& key, std::string& hash) const {
  hash.clear();
  int fd = OpenDescriptorForReading(done_ + "/" + key);
  if (fd < 0) return IsDone(key);
  char buffer[64];
  const long long n = ReadDescriptor(fd, buffer, sizeof buffer);
  CloseDescriptor(fd);
  if (n == sizeof buffer) hash.assign(buffer, sizeof buffer);
  return true;
}

bool Spool::MarkDone(const std::string& key, const std::string& contentHash, std::string& error) {
  return ReplaceMarker(done_, key, contentHash, error);
}

bool Spool::ReplaceMarker(const std::string& folder, const std::string& name,
                          const std::string& text, std::string& error) {
  const std::string path = folder + "/" + name, temp = path + ".part";
  int fd = OpenDescriptorForWriting(temp, NewFile::kTruncate, 0600);
  if (fd < 0) {
    error = temp + ": " + Errno(errno);
    return false;
  }
  int failure = WriteWholeDescriptor(fd, text.data(), text.size()) ? 0 : errno ? errno : EIO;
  if (failure == 0) failure = RunStep(OutputStep::kFileSync, [fd] { return SyncToDisk(fd); });
  const int closed = CloseDescriptor(fd);
  if (closed != 0 && failure == 0) failure = closed;
  if (failure == 0)
    failure = RunStep(OutputStep::kRename, [&] { return RenameReplacing(temp, path); });
  if (failure != 0) {
    RemoveFileByName(temp);
    error = path + ": " + Errno(failure);
    return false;
  }
  if (int synced =
          RunStep(OutputStep::kFolderSync, [&] { return SyncFolder(folder) ? 0 : errno; })) {
    RemoveFileByName(path);
    error = folder + ": " + Errno(synced);
    return false;
  }
  return true;
}

namespace {

const char* const kFinishStages[] = {"done", "logged", "hook run"};

}  // namespace

bool Spool::WriteFinishMarker(const std::string& key, const std::string& outputName,
                              FinishStage stage, std::string& error) {
  return ReplaceMarker(finish_, key,
                       outputName + "\n" + kFinishStages[static_cast<int>(stage)] + "\n", error);
}

bool Spool::ReadFinishMarker(const std::string& key, std::string& outputName,
                             FinishStage& stage) const {
  int fd = OpenDescriptorForReading(finish_ + "/" + key);
  if (fd < 0) return false;
  char buffer[600];
  const long long n = ReadDescriptor(fd, buffer, sizeof buffer);
  CloseDescriptor(fd);
  if (n <= 0) return false;
  const std::string text(buffer, static_cast<std::size_t>(n));
  const std::size_t end = text.find('\n');
  if (end == std::string::npos || end == 0) return false;
  outputName = text.substr(0, end);
  if (outputName.find('/') != std::string::npos) return false;
  for (int i = 0; i < 3; ++i)
    if (text.compare(end + 1, std::string::npos, std::string(kFinishStages[i]) + "\n") == 0) {
      stage = static_cast<FinishStage>(i);
      return true;
    }
  return false;
}

void Spool::RemoveFinishMarker(const std::string& key) {
  RemoveFileByName(finish_ + "/" + key);
  SyncFolder(finish_);
}

std::vector<std::string> Spool::FinishingKeys() const {
  std::vector<FolderEntry> entries;
  ListFolder(finish_, entries);
  std::vector<std::string> keys;
  for (const FolderEntry& entry : entries) {
    const std::string& name = entry.name;
    if (name.empty() || name[0] == '.' || !entry.looked || !entry.facts.regularFile) continue;
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0) {
      RemoveFileByName(finish_ + "/" + name);  // a marker a crash cut short
      continue;
    }
    keys.push_back(name);
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

bool Spool::WriteWorkMarker(const std::string& key, const std::string& outputName,
                            std::string& error) {
  RemoveWorkMarker(key);
  std::string written;
  return WriteNewFile(work_, key, outputName, written, error);
}

bool Spool::ReadWorkMarker(const std::string& key, std::string& outputName) const {
  int fd = OpenDescriptorForReading(work_ + "/" + key);
  if (fd < 0) return false;
  char buffer[512];
  const long long n = ReadDescriptor(fd, buffer, sizeof buffer);
  CloseDescriptor(fd);
  if (n <= 0) return false;
  outputName.assign(buffer, static_cast<std::size_t>(n));
  return outputName.find('/') == std::string::npos;
}

void Spool::RemoveWorkMarker(const std::string& key) {
  RemoveFileByName(work_ + "/" + key);
}
