#include "platform/descriptor.h"

#include <io.h>

#include <cerrno>
#include <string>

#include "platform/windows/file_handle.h"

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::_close(fd_);
  fd_ = fd;
}

int SyncToDisk(int fd) {
  const HANDLE handle = HandleOf(fd);
  if (handle == INVALID_HANDLE_VALUE) return EBADF;
  return ::FlushFileBuffers(handle) ? 0 : LastFileError();
}

int SetDescriptorPermissions(int, unsigned) {
  return 0;
}

int DuplicateDescriptor(int fd, UniqueFd& copy) {
  // Not inheritable: the launcher hands a child only the handles it lists.
  HANDLE duplicate = nullptr;
  const HANDLE process = ::GetCurrentProcess();
  if (!::DuplicateHandle(process, HandleOf(fd), process, &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
    return LastFileError();
  return AdoptHandle(duplicate, 0, copy);
}

std::FILE* StreamOverDescriptor(int fd, const char* mode) {
  // Binary always, so that the bytes are the same on every system.
  std::string binary = mode;
  if (binary.find('b') == std::string::npos) binary += 'b';
  return ::_fdopen(fd, binary.c_str());
}
