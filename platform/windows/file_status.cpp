#include "platform/file_status.h"

#include <cerrno>

#include "platform/windows/file_handle.h"

namespace {

// Looks at path and lets it go again.
int StatusOfWidePath(const std::wstring& path, bool followLinks, FileStatus& status) {
  UniqueFd fd;
  if (int error = OpenHandle(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, followLinks, 0, fd))
    return error;
  return StatusOfHandle(HandleOf(fd.get()), status);
}

}  // namespace

int StatusOf(int fd, FileStatus& status) {
  return StatusOfHandle(HandleOf(fd), status);
}

int StatusOfEntry(int folder, const std::string& name, FileStatus& status) {
  std::wstring path;
  if (int error = PathInFolder(folder, name, path)) return error;
  return StatusOfWidePath(path, false, status);
}

int StatusOfPath(const std::string& path, bool followLinks, FileStatus& status) {
  std::wstring wide;
  if (!WidePath(path, wide)) return path.empty() ? ENOENT : EILSEQ;
  return StatusOfWidePath(wide, followLinks, status);
}

// Ownership is the ACL's here: every file counts as the caller's.
std::uint32_t EffectiveUser() {
  return 0;
}
