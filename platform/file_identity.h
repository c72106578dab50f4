// Which file a name or an open stream is, as the file system tells it: two
// names of one file (hard links, a symbolic link and its target, "a" and
// "./a") have one identity, a copy has another.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>

struct FileIdentity {
  std::uint64_t volume = 0;  // the device or volume
  std::uint64_t file = 0;    // the file on it
  bool operator==(const FileIdentity& other) const {
    return volume == other.volume && file == other.file;
  }
  bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

// The file a path names, following symbolic links; none when it cannot be
// looked at.
std::optional<FileIdentity> IdentityOfPath(const std::filesystem::path& path);

// The file an open stream reads or writes: the one it was opened on, even
// when its name has since been given to another. None for a stream with no
// file beneath (one over memory).
std::optional<FileIdentity> IdentityOfStream(std::FILE* stream);

// Whether both paths exist and name one file.
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b);
