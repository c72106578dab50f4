#include "platform/write_open.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>

#include "platform/windows/file_handle.h"

namespace {

// Opens name in folder for access, refusing a link unless the caller
// follows one (a reparse point opened as itself would be written over).
int OpenInFolder(int folder, const std::string& name, DWORD access, DWORD disposition,
                 bool followLinks, int flags, UniqueFd& fd) {
  std::wstring path;
  if (int error = PathInFolder(folder, name, path)) return error;
  UniqueFd opened;
  if (int error = OpenHandle(path, access, disposition, followLinks, flags, opened)) return error;
  FileStatus status;
  if (int error = StatusOf(opened.get(), status)) return error;
  if (status.type == FileType::kLink) return ELOOP;
  if (status.type == FileType::kFolder) return EISDIR;
  fd = std::move(opened);
  return 0;
}

// Writing, and looking at what was opened.
constexpr DWORD kWrite = GENERIC_WRITE | FILE_READ_ATTRIBUTES;

}  // namespace

int OpenForWritingInPlace(int folder, const std::string& name, bool kernelLink, UniqueFd& fd) {
  return OpenInFolder(folder, name, kWrite, OPEN_EXISTING, kernelLink, 0, fd);
}

int CreateForWriting(int folder, const std::string& name, UniqueFd& fd) {
  return OpenInFolder(folder, name, kWrite, CREATE_NEW, false, 0, fd);
}

int OpenForAppending(int folder, const std::string& name, bool kernelLink, UniqueFd& fd) {
  return OpenInFolder(folder, name, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                      OPEN_ALWAYS, kernelLink, _O_APPEND, fd);
}

int TryLockExclusive(int fd) {
  const HANDLE handle = HandleOf(fd);
  OVERLAPPED whole{};
  if (::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                   MAXDWORD, &whole))
    return 0;
  const DWORD error = ::GetLastError();
  return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? EWOULDBLOCK : 0;
}

int TruncateToEmpty(int fd) {
  return ::_chsize(fd, 0) == 0 ? 0 : errno;
}
