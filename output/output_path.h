// Where an output path leads: the folder, held open, and the name in it.
// Symbolic links are followed one component at a time by the program
// itself, with the rules the kernel applies in shared folders when
// fs.protected_symlinks, _fifos and _regular are set, whatever they are set
// to: another local user cannot redirect a write through a folder that
// everybody may write.
#pragma once

#include <string>

#include "platform/descriptor.h"
#include "platform/file_status.h"

struct OutputPlace {
  UniqueFd folder;  // readable, so that it can be synced; only held when it cannot be read
  FileStatus folderInfo;
  std::string name;         // one component: no separator, never "." or ".."
  bool kernelLink = false;  // name is a /proc link (/dev/stdout), which only the kernel follows
};

// Whether users other than the folder's owner may add, remove or replace
// entries in it: the folder is writable by all.
bool OthersMayWrite(const FileStatus& folder);

// Why an entry found in folder must not be used, or empty when it may be.
// In a folder writable by all: a symbolic link or a FIFO that belongs
// neither to the caller nor to the folder's owner, and a regular file with
// more than one link (whoever made the link may not own the file); with the
// sticky bit as well, a regular file that belongs to neither.
std::string SharedFolderRefusal(const FileStatus& folder, const FileStatus& entry,
                                const std::string& name);

// Walks path and fills place. Returns 0, or an errno value with the reason
// in words in error (a refused link gives EACCES).
int FindOutputPlace(const char* path, OutputPlace& place, std::string& error);
