// Where an output path leads: the folder, held open, and the name in it.
// Symbolic links are followed one component at a time by the program
// itself, with the rules the kernel applies in shared folders when
// fs.protected_symlinks, _fifos and _regular are set, whatever they are set
// to: another local user cannot redirect a write through a folder that
// everybody may write.
#pragma once

#include <sys/stat.h>

#include <string>

// An owned file descriptor, closed at destruction.
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

struct OutputPlace {
  UniqueFd folder;  // O_DIRECTORY; O_PATH only when the folder cannot be read
  struct stat folderInfo {};
  std::string name;         // one component: no '/', never "." or ".."
  bool kernelLink = false;  // name is a /proc link (/dev/stdout), which only the kernel follows
};

// Whether users other than the folder's owner may add, remove or replace
// entries in it: the folder is writable by all.
bool OthersMayWrite(const struct stat& folder);

// Why an entry found in folder must not be used, or empty when it may be.
// In a folder writable by all: a symbolic link or a FIFO that belongs
// neither to the caller nor to the folder's owner, and a regular file with
// more than one link (whoever made the link may not own the file); with the
// sticky bit as well, a regular file that belongs to neither.
std::string SharedFolderRefusal(const struct stat& folder, const struct stat& entry,
                                const std::string& name);

// Walks path and fills place. Returns 0, or an errno value with the reason
// in words in error (a refused link gives EACCES).
int FindOutputPlace(const char* path, OutputPlace& place, std::string& error);
