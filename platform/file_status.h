// What the file system tells of a file, a folder or a link: its type, size,
// identity, permission bits, links and owner, in plain numbers, so that the
// rules about which files may be read or replaced (output/, scan/) are
// written once for every system.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file_identity.h"

enum class FileType { kRegular, kFolder, kLink, kFifo, kDevice, kSocket, kOther };

// Permission bits as POSIX numbers them, on every system: where the
// system has no such bits they are made from what it has (read-only or not).
constexpr unsigned kOthersMayWriteBit = 0002;
constexpr unsigned kAnyoneMayWriteBits = 0222;
constexpr unsigned kStickyBit = 01000;

struct FileStatus {
  FileType type = FileType::kOther;
  long long size = 0;
  FileIdentity identity;
  unsigned permissions = 0;  // the mode's low twelve bits: rwx three times, setuid, setgid, sticky
  std::uint64_t links = 0;   // names the file has
  std::uint32_t owner = 0;   // the owning user's number; 0 where the system has none
  std::uint32_t group = 0;
};

// What the open file or folder fd is. Returns 0 or an errno value.
int StatusOf(int fd, FileStatus& status);

// What name in folder (a descriptor) is, a link itself rather than what it
// leads to. Returns 0 or an errno value (ENOENT: no such name).
int StatusOfEntry(int folder, const std::string& name, FileStatus& status);

// What path is, following links or not. Returns 0 or an errno value.
int StatusOfPath(const std::string& path, bool followLinks, FileStatus& status);

// The user this process acts as, to compare with a file's owner.
std::uint32_t EffectiveUser();
