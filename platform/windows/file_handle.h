// The Windows side of the file services: the C library's descriptors over
// the system's handles, paths in UTF-16 from the product's UTF-8, a held
// folder's own path for the names in it, and a handle's status.
#pragma once

#include <windows.h>

#include <string>

#include "platform/descriptor.h"
#include "platform/file_status.h"

// The handle beneath a descriptor; INVALID_HANDLE_VALUE for none.
HANDLE HandleOf(int fd);

// Gives the handle a descriptor (flags: _O_RDONLY, _O_APPEND...; always
// binary). Returns 0, or an errno value with the handle closed.
int AdoptHandle(HANDLE handle, int flags, UniqueFd& fd);

// The errno value of the calling thread's last system error, with the file
// system's own codes (a name taken, a full disk) told apart.
int LastFileError();

// The path as the system's wide text; false when it is not UTF-8.
bool WidePath(const std::string& path, std::wstring& wide);

// The full path of the open file or folder (\\?\C:\...); empty when the
// system cannot tell.
std::wstring PathOfHandle(HANDLE handle);

// The path of name in the held folder: EINVAL for a name that is not one
// component here (a separator, a drive, a stream, "." or ".."), EBADF for a
// folder whose path cannot be told. Returns 0 or an errno value.
int PathInFolder(int folder, const std::string& name, std::wstring& path);

// Opens path: links (symbolic links and junctions) followed or not, for
// access (0: only to look at it). Folders open too. Returns 0 with the
// handle in fd, or an errno value.
int OpenHandle(const std::wstring& path, DWORD access, DWORD disposition, bool followLinks,
               int descriptorFlags, UniqueFd& fd);

// What the open handle is. Returns 0 or an errno value.
int StatusOfHandle(HANDLE handle, FileStatus& status);
