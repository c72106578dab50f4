// Folders and the files in them by name, as a spool keeps them: made with
// the permissions asked for, looked at without following a link, synced so
// that a name survives a crash, renamed without replacing anything, copied
// across file systems, listed and emptied. Each step returns 0 or the
// system's error number.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct PathFacts {
  bool folder = false;
  bool regularFile = false;
  std::uint32_t owner = 0;
  unsigned permissions = 0;  // the mode's bits 07777
  std::int64_t modifiedSeconds = 0;
  long modifiedNanoseconds = 0;
};

// What path names: the symbolic link itself unless followLinks.
int LookAtPath(const std::string& path, bool followLinks, PathFacts& facts);

// A new folder with permissions (less the umask); EEXIST when the name is
// taken.
int MakeFolder(const std::string& path, unsigned permissions);

// Gives the file or folder at path (never through a symbolic link) exactly
// these permissions, whatever the umask was.
int SetPermissionsByName(const std::string& path, unsigned permissions);
// The absolute path without symbolic links, "." or "..".
int ResolvedPath(const std::string& path, std::string& resolved);

// Whether this process may run the program at path.
int MayRun(const std::string& path);

// The data of a file (not through a symbolic link), or the names in a
// folder, on disk.
int SyncFileByName(const std::string& path);
int SyncFolderByName(const std::string& folder);

// EEXIST, nothing replaced, when to exists; EXDEV across file systems.
int RenameWithoutReplacing(const std::string& from, const std::string& to);
// Replaces what to names.
int RenameReplacing(const std::string& from, const std::string& to);
int RemoveFileByName(const std::string& path);

// A new file to (EEXIST when the name is taken; permissions 0644 less the
// umask) with the bytes of from (not through a symbolic link), synced; on a
// failure to is removed again.
int CopyToNewFile(const std::string& from, const std::string& to);

struct FolderEntry {
  std::string name;
  bool looked = false;  // facts could be read
  PathFacts facts;      // of the entry itself, not through a symbolic link
};

// The entries of folder but "." and ".."; false when it cannot be read.
bool ListFolder(const std::string& folder, std::vector<FolderEntry>& entries);

// Removes each entry of folder, not a folder itself, whose name pick takes.
void RemoveFromFolder(const std::string& folder, const std::function<bool(const char*)>& pick);
