// An open file or folder as the system numbers it for this process: a
// descriptor (on Windows the C library's, over the system's handle), owned
// and closed once, synced to the disk, duplicated, or handed to a stream.
#pragma once

#include <cstdio>

// An owned descriptor, closed at destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Writes what the system holds of the file or folder to the disk: a file's
// bytes, or a folder's names (a rename in it). Returns 0 or an errno value;
// some file systems cannot sync a folder.
int SyncToDisk(int fd);

// Gives the file exactly these permission bits (POSIX numbering), whatever
// the umask was. Where the system has no such bits (Windows: a new file
// takes its folder's access) nothing changes.
int SetDescriptorPermissions(int fd, unsigned permissions);

// A second descriptor of the same open file, not passed to the programs
// this process starts. Returns 0 with copy, or an errno value.
int DuplicateDescriptor(int fd, UniqueFd& copy);

// A stream over fd in mode ("wb", "a"): on success the stream owns the
// descriptor and fclose closes both; null with errno set otherwise, the
// descriptor still the caller's.
std::FILE* StreamOverDescriptor(int fd, const char* mode);
